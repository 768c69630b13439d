"""Inference from a fitted stream's state: sandwich covariance, standard errors, intervals and the
summary table. Nothing here imports scikit-learn."""

from __future__ import annotations

import warnings

import numpy as np
import numpy.typing as npt

from quillfen._blas_threads import one_blas_thread
from quillfen._covariance import (
    RankDeficiencyWarning,
    Summary,
    coefficient_table,
    normal_quantile,
    sandwich,
)
from quillfen._history import history_column
from quillfen._state import StreamState


def require_inference(state: StreamState) -> npt.NDArray[np.float64]:
    """The score Gram of `state`; ValueError when the state has no standard errors."""
    if state.settings["penalty"] != "none":
        raise ValueError(
            'standard errors need penalty="none": after l1 selection the usual intervals'
            " are not valid"
        )
    if state.score_gram is None:
        raise ValueError("standard errors need compute_covariance=True while fitting")
    return state.score_gram


def covariance(state: StreamState, stacklevel: int = 2) -> npt.NDArray[np.float64]:
    """Sandwich covariance of the coefficients, in the engine's order (intercept last).

    Coefficients the data seen do not identify have NaN rows and columns, and a
    `RankDeficiencyWarning` (issued `stacklevel` frames up from here) names them. Raises
    ValueError as `require_inference` does.
    """
    gram = require_inference(state)
    with one_blas_thread():
        result, unidentified = sandwich(state.information, gram)
    if unidentified.any():
        names = state.parameter_names()
        involved = ", ".join(name for name, flag in zip(names, unidentified, strict=True) if flag)
        warnings.warn(
            "the information matrix is rank deficient: the data seen do not identify"
            f" {involved} apart (collinear columns, a constant column beside the intercept,"
            " or fewer rows than coefficients); their standard errors are NaN",
            RankDeficiencyWarning,
            stacklevel=stacklevel + 1,
        )
    return result


def standard_errors(state: StreamState, stacklevel: int = 2) -> npt.NDArray[np.float64]:
    """The square roots of the diagonal of `covariance`."""
    return np.sqrt(np.clip(np.diag(covariance(state, stacklevel + 1)), 0.0, None))


def coefficients(state: StreamState) -> npt.NDArray[np.float64]:
    """The coefficients in the engine's order, in float64."""
    return np.asarray(state.coefficients, dtype=np.float64)


def confidence_intervals(
    state: StreamState, alpha: float, stacklevel: int = 2
) -> npt.NDArray[np.float64]:
    """Normal confidence intervals of coverage 1 - alpha, one row (lower, upper) per
    coefficient in the engine's order."""
    critical = normal_quantile(alpha)
    params = coefficients(state)
    spread = critical * standard_errors(state, stacklevel + 1)
    return np.column_stack([params - spread, params + spread])


def summary(state: StreamState, alpha: float, scale_estimated: bool) -> Summary:
    """The table of estimates, standard errors, z statistics, p-values and intervals, under a
    header of the fit's counts and settings; `scale_estimated` marks the scale as "auto"."""
    bse = standard_errors(state, stacklevel=3)
    last = state.history[-1]
    header = [
        ("Rows", f"{state.n_samples_seen}"),
        ("Batches", f"{state.batch_count}"),
        ("Weight", f"{state.weight_sum:.6g}"),
        ("Element type", state.dtype),
        ("tau", f"{state.settings['tau']:.6g}"),
        ("Scale", f"{state.scale:.6g}" + (" (auto)" if scale_estimated else "")),
        ("Threshold", f"{state.threshold:.6g}"),
        ("Last batch", f"{'converged' if last['converged'] else 'NOT converged'}"),
        (
            "Batches converged",
            f"{np.count_nonzero(history_column(state.history, 'converged'))}",
        ),
        ("Covariance", "sandwich"),
    ]
    title = "Streaming Huber regression results"
    names = state.parameter_names()
    return Summary(coefficient_table(names, coefficients(state), bse, alpha, header, title))
