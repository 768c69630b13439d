"""What the parallel mode reads from a fitted StreamingHuberRegressor, and how it writes back.

Everything goes through the estimator's public attributes and its fitted state, as arrays
(`state_arrays`) and back (`StreamingHuberRegressor._from_arrays`): the same path that pickling,
saving and `quillfen.merge` take.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quillfen import _huber
from quillfen._base import fitted_state
from quillfen._estimator import StreamingHuberRegressor
from quillfen._persistence import state_arrays
from quillfen.dask._huber_terms import Vector

# The refinement's step tolerance when the estimator's `tol` is None: the estimator's own default
# for penalty "none". The refinement computes in float64 whatever the data's element type.
DEFAULT_REFINE_TOL = 1e-8


def check_parallel_settings(estimator: Any) -> None:
    """Raises ValueError for settings the parallel mode cannot combine soundly."""
    if estimator.get_params()["penalty"] == "l1":
        raise ValueError(
            "mode='parallel' does not support penalty='l1': merged l1 fits are not the l1 fit "
            "of the combined data; use mode='exact'"
        )


def coefficients(estimator: Any) -> Vector:
    """The fitted coefficients in the engine's order (intercept last), in float64."""
    coef = np.asarray(estimator.coef_, dtype=np.float64)
    if estimator.fit_intercept:
        return np.append(coef, float(estimator.intercept_))
    return coef


def threshold(estimator: Any) -> float:
    """The Huber threshold in the units of y: ``tau * scale_``."""
    return _huber.threshold(estimator.tau, estimator.scale_)


def bandwidth(estimator: Any, total_weight: float) -> float:
    """The curvature smoothing half-width the engine uses for `total_weight`, in units of y."""
    return _huber.bandwidth(
        estimator.tau,
        estimator.scale_,
        estimator.bandwidth_scale,
        estimator.n_features_in_,
        total_weight,
    )


def weight_sum(estimator: StreamingHuberRegressor) -> float:
    """The total weight folded into the estimator."""
    return fitted_state(estimator).weight_sum


def tolerance(estimator: Any) -> float:
    """The step tolerance of the refinement: the estimator's `tol`, or its float64 default."""
    return DEFAULT_REFINE_TOL if estimator.tol is None else float(estimator.tol)


def keeps_covariance(estimator: Any) -> bool:
    """Whether the estimator accumulates the score Gram its standard errors need."""
    return bool(estimator.compute_covariance) and estimator.penalty == "none"


def with_refined_summary(
    estimator: StreamingHuberRegressor,
    beta: Vector,
    information: Vector,
    score_gram: Vector | None,
) -> StreamingHuberRegressor:
    """A copy of `estimator` whose coefficients, information and score Gram are replaced.

    Counters, weights, scale, history and parameters stay those of `estimator`.
    """
    state = _arrays(estimator)
    state.update(coefficients=beta, information=information, score_gram=score_gram)
    return StreamingHuberRegressor._from_arrays(state)


def seed_from(estimator: StreamingHuberRegressor) -> StreamingHuberRegressor:
    """An estimator that starts its next solve at `estimator`'s coefficients, knowing nothing else.

    It keeps the settings, scale, element type and feature names, but has zero information,
    counters, weight and score Gram and no history, so its next `partial_fit` fits that batch
    alone, exactly as a first batch would, only from a better start than its own pilot fit.
    """
    state = _arrays(estimator)
    information = np.zeros_like(state["information"])
    gram = state["score_gram"]
    state.update(
        information=information,
        n_samples_seen=0,
        batch_count=0,
        previous_lambda=0.0,
        weight_sum=0.0,
        score_gram=None if gram is None else np.zeros_like(gram),
        history=[],
    )
    return StreamingHuberRegressor._from_arrays(state)


def _arrays(estimator: StreamingHuberRegressor) -> dict[str, Any]:
    """The fitted state of `estimator` as arrays, with its parameters."""
    return state_arrays(fitted_state(estimator), estimator.get_params())
