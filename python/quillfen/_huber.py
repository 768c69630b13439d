"""The Huber loss as the layer uses it: its settings in the units of y, and its sums over a batch.

The engine minimises sum_i s_i rho(r_i) with rho(r) = r^2 / 2 for |r| <= t and t |r| - t^2 / 2
beyond, t = tau * scale; its score is psi(r) = clip(r, -t, t). Newton's curvature is smoothed: a
trapezoid that is 1 well inside +-t, 0 well outside, with linear ramps of half-width h = min(b, t)
around +-t, where b = bandwidth_scale * scale / (sqrt(W) * ln(max(p, 2))) shrinks with the weight
W seen and p the feature count. Everything the layer computes from these formulas (standard
errors, the stall test, the Dask refinement) goes through `batch_sums`, which runs the engine's own
kernels, so there is no second copy of the formulas to drift from the engine's.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen._design import engine_array
from quillfen._native_terms import WorkerPool, batch_terms

Matrix = npt.NDArray[np.float64]
_NATIVE_TYPES = (np.dtype(np.float32), np.dtype(np.float64))


def threshold(tau: float, scale: float) -> float:
    """The Huber threshold in the units of y: ``tau * scale``."""
    return float(tau) * float(scale)


def engine_bandwidth_scale(bandwidth_scale: float, scale: float) -> float:
    """The bandwidth factor the engine takes, in the units of y: ``bandwidth_scale * scale``."""
    return float(bandwidth_scale) * float(scale)


def bandwidth(
    tau: float, scale: float, bandwidth_scale: float, n_features_in: int, total_weight: float
) -> float:
    """The curvature smoothing half-width the engine uses once `total_weight` has been seen, in
    the units of y (the value an update reports as "bandwidth", times nothing)."""
    log_dimension = math.log(max(int(n_features_in), 2))
    smoothing = engine_bandwidth_scale(bandwidth_scale, scale) / (
        math.sqrt(total_weight) * log_dimension
    )
    return min(smoothing, threshold(tau, scale))


@dataclass(frozen=True)
class BatchSums:
    """Sums over the rows of a batch at one coefficient vector, in float64; None where not asked.

    `gradient` is sum_i s_i psi(r_i) x_i (minus the gradient of the loss sum), `curvature` the
    smoothed Newton matrix sum_i s_i c(r_i) x_i x_i^T, `score` the sandwich's middle
    sum_i s_i psi(r_i)^2 x_i x_i^T, `absolute_gradient` sum_i |s_i psi(r_i)| |x_i| (the size of
    the gradient's terms), `weight` sum_i s_i.
    """

    weight: float
    loss: float | None = None
    gradient: Matrix | None = None
    absolute_gradient: Matrix | None = None
    curvature: Matrix | None = None
    score: Matrix | None = None


def batch_sums(
    design: npt.NDArray[Any],
    y: npt.NDArray[Any],
    sample_weight: npt.NDArray[Any] | None,
    coefficients: npt.NDArray[Any],
    threshold: float,
    bandwidth: float | None = None,
    *,
    loss: bool = False,
    gradient: bool = False,
    absolute_gradient: bool = False,
    curvature: bool = False,
    score: bool = False,
    pool: WorkerPool | None = None,
) -> BatchSums:
    """The requested sums of a batch in the engine's layout, computed natively.

    `design` (intercept column last) sets the element type, float32 or float64; `y`,
    `sample_weight` and `coefficients` are converted to it, and any array copied to C order,
    only where needed (the engine's own arrays are read in place). `bandwidth` is needed for `curvature` only. Runs with the interpreter released,
    in `pool` when given; raises ValueError for inconsistent shapes or non-finite sums.
    """
    if curvature and bandwidth is None:
        raise ValueError("the curvature needs a bandwidth")
    dtype = design.dtype if design.dtype in _NATIVE_TYPES else np.dtype(np.float64)
    design = engine_array(design, dtype)
    sums = batch_terms(
        design,
        engine_array(y, dtype),
        None if sample_weight is None else engine_array(sample_weight, dtype),
        engine_array(coefficients, dtype),
        threshold,
        threshold if bandwidth is None else bandwidth,
        loss,
        gradient,
        absolute_gradient,
        curvature,
        score,
        pool,
    )
    return BatchSums(
        weight=sums["weight"],
        loss=sums.get("loss"),
        gradient=sums.get("gradient"),
        absolute_gradient=sums.get("absolute_gradient"),
        curvature=sums.get("curvature"),
        score=sums.get("score"),
    )


def irls_weights(residuals: npt.NDArray[np.float64], limit: float) -> npt.NDArray[np.float64]:
    """psi(r) / r, the weights of iteratively reweighted least squares for the Huber loss at
    threshold `limit`: 1 inside, limit / |r| beyond."""
    weights: npt.NDArray[np.float64] = limit / np.maximum(np.abs(residuals), limit)
    return weights
