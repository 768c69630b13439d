"""Robust (Huber) linear regression fitted incrementally over a stream of batches.

`StreamingHuberRegressor` is the scikit-learn estimator; `load` reads a saved one back and `merge`
combines estimators fitted on disjoint data. `NativeCpuEngine` is the low-level engine beneath them.
scikit-learn is imported on first use of the estimator, so that ``import quillfen`` stays cheap.
"""

from typing import TYPE_CHECKING, Any

from quillfen._merge import merge
from quillfen._native_cpu import NativeCpuEngine, version
from quillfen._persistence import load

if TYPE_CHECKING:
    from quillfen._estimator import StreamingHuberRegressor

__all__ = ["NativeCpuEngine", "StreamingHuberRegressor", "load", "merge", "version"]


def __getattr__(name: str) -> Any:
    if name == "StreamingHuberRegressor":
        from quillfen._estimator import StreamingHuberRegressor

        return StreamingHuberRegressor
    raise AttributeError(f"module 'quillfen' has no attribute {name!r}")
