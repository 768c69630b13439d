"""The Huber objective's value, gradient and curvature-weighted Gram of one batch, in NumPy.

Each worker computes these O(p^2) terms for its own partition at coefficients the client sends;
the client sums them over partitions and takes a Newton step. The curvature weight is the same
trapezoid the engine uses: 1 well inside +-threshold, 0 well outside, with linear ramps of
half-width min(bandwidth, threshold) around +-threshold.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen._ridge import ridge_term
from quillfen.dask._partitions import PartitionBatch

Vector = npt.NDArray[np.float64]


@dataclass
class HuberTerms:
    """Sums over the rows of one or more batches at one coefficient vector (float64)."""

    objective: float  # sum of s_i * rho(r_i)
    gradient: Vector  # sum of s_i * psi(r_i) * z_i: minus the gradient of the objective
    curvature_gram: Vector  # sum of s_i * c_i * z_i z_i^T, the Newton matrix
    weight: float  # sum of s_i

    def __add__(self, other: HuberTerms) -> HuberTerms:
        return HuberTerms(
            self.objective + other.objective,
            self.gradient + other.gradient,
            self.curvature_gram + other.curvature_gram,
            self.weight + other.weight,
        )


def design(batch: PartitionBatch, fit_intercept: bool) -> Vector:
    """The batch's design matrix in float64, with the intercept column last when fitted.

    Built once per batch and kept with it on its worker, as every refinement round needs it.
    """
    cached: Vector | None = batch.cache.get(fit_intercept)
    if cached is not None:
        return cached
    x = np.asarray(batch.x, dtype=np.float64)
    if fit_intercept:
        z = np.empty((x.shape[0], x.shape[1] + 1))
        z[:, :-1] = x
        z[:, -1] = 1.0
    else:
        z = np.ascontiguousarray(x)
    batch.cache[fit_intercept] = z
    return z


def _weighted_gram(z: Vector, row_weights: Vector) -> Vector:
    """Sum of w_i * z_i z_i^T for non-negative w, as A^T A (a symmetric rank-k product)."""
    rows = z * np.sqrt(row_weights)[:, None]
    gram: Vector = rows.T @ rows
    return gram


def _row_weights(batch: PartitionBatch) -> Vector:
    if batch.sample_weight is None:
        return np.ones(batch.y.shape[0])
    return np.asarray(batch.sample_weight, dtype=np.float64)


def curvature_weights(residuals: Vector, threshold: float, bandwidth: float) -> Vector:
    """Trapezoid weights of the residuals: 1 inside, 0 outside, linear ramps around +-threshold."""
    half_width = min(bandwidth, threshold)
    ramp = (threshold + half_width - np.abs(residuals)) / (2.0 * half_width)
    return np.clip(ramp, 0.0, 1.0)


def huber_terms(
    batch: PartitionBatch,
    coefficients: Vector,
    threshold: float,
    bandwidth: float,
    fit_intercept: bool,
) -> HuberTerms:
    """Objective, gradient and curvature Gram of `batch` at `coefficients` (caller's units)."""
    z = design(batch, fit_intercept)
    weights = _row_weights(batch)
    residuals = np.asarray(batch.y, dtype=np.float64) - z @ coefficients
    magnitude = np.abs(residuals)
    loss = np.where(
        magnitude <= threshold,
        0.5 * residuals * residuals,
        threshold * magnitude - 0.5 * threshold * threshold,
    )
    psi = np.clip(residuals, -threshold, threshold)
    curvature = weights * curvature_weights(residuals, threshold, bandwidth)
    return HuberTerms(
        objective=float(weights @ loss),
        gradient=z.T @ (weights * psi),
        curvature_gram=_weighted_gram(z, curvature),
        weight=float(weights.sum()),
    )


def score_gram(
    batch: PartitionBatch, coefficients: Vector, threshold: float, fit_intercept: bool
) -> Vector:
    """Sum of s_i * psi(r_i)^2 * z_i z_i^T, the middle of the sandwich covariance."""
    z = design(batch, fit_intercept)
    psi = np.clip(np.asarray(batch.y, dtype=np.float64) - z @ coefficients, -threshold, threshold)
    return _weighted_gram(z, _row_weights(batch) * psi * psi)


def newton_direction(terms: HuberTerms, ridge: float) -> Vector:
    """Solves (Gram + r I) d = gradient, by least squares if it is singular; r is `ridge`
    relative to the Gram's diagonal, as in the estimator's own solves."""
    term = ridge_term(ridge, np.diagonal(terms.curvature_gram))
    matrix = terms.curvature_gram + term * np.eye(terms.gradient.shape[0])
    try:
        direction: Any = np.linalg.solve(matrix, terms.gradient)
    except np.linalg.LinAlgError:
        direction = np.linalg.lstsq(matrix, terms.gradient, rcond=None)[0]
    return np.asarray(direction, dtype=np.float64)
