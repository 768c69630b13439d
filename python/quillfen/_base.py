"""What a streaming regressor needs from scikit-learn, whatever its loss.

`StreamingRegressor` validates parameters (from the subclass's parameter table) and data, runs
`fit` as a loop of batches, holds the lock that serialises calls, installs each new state with one
assignment, exposes the learned attributes and the inference of the installed `StreamState`, and
pickles and saves through `quillfen._persistence`. A subclass declares its parameters and
constructor and says how to start and restore its stream (`_new_stream`, `_restored_stream`).
"""

from __future__ import annotations

import threading
import warnings
from collections.abc import Mapping
from typing import Any, ClassVar, Protocol, TypeVar

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, RegressorMixin  # type: ignore[import-untyped]
from sklearn.exceptions import ConvergenceWarning  # type: ignore[import-untyped]
from sklearn.utils._param_validation import InvalidParameterError  # type: ignore[import-untyped]
from sklearn.utils.validation import check_is_fitted  # type: ignore[import-untyped]

from quillfen import _results
from quillfen._covariance import Summary
from quillfen._history import BatchHistory
from quillfen._parameters import Parameter, first_refusal, stream_settings
from quillfen._persistence import save, state_arrays, state_from_arrays
from quillfen._state import StreamState
from quillfen._stream import checked_weights
from quillfen._validation import first_batch, next_batch, sklearn_constraints, validated_features

Estimator = TypeVar("Estimator", bound="StreamingRegressor")


class Stream(Protocol):
    """The streaming core a subclass provides (`quillfen._stream.HuberStream` is one)."""

    state: StreamState | None

    def fold(
        self,
        X: npt.NDArray[Any],
        y: npt.NDArray[Any],
        weights: npt.NDArray[np.floating] | None,
        params: Mapping[str, Any],
        feature_names: npt.NDArray[np.object_] | None = None,
    ) -> tuple[StreamState, str | None]: ...

    def undo(self, state: StreamState | None) -> None: ...

    def drop_design(self) -> None: ...


class StreamingRegressor(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Base of the streaming regressors: see the module's docstring. Not for direct use."""

    _parameters: ClassVar[tuple[Parameter, ...]] = ()
    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {}

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        cls._parameter_constraints = sklearn_constraints(cls._parameters)

    # ----------------------------------------------------------------------- the subclass's part

    def _new_stream(self) -> Stream:
        """A stream with no batch yet."""
        raise NotImplementedError

    def _restored_stream(self, state: StreamState) -> Stream:
        """A stream that goes on from `state`."""
        raise NotImplementedError

    # ----------------------------------------------------------------------------------- fitting

    def fit(
        self: Estimator,
        X: npt.ArrayLike,
        y: npt.ArrayLike,
        sample_weight: npt.ArrayLike | None = None,
    ) -> Estimator:
        """Fit the model afresh, streaming X through `partial_fit` in blocks of `batch_size` rows.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data: any real array, list or data frame; sparse input is rejected.
        y : array-like of shape (n_samples,)
            Targets.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative frequency weights; None gives every row weight 1.

        Returns
        -------
        self : object
            The fitted estimator. When fitting fails, the estimator keeps its earlier state.
        """
        with self._lock:
            params = self._check_params()
            features, target, names = first_batch(self, X, y)
            n_rows = features.shape[0]
            weights = checked_weights(sample_weight, n_rows)
            step = n_rows if params["batch_size"] is None else params["batch_size"]
            stream = self._new_stream()  # the estimator's own stream is not touched until the end
            notes = []
            for start in range(0, n_rows, step):
                block = slice(start, start + step)
                part = None if weights is None else weights[block]
                if part is not None and not part.any():
                    continue  # rows of weight 0 change nothing; the engine needs weight
                state, note = stream.fold(features[block], target[block], part, params, names)
                stream.state = state
                notes.append(note)
            stream.drop_design()  # do not keep a copy of the whole data set
            # Before the install: a warning filter that makes the warning an error makes a call
            # that raises, which changes nothing.
            _warn_unconverged(notes)
            self._stream = stream
        return self

    def partial_fit(
        self: Estimator,
        X: npt.ArrayLike,
        y: npt.ArrayLike,
        sample_weight: npt.ArrayLike | None = None,
    ) -> Estimator:
        """Fold one batch into the model.

        The first call fixes `n_features_in_`, `feature_names_in_`, the element type (float32
        data stays float32, anything else becomes float64) and the settings the summary depends
        on (see `set_params`). A batch whose solve does not converge raises a
        `~sklearn.exceptions.ConvergenceWarning` and is kept (unless a warning filter turns the
        warning into an error: then the call raises and changes nothing). A batch whose values
        overflow the standard errors' terms is refused.

        Calls from several threads at once run one after another (every public method that reads
        or writes the fitted state holds the estimator's lock).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            One batch of data.
        y : array-like of shape (n_samples,)
            Its targets.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative frequency weights; the batch counts with their total.

        Returns
        -------
        self : object
            The updated estimator. A call that raises leaves it exactly as it was.
        """
        with self._lock:
            params = self._check_params()
            stream: Stream = self.__dict__.get("_stream") or self._new_stream()
            before = stream.state
            try:
                if before is None:
                    features, target, names = first_batch(self, X, y)
                else:
                    (features, target), names = next_batch(self, X, y, before), None
                weights = checked_weights(sample_weight, features.shape[0])
                state, note = stream.fold(features, target, weights, params, names)
                _warn_unconverged([note])  # before the install, as in fit
                stream.state = state
                self._stream = stream  # the install, for a first batch
            except BaseException:
                stream.undo(before)
                raise
        return self

    def predict(self, X: npt.ArrayLike) -> npt.NDArray[np.floating]:
        """Predict with the current coefficients.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Data to predict.

        Returns
        -------
        ndarray of shape (n_samples,)
            ``X @ coef_ + intercept_``, in the element type of the training data.
        """
        with self._lock:
            check_is_fitted(self)
            state = self._state
            features = validated_features(self, X, state)
            values = np.asarray(features, dtype=state.dtype) @ self.coef_
            intercept = np.array(self.intercept_, dtype=state.dtype)
            return np.asarray(values + intercept, dtype=state.dtype)

    # ------------------------------------------------------------------------ learned attributes

    @property
    def coef_(self) -> npt.NDArray[np.floating]:
        """Coefficients, in the element type of the data (float32 or float64)."""
        state = self._learned("coef_")
        return state.coefficients[:-1] if state.fit_intercept else state.coefficients

    @property
    def intercept_(self) -> float:
        """The intercept; 0.0 when ``fit_intercept=False``."""
        state = self._learned("intercept_")
        return float(state.coefficients[-1]) if state.fit_intercept else 0.0

    @property
    def n_samples_seen_(self) -> int:
        """Rows folded in so far."""
        return self._learned("n_samples_seen_").n_samples_seen

    @property
    def n_batches_(self) -> int:
        """Batches folded in so far."""
        return self._learned("n_batches_").batch_count

    @property
    def n_iter_(self) -> int:
        """Solver iterations of the last batch."""
        return self._learned("n_iter_").n_iter

    @property
    def converged_(self) -> bool:
        """Whether the last batch's solve converged."""
        return self._learned("converged_").converged

    @property
    def history_(self) -> BatchHistory:
        """One record per batch; see the class's docstring."""
        return self._learned("history_").history

    @property
    def n_features_in_(self) -> int:
        """Number of features seen by the first batch."""
        return self._learned("n_features_in_").n_features_in

    @property
    def feature_names_in_(self) -> npt.NDArray[np.object_]:
        """Names of the features, when the first batch was a data frame with string column
        names. May be set (to name the features of a fit on plain arrays) or deleted."""
        names = self._learned("feature_names_in_").feature_names
        if names is None:
            raise self._missing("feature_names_in_")
        return names

    @feature_names_in_.setter
    def feature_names_in_(self, names: npt.ArrayLike) -> None:
        with self._lock:
            state = self._learned("feature_names_in_")
            self._stream_of("feature_names_in_").state = state.with_feature_names(names)

    @feature_names_in_.deleter
    def feature_names_in_(self) -> None:
        with self._lock:
            state = self._learned("feature_names_in_")
            if state.feature_names is None:
                raise self._missing("feature_names_in_")
            self._stream_of("feature_names_in_").state = state.with_feature_names(None)

    @property
    def _weight_sum(self) -> float:
        """The weight folded in so far (the command line's trace records it)."""
        return self._learned("_weight_sum").weight_sum

    # ---------------------------------------------------------------------------------- inference

    @property
    def cov_(self) -> npt.NDArray[np.float64]:
        """Sandwich covariance of the coefficients, rows and columns in the order of `coef_`, then
        the intercept.

        Coefficients that the data seen do not identify (a constant column beside the intercept,
        an indicator column for every level of a category beside it, fewer rows than
        coefficients) have NaN rows and columns, and a `RankDeficiencyWarning` names them.

        Raises
        ------
        ValueError
            With the l1 penalty, without `compute_covariance`, or when a setting the standard
            errors depend on changed since the first batch.
        """
        with self._lock:
            return _results.covariance(self._inference_state(), stacklevel=3)

    @property
    def bse_(self) -> npt.NDArray[np.float64]:
        """Standard errors: the square roots of the diagonal of `cov_`."""
        with self._lock:
            return _results.standard_errors(self._inference_state(), stacklevel=3)

    def conf_int(self, alpha: float = 0.05) -> npt.NDArray[np.float64]:
        """Normal confidence intervals of the coefficients.

        Parameters
        ----------
        alpha : float, default=0.05
            One minus the coverage: 0.05 gives 95 % intervals.

        Returns
        -------
        ndarray of shape (n_features_in_ + 1, 2) or (n_features_in_, 2)
            Lower and upper bounds, rows in the order of `coef_`, then the intercept when fitted.
        """
        with self._lock:
            return _results.confidence_intervals(self._inference_state(), alpha, stacklevel=3)

    def summary(self, alpha: float = 0.05) -> Summary:
        """A table of estimates, standard errors, z statistics, p-values and intervals.

        Parameters
        ----------
        alpha : float, default=0.05
            One minus the coverage of the intervals.

        Returns
        -------
        Summary
            Prints as the table; ``as_text()`` gives it as a string.
        """
        with self._lock:
            state = self._inference_state()
            return _results.summary(state, alpha, getattr(self, "scale", None) == "auto")

    # ------------------------------------------------------------------------------ persistence

    def save(self, path: str | Any) -> None:
        """Write the fitted model to one ``.npz`` file that `quillfen.load` reads back.

        The file holds the engine's summary, the covariance accumulator, `scale_`, the
        parameters, the feature names, the per-batch history and a format version; no pickles.

        Parameters
        ----------
        path : str or path-like or file-like
            Where to write.
        """
        with self._lock:
            self._check_params()
            check_is_fitted(self)
            state, params = self._state, self.get_params()
            state.check_settings(params)
        save(state, params, path)

    @classmethod
    def _from_arrays(cls: type[Estimator], arrays: Mapping[str, Any]) -> Estimator:
        """A fitted estimator rebuilt from `state_arrays`' dict (or `load_state`'s) with the
        parameters it holds. Raises ValueError when the parts do not fit together."""
        try:
            estimator = cls(**arrays["params"])
        except TypeError as error:
            raise ValueError(f"the saved parameters do not fit this quillfen: {error}") from error
        estimator._check_params()
        estimator._stream = estimator._restored_stream(
            state_from_arrays(arrays, estimator._settings_of(arrays["params"]))
        )
        return estimator

    def set_params(self: Estimator, **params: Any) -> Estimator:
        """Set the estimator's parameters, as scikit-learn's estimators do.

        Between `partial_fit` calls the settings that the fitted stream depends on (`tau`,
        `penalty`, `fit_intercept`, `compute_covariance`, and `scale` other than "auto" or the
        fitted `scale_`) may be set, but the next `partial_fit`, `summary`, `save` or `merge`
        refuses them until `fit` starts a new stream.

        Parameters
        ----------
        **params : dict
            Parameter names and their new values.

        Returns
        -------
        self : object
            The estimator.
        """
        with self._lock:
            return super().set_params(**params)  # type: ignore[no-any-return]

    def __getstate__(self) -> dict[str, Any]:
        with self._lock:
            pickled: dict[str, Any] = dict(super().__getstate__())
            pickled.pop("_call_lock", None)
            pickled.pop("_checked_values", None)
            stream = pickled.pop("_stream", None)
            if stream is not None:
                # The state as arrays, with the settings it was fitted with as its parameters:
                # the estimator's own may have changed since.
                pickled["_stream"] = state_arrays(stream.state, stream.state.settings)
        return pickled

    def __setstate__(self, pickled: dict[str, Any]) -> None:
        pickled = dict(pickled)
        arrays = pickled.pop("_stream", None)
        super().__setstate__(pickled)
        if arrays is not None:
            settings = self._settings_of(arrays["params"])
            self._stream = self._restored_stream(state_from_arrays(arrays, settings))

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = False
        tags.input_tags.sparse = False
        return tags

    def __sklearn_is_fitted__(self) -> bool:
        return "_stream" in self.__dict__

    # --------------------------------------------------------------------------------- internals

    def _check_params(self) -> dict[str, Any]:
        """The parameters by name, checked against the parameter table: InvalidParameterError
        (a ValueError) names the first one with an unusable value."""
        params = self._param_values()
        # Parameters are checked once per value: the same objects as at the last check passed it.
        values = tuple(params.values())
        checked = self.__dict__.get("_checked_values")
        if checked is not None and all(a is b for a, b in zip(checked, values, strict=True)):
            return params
        refusal = first_refusal(self._parameters, params, type(self).__name__)
        if refusal is not None:
            raise InvalidParameterError(refusal)
        self.__dict__["_checked_values"] = values
        return params

    def _param_values(self) -> dict[str, Any]:
        """The parameters by name: `get_params` without its signature lookup, once a batch."""
        return {parameter.name: getattr(self, parameter.name) for parameter in self._parameters}

    def _settings_of(self, params: Mapping[str, Any]) -> dict[str, Any]:
        return {name: params[name] for name in stream_settings(self._parameters)}

    @property
    def _lock(self) -> threading.RLock:
        """Held by every public call that reads or writes the learned state, so that calls from
        several threads run one after another. Made on first use: scikit-learn's constructors
        set parameters only."""
        lock: threading.RLock = self.__dict__.setdefault("_call_lock", threading.RLock())
        return lock

    @property
    def _state(self) -> StreamState:
        """The installed state of a fitted estimator."""
        return self._learned("_state")

    def _learned(self, name: str) -> StreamState:
        """The installed state; AttributeError naming `name` before the first batch, as for a
        learned attribute that is not there yet."""
        state = self._stream_of(name).state
        if state is None:  # an installed stream always has a state
            raise self._missing(name)
        return state

    def _stream_of(self, name: str) -> Stream:
        stream: Stream | None = self.__dict__.get("_stream")
        if stream is None:
            raise self._missing(name)
        return stream

    def _missing(self, name: str) -> AttributeError:
        return AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def _inference_state(self) -> StreamState:
        """The installed state, checked for standard errors: ValueError when it has none or a
        setting they depend on has changed."""
        check_is_fitted(self)
        state = self._state
        _results.require_inference(state)
        state.check_settings(self._param_values())
        return state


def fitted_state(estimator: StreamingRegressor) -> StreamState:
    """The installed state of a fitted estimator, for merging and the distributed layer; raises
    NotFittedError before the first batch."""
    check_is_fitted(estimator)
    return estimator._state


def _warn_unconverged(notes: list[str | None]) -> None:
    for note in notes:
        if note is not None:
            warnings.warn(note, ConvergenceWarning, stacklevel=3)
