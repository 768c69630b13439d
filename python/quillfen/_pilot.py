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
# sqrt(pi / 2): the same for the mean absolute deviation, used when the median one is 0.
MEAN_ABS_TO_SIGMA = 1.2533141373155003


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
    residuals: npt.NDArray[np.floating], sample_weight: npt.NDArray[np.floating] | None
) -> float:
    """1.4826 x the weighted median absolute deviation of `residuals` from zero.

    Least-squares residuals with an intercept are centred, so the deviation is taken from zero. When
    more than half the weight sits on exact fits, the mean absolute deviation (x 1.2533) stands in,
    and when every residual is 0 (an exact fit: the threshold does not matter) the scale is 1.0.
    """
    absolute = np.abs(np.asarray(residuals, dtype=np.float64))
    weights = None if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
    scale = MAD_TO_SIGMA * weighted_median(absolute, weights)
    if not scale > 0.0:
        mean = np.average(absolute, weights=weights)
        scale = MEAN_ABS_TO_SIGMA * float(mean)
    if not (scale > 0.0 and np.isfinite(scale)):
        scale = 1.0
    return scale


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
