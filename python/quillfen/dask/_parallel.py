"""Parallel mode: fit every partition on its own worker, merge, then refine by Newton rounds.

The partitions' batches are persisted on the workers that made them for the length of the fit.
Every partition is fitted independently, the fitted summaries (O(p^2) each) are merged on the
client with `quillfen.merge`, and then each refinement round sends the current coefficients to
the workers and gathers per partition the Huber objective, its gradient and its curvature
Gram (O(p^2)); the client sums them, solves for the Newton step and repeats.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import dask
import numpy as np
from sklearn.base import clone

from quillfen.dask import _summary
from quillfen.dask._huber_terms import (
    HuberTerms,
    Vector,
    huber_terms,
    newton_direction,
    score_gram,
)
from quillfen.dask._partitions import (
    Layout,
    PartitionBatch,
    PartitionSource,
    naming_partition,
    split_partition,
)

# A rejected Newton step is halved; below this fraction of the full step the search gives up.
SMALLEST_STEP_FRACTION = 1e-8


def fit_partition(batch: PartitionBatch | None, estimator: Any) -> Any:
    """`estimator` (unfitted) fitted on one batch, or None for an empty partition. On a worker."""
    if batch is None:
        return None
    fitted = clone(estimator)
    with naming_partition(batch.index):
        fitted.partial_fit(batch.x, batch.y, sample_weight=batch.sample_weight)
    return fitted


def first_batch_scale(batch: PartitionBatch | None, estimator: Any) -> float | None:
    """The scale `estimator` would estimate on `batch` as its first batch. On a worker."""
    fitted = fit_partition(batch, estimator)
    return None if fitted is None else float(fitted.scale_)


def batch_terms(
    batch: PartitionBatch,
    coefficients: Vector,
    threshold: float,
    bandwidth: float,
    intercept: bool,
) -> HuberTerms:
    """`huber_terms` of one persisted batch. On a worker."""
    return huber_terms(batch, coefficients, threshold, bandwidth, intercept)


def batch_score_gram(
    batch: PartitionBatch, coefficients: Vector, threshold: float, intercept: bool
) -> Vector:
    """`score_gram` of one persisted batch. On a worker."""
    return score_gram(batch, coefficients, threshold, intercept)


def _summed(parts: Sequence[HuberTerms]) -> HuberTerms:
    total = parts[0]
    for part in parts[1:]:  # in partition order, so every run adds in the same order
        total = total + part
    return total


class _Rounds:
    """Gathers the summed terms of all batches at given coefficients, one Dask round per call."""

    def __init__(
        self, batches: list[Any], threshold: float, bandwidth: float, intercept: bool
    ):
        self.batches = batches
        self.threshold = threshold
        self.bandwidth = bandwidth
        self.intercept = intercept
        self.count = 0

    def terms(self, coefficients: Vector) -> HuberTerms:
        self.count += 1
        tasks = [
            dask.delayed(batch_terms, pure=False)(
                batch, coefficients, self.threshold, self.bandwidth, self.intercept
            )
            for batch in self.batches
        ]
        return _summed(dask.compute(*tasks))

    def score_gram(self, coefficients: Vector) -> Vector:
        tasks = [
            dask.delayed(batch_score_gram, pure=False)(
                batch, coefficients, self.threshold, self.intercept
            )
            for batch in self.batches
        ]
        grams = dask.compute(*tasks)
        total = grams[0]
        for gram in grams[1:]:
            total = total + gram
        return np.asarray(total, dtype=np.float64)


def refine_coefficients(
    rounds: _Rounds, start: Vector, max_steps: int, tol: float, ridge: float
) -> tuple[Vector, HuberTerms, bool]:
    """Damped Newton steps on the summed Huber objective, starting at `start`.

    Each trial point costs one round, which also yields the next step's gradient and Gram. A
    step that raises the objective is halved (each halving is another round). Stops when the
    accepted step is at most tol * (|beta| + 1), the engine's own test, or after `max_steps`
    rounds. Returns the coefficients, their terms and whether the step test passed.
    """
    beta = start
    current = rounds.terms(beta)
    fraction = 1.0
    direction = newton_direction(current, ridge)
    for _ in range(max_steps):
        trial = beta + fraction * direction
        trial_terms = rounds.terms(trial)
        if trial_terms.objective <= current.objective:
            step = trial - beta
            beta, current = trial, trial_terms
            if math.sqrt(step @ step) <= tol * (math.sqrt(beta @ beta) + 1.0):
                return beta, current, True
            fraction = 1.0
            direction = newton_direction(current, ridge)
        else:
            fraction *= 0.5
            if fraction < SMALLEST_STEP_FRACTION:
                break
    return beta, current, False


def fit_parallel(
    start: Any, sources: list[PartitionSource], layout: Layout, refine: int
) -> Any:
    """Fits each partition on its own worker, merges the fits, then refines; see `fit`."""
    from quillfen import merge

    _summary.check_parallel_settings(start)
    batches = dask.persist(
        *[
            dask.delayed(split_partition, pure=False)(
                index, layout, source.data, source.target, source.sample_weight
            )
            for index, source in enumerate(sources)
        ]
    )
    estimator = start
    if start.get_params()["scale"] == "auto":
        scale = None
        for (
            batch
        ) in batches:  # the first non-empty partition, as partial_fit's first batch
            (scale,) = dask.compute(
                dask.delayed(first_batch_scale, pure=False)(batch, start)
            )
            if scale is not None:
                break
        if scale is None:
            raise ValueError("X has no rows: every partition is empty")
        estimator = clone(start).set_params(scale=scale)
    fits = dask.compute(
        *[
            dask.delayed(fit_partition, pure=False)(batch, estimator)
            for batch in batches
        ]
    )
    kept = [batch for batch, fitted in zip(batches, fits) if fitted is not None]
    fitted = [f for f in fits if f is not None]
    if not fitted:
        raise ValueError("X has no rows: every partition is empty")
    merged = merge(fitted)
    if refine > 0:
        rounds = _Rounds(
            kept,
            _summary.threshold(merged),
            _summary.bandwidth(merged, _summary.weight_sum(merged)),
            bool(merged.fit_intercept),
        )
        beta, terms, _ = refine_coefficients(
            rounds,
            _summary.coefficients(merged),
            refine,
            _summary.tolerance(merged),
            float(merged.ridge),
        )
        scores = rounds.score_gram(beta) if _summary.keeps_covariance(merged) else None
        merged = _summary.with_refined_summary(
            merged, beta, terms.curvature_gram, scores
        )
    return merged.set_params(scale=start.get_params()["scale"])
