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

from sklearn.base import clone  # type: ignore[import-untyped]

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
from quillfen.dask._scheduler import compute_all, persist_all, task
from quillfen.dask._travel import Packed
from quillfen.dask._warnings import warn_unrefined


def fit_partition(batch: PartitionBatch | None, estimator: Any) -> Packed | None:
    """`estimator` (unfitted) fitted on one batch, or None for an empty partition. On a worker."""
    if batch is None:
        return None
    fitted = clone(estimator)
    with naming_partition(batch.index):
        fitted.partial_fit(batch.x, batch.y, sample_weight=batch.sample_weight)
    return Packed(fitted)


class Rounds:
    """Sums per-partition terms at given coefficients; each call is one round over the data."""

    def __init__(self, batches: Sequence[Any], threshold: float, bandwidth: float, intercept: bool):
        self.batches = batches
        self.threshold = threshold
        self.bandwidth = bandwidth
        self.intercept = intercept

    def terms(self, coefficients: Vector) -> HuberTerms:
        """Objective, gradient and curvature Gram of all the data at `coefficients`."""
        parts: list[HuberTerms] = compute_all(
            [
                task(huber_terms, b, coefficients, self.threshold, self.bandwidth, self.intercept)
                for b in self.batches
            ]
        )
        total = parts[0]
        for part in parts[1:]:  # in partition order, so every run adds in the same order
            total = total + part
        return total

    def score_gram(self, coefficients: Vector) -> Vector:
        """The score Gram of all the data at `coefficients`."""
        grams: list[Vector] = compute_all(
            [
                task(score_gram, b, coefficients, self.threshold, self.intercept)
                for b in self.batches
            ]
        )
        total = grams[0]
        for gram in grams[1:]:
            total = total + gram
        return total


def refine_coefficients(
    rounds: Rounds, start: Vector, max_rounds: int, tol: float, ridge: float
) -> tuple[Vector, HuberTerms, float]:
    """Damped Newton steps on the summed Huber objective, from `start`.

    One round gives the terms at `start`; each further round evaluates one trial point and so
    also gives the next step's gradient and Gram. A step that raises the objective is halved, at
    the cost of another round. Stops as soon as the step to take is at most
    tol * (|beta| + 1), before spending a round on it (near the minimum the objective's rounding
    noise would hide the gain of so small a step), or after `max_rounds` trial rounds. Returns
    the coefficients, their terms and the relative size of the step not taken.
    """
    beta = start
    current = rounds.terms(beta)
    direction = newton_direction(current, ridge)
    fraction = 1.0
    rounds_left = max_rounds
    while True:
        step = fraction * direction
        relative_step = math.sqrt(step @ step) / (math.sqrt(beta @ beta) + 1.0)
        if relative_step <= tol or rounds_left == 0:
            return beta, current, relative_step
        rounds_left -= 1
        trial = beta + step
        trial_terms = rounds.terms(trial)
        if trial_terms.objective <= current.objective:
            beta, current = trial, trial_terms
            direction = newton_direction(current, ridge)
            fraction = 1.0
        else:
            fraction *= 0.5


def fit_from_seed(batch: PartitionBatch | None, seed: Packed) -> Packed | None:
    """`seed` (see `_summary.seed_from`) fitted on one batch, or None if empty. On a worker."""
    if batch is None:
        return None
    fitted = seed.copy()
    with naming_partition(batch.index):
        fitted.partial_fit(batch.x, batch.y, sample_weight=batch.sample_weight)
    return Packed(fitted)


def fit_partitions(batches: Sequence[Any], start: Any) -> list[Packed | None]:
    """Every batch fitted on its own worker, alone (None for an empty one).

    The first non-empty partition is fitted first, as `partial_fit`'s first batch: with
    ``scale="auto"`` it fixes the scale for all (fits with different thresholds would not
    combine). Its coefficients then seed the others' solves, whose own least-squares pilot fits
    would cost more than their Huber fits; the seed moves only the start, not the minimiser.
    """
    fits: list[Packed | None] = []
    for position, batch in enumerate(batches):
        (first,) = compute_all([task(fit_partition, batch, start)])
        fits.append(first)
        if first is not None:
            fitted = first.estimator
            fitted.set_params(scale=float(fitted.scale_))  # the same fit as one given this scale
            seed = Packed(_summary.seed_from(fitted))
            rest = batches[position + 1 :]
            return fits + compute_all([task(fit_from_seed, b, seed) for b in rest])
    return fits


def fit_parallel(start: Any, sources: list[PartitionSource], layout: Layout, refine: int) -> Any:
    """Fits each partition on its own worker, merges the fits, then refines; see `fit`."""
    from quillfen import merge

    _summary.check_parallel_settings(start)
    batches = persist_all(
        [
            task(split_partition, index, layout, source.data, source.target, source.sample_weight)
            for index, source in enumerate(sources)
        ]
    )
    fits = fit_partitions(batches, start)
    kept = [batch for batch, fitted in zip(batches, fits, strict=False) if fitted is not None]
    if not kept:
        raise ValueError("X has no rows: every partition is empty")
    merged = merge([fitted.estimator for fitted in fits if fitted is not None])
    if refine > 0:
        rounds = Rounds(
            kept,
            _summary.threshold(merged),
            _summary.bandwidth(merged, _summary.weight_sum(merged)),
            bool(merged.fit_intercept),
        )
        tol = _summary.tolerance(merged)
        beta, terms, step = refine_coefficients(
            rounds, _summary.coefficients(merged), refine, tol, float(merged.ridge)
        )
        if not step <= tol:
            warn_unrefined(refine, step, tol)
        scores = rounds.score_gram(beta) if _summary.keeps_covariance(merged) else None
        merged = _summary.with_refined_summary(merged, beta, terms.curvature_gram, scores)
    return merged.set_params(scale=start.get_params()["scale"])
