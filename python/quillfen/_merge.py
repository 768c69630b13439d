"""Combining estimators fitted on disjoint parts of the data into one."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np

from quillfen._base import fitted_state
from quillfen._estimator import StreamingHuberRegressor
from quillfen._history import BatchHistory
from quillfen._persistence import state_arrays

# Parameters that only steer how a fit runs, not what it estimates: merged estimators may differ.
RUN_ONLY_PARAMS = ("n_threads", "batch_size")


def merge(estimators: Iterable[StreamingHuberRegressor]) -> StreamingHuberRegressor:
    """Combine estimators fitted on disjoint data with the same settings into one.

    The information matrices, counters, weights and score Gram matrices are summed; the
    coefficients become the information-weighted mean ``(sum_k I_k)^-1 sum_k I_k beta_k``. The
    estimators must share `scale_` (their Huber thresholds must agree for the sums to describe
    one fit): give them the same numeric ``scale``, for example the `scale_` of a first fit. The
    result is a fitted estimator that predicts, reports standard errors and takes further
    batches. The inputs are not changed.

    Parameters
    ----------
    estimators : iterable of StreamingHuberRegressor
        Fitted estimators with identical parameters (`n_threads` and `batch_size` aside), the
        same `scale_`, feature names and element type, and ``penalty="none"``.

    Returns
    -------
    StreamingHuberRegressor
        The merged estimator, with the parameters of the first one. Its `history_` lists the
        batches of all inputs in order.

    Raises
    ------
    ValueError
        When no estimator is given, when settings, scales, feature names or element types differ,
        when an estimator's settings changed since its first batch, or with an l1 penalty (its
        penalised coefficients cannot be combined this way).
    """
    states = []
    for estimator in estimators:
        with estimator._lock:
            fitted, params = fitted_state(estimator), estimator.get_params()
            fitted.check_settings(params)
            states.append(state_arrays(fitted, params))
    if not states:
        raise ValueError("merge needs at least one fitted estimator")
    first = states[0]
    if first["params"]["penalty"] != "none":
        raise ValueError('merge needs penalty="none": l1-penalised fits cannot be combined')
    for index, state in enumerate(states[1:], start=1):
        _check_compatible(first, state, index)

    information = sum(np.asarray(s["information"], dtype=np.float64) for s in states)
    weighted = sum(
        np.asarray(s["information"], dtype=np.float64) @ np.asarray(s["coefficients"], np.float64)
        for s in states
    )
    try:
        coefficients = np.linalg.solve(information, weighted)
    except np.linalg.LinAlgError as error:
        raise ValueError(
            "the summed information matrix is singular: together the estimators' data do not"
            " identify every coefficient"
        ) from error
    grams = [s["score_gram"] for s in states]
    merged = dict(first)
    merged.update(
        coefficients=coefficients,
        information=information,
        n_samples_seen=sum(int(s["n_samples_seen"]) for s in states),
        batch_count=sum(int(s["batch_count"]) for s in states),
        previous_lambda=0.0,
        weight_sum=sum(float(s["weight_sum"]) for s in states),
        score_gram=None if any(g is None for g in grams) else sum(grams),
        history=BatchHistory.concatenate(s["history"] for s in states),
    )
    return StreamingHuberRegressor._from_arrays(merged)


def _check_compatible(first: dict[str, Any], other: dict[str, Any], index: int) -> None:
    for name, value in first["params"].items():
        if name not in RUN_ONLY_PARAMS and other["params"][name] != value:
            raise ValueError(
                f"cannot merge: estimator {index} has {name}={other['params'][name]!r},"
                f" estimator 0 has {name}={value!r}"
            )
    if other["dtype"] != first["dtype"]:
        raise ValueError(
            f"cannot merge: estimator {index} holds {other['dtype']}, estimator 0 {first['dtype']}"
        )
    if other["n_features_in"] != first["n_features_in"]:
        raise ValueError(
            f"cannot merge: estimator {index} has {other['n_features_in']} features,"
            f" estimator 0 has {first['n_features_in']}"
        )
    names, other_names = first["feature_names"], other["feature_names"]
    if (names is None) != (other_names is None) or (
        names is not None and list(names) != list(other_names)
    ):
        raise ValueError(
            f"cannot merge: estimator {index} has other feature names than estimator 0"
        )
    if other["scale"] != first["scale"]:
        raise ValueError(
            f"cannot merge: estimator {index} has scale_={other['scale']!r}, estimator 0 has"
            f" scale_={first['scale']!r}; fits at different Huber thresholds do not combine."
            " Fit every part with the same numeric scale (e.g. the scale_ of a first fit)"
        )
