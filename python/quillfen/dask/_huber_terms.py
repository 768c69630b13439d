"""The Huber objective's value, gradient and curvature-weighted Gram of one batch.

Each worker computes these O(p^2) terms for its own partition at coefficients the client sends;
the client sums them over partitions and takes a Newton step. The sums come from the engine's own
kernels (`quillfen._huber.batch_sums`), in float64.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen._design import DesignBuffer
from quillfen._huber import batch_sums
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
    z = DesignBuffer("float64", fit_intercept).fill(np.asarray(batch.x))
    batch.cache[fit_intercept] = z
    return z


def huber_terms(
    batch: PartitionBatch,
    coefficients: Vector,
    threshold: float,
    bandwidth: float,
    fit_intercept: bool,
) -> HuberTerms:
    """Objective, gradient and curvature Gram of `batch` at `coefficients` (caller's units)."""
    sums = batch_sums(
        design(batch, fit_intercept),
        batch.y,
        batch.sample_weight,
        coefficients,
        threshold,
        bandwidth,
        loss=True,
        gradient=True,
        curvature=True,
    )
    assert sums.loss is not None and sums.gradient is not None and sums.curvature is not None
    return HuberTerms(sums.loss, sums.gradient, sums.curvature, sums.weight)


def score_gram(
    batch: PartitionBatch, coefficients: Vector, threshold: float, fit_intercept: bool
) -> Vector:
    """Sum of s_i * psi(r_i)^2 * z_i z_i^T, the middle of the sandwich covariance."""
    z = design(batch, fit_intercept)
    gram = batch_sums(z, batch.y, batch.sample_weight, coefficients, threshold, score=True)
    assert gram.score is not None
    return gram.score


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
