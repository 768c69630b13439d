"""The start of a stream: a pilot fit of the first batch, the residual scale, and the seeded engine.

The engine starts its solve at the stored coefficients. A fresh engine stores zeros, and when every
residual of the first batch lies outside the Huber threshold at zero, every curvature weight is 0 and
the first solve stalls there. Seeding the engine with a least-squares fit of the first batch, together
with zero information, counters and weight, moves only the start point: with zero information the
quadratic summary vanishes, so the first objective does not depend on the seed.

These functions know nothing of scikit-learn; the distributed layer reuses them to seed its workers.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from quillfen._native_cpu import NativeCpuEngine

# 1 / Phi^-1(3/4): makes the median absolute deviation of normal residuals estimate their sigma.
MAD_TO_SIGMA = 1.482602218505602
# Residual scales below this fraction of y's spread are rounding noise of an exact fit.
NEGLIGIBLE_SCALE = 1.5e-8


def pilot_coefficients(
    design: npt.NDArray[np.floating],
    y: npt.NDArray[np.floating],
    sample_weight: npt.NDArray[np.floating] | None,
) -> npt.NDArray[np.float64]:
    """Weighted least-squares coefficients of one batch, in float64.

    `design` holds the batch's columns in the engine's order (intercept column last, when any).
    Rank-deficient batches get the minimum-norm solution. Rows of weight 0 do not count.
    """
    a = np.asarray(design, dtype=np.float64)
    b = np.asarray(y, dtype=np.float64)
    if sample_weight is not None:
        root = np.sqrt(np.asarray(sample_weight, dtype=np.float64))
        a = a * root[:, None]
        b = b * root
    coefficients, *_ = np.linalg.lstsq(a, b, rcond=None)
    return np.asarray(coefficients, dtype=np.float64)


def weighted_median(
    values: npt.NDArray[np.float64], weights: npt.NDArray[np.float64] | None
) -> float:
    """The smallest value at which the cumulative weight reaches half the total weight.

    Used with unit weights too, so that a row of weight 2 and the same row given twice agree exactly.
    """
    order = np.argsort(values, kind="stable")
    cumulative = np.cumsum(np.ones(values.size) if weights is None else weights[order])
    index = int(np.searchsorted(cumulative, 0.5 * cumulative[-1], side="left"))
    return float(values[order][index])


def robust_scale(
    residuals: npt.NDArray[np.floating],
    y: npt.NDArray[np.floating],
    sample_weight: npt.NDArray[np.floating] | None,
    n_parameters: int,
) -> float:
    """The scale of the pilot fit's residuals: 1.4826 x their weighted median absolute value.

    Least-squares residuals with an intercept are centred, so the deviation is taken from zero.
    The residuals cannot measure the noise when the batch has no more rows of positive weight
    than parameters (the pilot fit is exact), nor when they vanish to rounding level against the
    spread of y (noise-free data). The spread of y itself (1.4826 x its weighted median absolute
    deviation) then stands in: an upper bound that keeps the fit close to least squares. A
    constant y, which leaves nothing to measure, gives 1.0.
    """
    weights = None if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
    target = np.asarray(y, dtype=np.float64)
    centre = weighted_median(target, weights)
    spread = MAD_TO_SIGMA * weighted_median(np.abs(target - centre), weights)
    absolute = np.abs(np.asarray(residuals, dtype=np.float64))
    scale = MAD_TO_SIGMA * weighted_median(absolute, weights)
    n_rows = target.size if weights is None else int(np.count_nonzero(weights))
    if n_rows <= n_parameters or not scale > NEGLIGIBLE_SCALE * spread:
        scale = spread
    if not (scale > 0.0 and np.isfinite(scale)):
        scale = 1.0
    return float(scale)


def seed_engine(engine: NativeCpuEngine, coefficients: npt.NDArray[np.floating]) -> None:
    """Makes `engine` a fresh engine whose next solve starts at `coefficients`.

    Information, counters, penalty level and weight are all zero, exactly as in a new engine; only
    the stored coefficients differ. Raises ValueError when the coefficients are not finite.
    """
    n_parameters = engine.n_parameters
    start = np.ascontiguousarray(coefficients, dtype=engine.dtype)
    engine.restore(
        start,
        np.zeros((n_parameters, n_parameters), dtype=engine.dtype),
        0,
        0,
        0.0,
        0.0,
    )
