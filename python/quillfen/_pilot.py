"""The start of a stream: a pilot fit of the first batch, the residual scale, and the seeded engine.

The engine starts its solve at the stored coefficients. A fresh engine stores zeros, and when every
residual of the first batch lies outside the Huber threshold at zero, every curvature weight is 0 and
the first solve stalls there. Seeding the engine with a pilot fit of the first batch (least squares,
or its robust refinement when the scale is estimated from the batch), together with zero information, counters and weight, moves only the start point: with zero information the
quadratic summary vanishes, so the first objective does not depend on the seed.

These functions know nothing of scikit-learn; the distributed layer reuses them to seed its workers.
"""

from __future__ import annotations

from typing import Literal

import numpy as np
import numpy.typing as npt

from quillfen._design import engine_array
from quillfen._huber import irls_weights
from quillfen._native_cpu import NativeCpuEngine

# 1 / Phi^-1(3/4): makes the median absolute deviation of normal residuals estimate their sigma.
MAD_TO_SIGMA = 1.482602218505602
# Residual scales below this fraction of y's spread are rounding noise of an exact fit.
NEGLIGIBLE_SCALE = 1.5e-8
# A spread of y below this fraction of its largest magnitude is rounding: y is constant.
CONSTANT_Y_RELATIVE = 64 * np.finfo(np.float64).eps
# The robust pilot fit: Huber's threshold of 95 % efficiency under normal noise, in units of the
# scale, and steps until the scale changes by less than PILOT_SCALE_RTOL (it settles in a few).
PILOT_TAU = 1.345
PILOT_STEPS = 30
PILOT_SCALE_RTOL = 1e-4


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


def robust_pilot(
    design: npt.NDArray[np.floating],
    y: npt.NDArray[np.floating],
    sample_weight: npt.NDArray[np.floating] | None,
) -> tuple[npt.NDArray[np.float64], float]:
    """Start coefficients and the residual scale of a first batch, both robust to outliers.

    Least squares first, then iteratively reweighted least squares with Huber weights at
    `PILOT_TAU`, the scale re-estimated at each step as 1.4826 x the weighted median absolute
    deviation of the residuals about their median, until the scale settles. Least-squares
    residuals alone let one-sided outliers inflate the scale several times over.

    The residuals cannot measure the noise when the batch has no more rows of positive weight
    than parameters (the fit is exact), nor when they vanish to rounding level against the spread
    of y (noise-free data): the spread of y itself then stands in, an upper bound that keeps the
    fit close to least squares. Raises ValueError when y does not vary at all, which leaves
    nothing to measure a scale by.
    """
    weights = None if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
    target = np.asarray(y, dtype=np.float64)
    n_rows = target.size if weights is None else int(np.count_nonzero(weights))
    if n_rows == 1:
        raise ValueError(
            'scale="auto" cannot estimate the residual scale from a first batch of 1 sample:'
            " start the stream with more rows, or give the scale as a number"
        )
    spread = _spread(target, weights)
    if not spread > CONSTANT_Y_RELATIVE * float(np.max(np.abs(target))):
        raise ValueError(
            'scale="auto" cannot estimate the residual scale from a first batch whose y does not'
            " vary: start the stream with a batch whose y varies, or give the scale as a number"
        )
    coefficients = pilot_coefficients(design, target, weights)
    if n_rows <= design.shape[1]:
        return coefficients, spread
    a = np.asarray(design, dtype=np.float64)
    previous = np.inf
    for _ in range(PILOT_STEPS):
        residuals = target - a @ coefficients
        scale = _deviation(residuals, weights)
        if not scale > NEGLIGIBLE_SCALE * spread:
            return coefficients, spread
        if abs(scale - previous) <= PILOT_SCALE_RTOL * scale:
            break
        previous = scale
        huber = irls_weights(residuals, PILOT_TAU * scale)
        coefficients = pilot_coefficients(
            design, target, huber if weights is None else huber * weights
        )
    return coefficients, float(scale)


def _deviation(values: npt.NDArray[np.float64], weights: npt.NDArray[np.float64] | None) -> float:
    """1.4826 x the weighted median absolute deviation of `values` about their weighted median."""
    centre = weighted_median(values, weights)
    return MAD_TO_SIGMA * weighted_median(np.abs(values - centre), weights)


def _spread(target: npt.NDArray[np.float64], weights: npt.NDArray[np.float64] | None) -> float:
    """The robust spread of y; its weighted standard deviation when more than half of y is one
    value (zero-inflated targets vary although their median absolute deviation is 0)."""
    spread = _deviation(target, weights)
    if spread > 0.0:
        return spread
    mean = float(np.average(target, weights=weights))
    return float(np.sqrt(np.average((target - mean) ** 2, weights=weights)))


def seed_engine(engine: NativeCpuEngine, coefficients: npt.NDArray[np.floating]) -> None:
    """Makes `engine` a fresh engine whose next solve starts at `coefficients`.

    Information, counters, penalty level and weight are all zero, exactly as in a new engine; only
    the stored coefficients differ. Raises ValueError when the coefficients are not finite.
    """
    n_parameters = engine.n_parameters
    start = engine_array(coefficients, engine.dtype)
    engine.restore(
        start,
        np.zeros((n_parameters, n_parameters), dtype=engine.dtype),
        0,
        0,
        0.0,
        0.0,
    )


def seeded_engine(
    design: npt.NDArray[np.floating],
    y: npt.NDArray[np.floating],
    sample_weight: npt.NDArray[np.floating] | None,
    scale: str | float,
    n_threads: int | None,
) -> tuple[NativeCpuEngine, float]:
    """A new engine for the stream whose first batch this is, seeded with the batch's pilot fit,
    and the scale of tau: estimated by `robust_pilot` when `scale` is "auto", else `scale`.

    The engine's element type is the design's. Raises ValueError as `robust_pilot` does.
    """
    if scale == "auto":
        pilot, fitted_scale = robust_pilot(design, y, sample_weight)
    else:
        pilot, fitted_scale = pilot_coefficients(design, y, sample_weight), float(scale)
    dtype: Literal["float32", "float64"] = "float32" if design.dtype == np.float32 else "float64"
    engine = NativeCpuEngine(dtype, design.shape[1], n_threads)
    seed_engine(engine, pilot)
    return engine, fitted_scale
