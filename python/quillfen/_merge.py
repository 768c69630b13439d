"""Combining estimators fitted on disjoint parts of the data into one."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen._persistence import estimator_from_state, stream_state

# Parameters that only steer how a fit runs, not what it estimates: merged estimators may differ.
RUN_ONLY_PARAMS = ("n_threads", "batch_size")


def merge(estimators: Iterable[Any]) -> Any:
    """Combine estimators fitted on disjoint data with the same settings into one.

    The information matrices, counters, weights and score Gram matrices are summed; the
    coefficients become the information-weighted mean ``(sum_k I_k)^-1 sum_k I_k beta_k``, and
    `scale_` the weight-weighted mean of the estimators' scales (their common scale when they
    agree). The result is a fitted estimator that predicts, reports standard errors and takes
    further batches. The inputs are not changed.

    Parameters
    ----------
    estimators : iterable of StreamingHuberRegressor
        Fitted estimators with identical parameters (`n_threads` and `batch_size` aside), feature
        names, element type and ``penalty="none"``.

    Returns
    -------
    StreamingHuberRegressor
        The merged estimator, with the parameters of the first one. Its `history_` lists the
        batches of all inputs in order.

    Raises
    ------
    ValueError
        When no estimator is given, when settings, feature names or element types differ, or with
        an l1 penalty (its penalised coefficients cannot be combined this way).
    """
    states = [stream_state(estimator) for estimator in estimators]
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
    weights = np.array([float(s["weight_sum"]) for s in states])
    grams = [s["score_gram"] for s in states]
    merged = dict(first)
    merged.update(
        coefficients=coefficients,
        information=information,
        n_samples_seen=sum(int(s["n_samples_seen"]) for s in states),
        batch_count=sum(int(s["batch_count"]) for s in states),
        previous_lambda=0.0,
        weight_sum=float(weights.sum()),
        scale=_merged_scale([float(s["scale"]) for s in states], weights),
        score_gram=None if any(g is None for g in grams) else sum(grams),
        history=[record for s in states for record in s["history"]],
    )
    return estimator_from_state(merged)


def _merged_scale(scales: list[float], weights: npt.NDArray[np.float64]) -> float:
    """The weight-weighted mean of the scales; exactly the common scale when they agree, as in
    the parallel mode, where the first partition fixes it for all (a rounded mean would differ).
    """
    if all(scale == scales[0] for scale in scales):
        return scales[0]
    return float(np.average(scales, weights=weights))


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
