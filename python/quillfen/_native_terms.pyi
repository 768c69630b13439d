"""The native batch terms: a batch's Huber sums at given coefficients, and the design fill."""

from typing import TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = ["WorkerPool", "batch_terms", "fill_design"]

_Array = npt.NDArray[np.float32] | npt.NDArray[np.float64]

@final
class WorkerPool:
    """A private pool of worker threads for the batch-term calls."""

    def __new__(cls, n_threads: int) -> WorkerPool: ...
    @property
    def n_threads(self) -> int: ...

class BatchTermsDict(TypedDict, total=False):
    """The sums `batch_terms` was asked for, in float64; "weight" is always present."""

    weight: float
    loss: float
    gradient: npt.NDArray[np.float64]
    absolute_gradient: npt.NDArray[np.float64]
    curvature: npt.NDArray[np.float64]
    score: npt.NDArray[np.float64]

def batch_terms(
    design: _Array,
    y: _Array,
    sample_weight: _Array | None,
    coefficients: _Array,
    threshold: float,
    bandwidth: float,
    loss: bool = False,
    gradient: bool = False,
    absolute_gradient: bool = False,
    curvature: bool = False,
    score: bool = False,
    pool: WorkerPool | None = None,
) -> BatchTermsDict: ...
def fill_design(
    source: _Array, out: _Array, intercept: bool, pool: WorkerPool | None = None
) -> float: ...
