"""The scikit-learn side of checking what an estimator is given: its batches and the declaration
of its parameters in scikit-learn's terms."""

from __future__ import annotations

from numbers import Integral, Real
from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.utils._param_validation import Interval, StrOptions  # type: ignore[import-untyped]
from sklearn.utils.validation import validate_data  # type: ignore[import-untyped]

from quillfen._parameters import Parameter
from quillfen._state import StreamState
from quillfen._stream import check_n_features, check_plain_batch, is_plain_array

_FEATURES: dict[str, Any] = {"dtype": "numeric", "accept_sparse": False, "ensure_all_finite": True}
_VALIDATION: dict[str, Any] = {**_FEATURES, "y_numeric": True}


def first_batch(estimator: Any, X: Any, y: Any) -> tuple[Any, Any, npt.NDArray[np.object_] | None]:
    """(X, y) of a stream's first batch for `estimator` as 2-D and 1-D arrays of real numbers,
    and the feature names of a data frame with string column names (else None)."""
    # validate_data records n_features_in_ and feature_names_in_ on the object it checks for; the
    # estimator's own come from its state, so a stand-in takes them.
    stand_in = _FirstBatch(estimator)
    X, y = validate_data(stand_in, X, y, reset=True, estimator=estimator, **_VALIDATION)
    names = stand_in.__dict__.get("feature_names_in_")
    return X, y, None if names is None else np.asarray(names, dtype=object)


def next_batch(estimator: Any, X: Any, y: Any, state: StreamState) -> tuple[Any, Any]:
    """(X, y) of a later batch, checked against the first (`state`). Plain NumPy arrays of a
    stream without feature names take a fast path of shape checks: the engine itself rejects
    non-finite values, and nothing changes then."""
    if state.feature_names is None and is_plain_array(X, 2) and is_plain_array(y, 1):
        check_plain_batch(X, y, state.n_features_in, type(estimator).__name__)
        return X, y
    return validate_data(estimator, X, y, reset=False, **_VALIDATION)  # type: ignore[no-any-return]


def validated_features(estimator: Any, X: Any, state: StreamState) -> Any:
    """X to predict from, checked against the fitted `state` as `next_batch` checks a batch."""
    if is_plain_array(X, 2) and state.feature_names is None:
        check_n_features(X.shape[1], state.n_features_in, type(estimator).__name__)
        if X.shape[0] == 0:
            raise ValueError(
                "Found array with 0 sample(s) (shape=(0, ...)) while a minimum of 1 is required."
            )
        if not np.isfinite(np.sum(X, dtype=np.float64)):
            raise ValueError("Input X contains NaN or infinity.")
        return X
    return validate_data(estimator, X, reset=False, **_FEATURES)


def sklearn_constraints(parameters: tuple[Parameter, ...]) -> dict[str, list[Any]]:
    """The parameter table in scikit-learn's terms (`_parameter_constraints`), for its tooling
    and estimator checks. The validation itself is the table's, which also refuses booleans as
    numbers."""
    constraints: dict[str, list[Any]] = {}
    for parameter in parameters:
        values = parameter.values
        allowed: list[Any] = [None] if values.none else []
        if values.options:
            allowed.append(StrOptions(set(values.options)))
        if values.number is not None:
            kind = Integral if values.number == "integer" else Real
            closed = "left" if values.minimum_included else "neither"
            allowed.append(Interval(kind, values.minimum, None, closed=closed))
        if values.boolean:
            allowed.append("boolean")
        constraints[parameter.name] = allowed
    return constraints


class _FirstBatch:
    """The object scikit-learn's validation of a first batch writes n_features_in_ and
    feature_names_in_ to, with the tags of the estimator it stands in for."""

    def __init__(self, estimator: Any) -> None:
        self._estimator = estimator

    def __sklearn_tags__(self) -> Any:
        return self._estimator.__sklearn_tags__()
