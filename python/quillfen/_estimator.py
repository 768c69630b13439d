"""StreamingHuberRegressor: the engine behind scikit-learn's estimator interface."""

from __future__ import annotations

import numbers
import threading
import warnings
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, RegressorMixin  # type: ignore[import-untyped]
from sklearn.exceptions import ConvergenceWarning  # type: ignore[import-untyped]
from sklearn.utils.validation import (  # type: ignore[import-untyped]
    check_is_fitted,
    validate_data,
)

from quillfen._blas_threads import one_blas_thread
from quillfen._covariance import (
    RankDeficiencyWarning,
    Summary,
    coefficient_table,
    normal_quantile,
    sandwich,
    score_gram,
)
from quillfen._design import DesignBuffer, check_magnitudes, engine_array
from quillfen._history import BatchHistory, history_column
from quillfen._native_cpu import NativeCpuEngine
from quillfen._persistence import ENGINE_KEYS
from quillfen._pilot import pilot_coefficients, robust_pilot, seed_engine
from quillfen._ridge import ridge_term
from quillfen._stall import newton_step_is_negligible

# Default tolerances on the relative coefficient step. The Newton solver resolves steps far below
# 1e-8; the l1 solver accepts a step when the objective rises by at most 1e-12, so it cannot
# resolve steps much below 1e-6. Single precision cannot resolve a relative step below ~1e-6.
DEFAULT_TOL = {("none", "float64"): 1e-8, ("l1", "float64"): 1e-6}
FLOAT32_DEFAULT_TOL = 1e-5

BatchRecord = dict[str, int | float | bool]


class StreamingHuberRegressor(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Robust linear regression with the Huber loss, fitted batch by batch over a stream.

    Each call of `partial_fit` folds one batch into a compact summary (coefficients, an
    information matrix, counters and weights) and forgets the batch, so the memory used does not
    grow with the stream. Fed the whole data in one batch, the fit is the full-data Huber fit.

    Parameters
    ----------
    tau : float, default=1.345
        Huber threshold in units of `scale_`: residuals within ``tau * scale_`` of zero count
        quadratically, larger ones linearly. 1.345 keeps 95 % efficiency under normal noise.
    scale : "auto" or float, default="auto"
        Units of `tau`. "auto" estimates the scale once, from the first batch, as 1.4826 times the
        median absolute deviation of the residuals of a robust pilot fit (least squares
        reweighted with Huber weights until the scale settles), and keeps it for the rest of the
        stream. A first batch whose y does not vary is refused then: it leaves nothing to measure
        the scale by. A positive number fixes the scale; ``scale=1.0`` makes `tau` a threshold in
        the raw units of ``y``.
    penalty : {"none", "l1"}, default="none"
        "l1" adds an l1 penalty on every coefficient but the intercept, solved by proximal
        gradient; the penalty level shrinks as the stream grows. Standard errors, `summary` and
        `merge` need "none".
    lambda_scale : float, default=1.0
        Multiplier of the l1 penalty level ``lambda_scale * tau * scale_ * sqrt(log(p) / W)``,
        p the number of features and W the weight seen. Ignored with ``penalty="none"``.
    bandwidth_scale : float, default=1.0
        Multiplier of the half-width by which the Newton solver smooths the Huber curvature around
        ``+-tau * scale_``, in units of `scale_`.
    max_iter : int, default=50
        Most solver iterations per batch.
    tol : float or None, default=None
        Convergence tolerance on the relative coefficient step per iteration. None picks 1e-8 for
        ``penalty="none"`` and 1e-6 for "l1" (whose solver cannot resolve finer steps); 1e-5 for
        float32 data.
    ridge : float, default=1e-8
        Steadies the Newton solve of a singular or nearly singular system: ``ridge`` times the
        system's smallest positive diagonal entry is added to its diagonal (at least 1e-6 times
        it in float32, where a smaller term is lost in rounding). Being relative, it stays far
        below the curvature of every column, whatever the columns' scales, so a well-posed fit
        does not depend on it.
    fit_intercept : bool, default=True
        Whether to fit an intercept.
    n_threads : int or None, default=None
        Worker threads of a pool private to this estimator; None shares the process-wide pool.
    compute_covariance : bool, default=True
        Whether to gather what standard errors need (one more weighted Gram product per batch).
        Without it `cov_`, `bse_`, `conf_int` and `summary` are unavailable.
    batch_size : int or None, default=None
        Rows per batch when `fit` streams its input through `partial_fit`; None: one batch.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features_in_,)
        Coefficients, in the element type of the data (float32 or float64).
    intercept_ : float
        The intercept; 0.0 when ``fit_intercept=False``.
    scale_ : float
        The residual scale fixed by the first batch; the Huber threshold is ``tau * scale_``.
    n_samples_seen_ : int
        Rows folded in so far.
    n_batches_ : int
        Batches folded in so far.
    n_iter_ : int
        Solver iterations of the last batch.
    converged_ : bool
        Whether the last batch's solve converged.
    history_ : sequence of dict
        One record per batch, a dict with rows, iterations, converged, objective, lambda_value,
        bandwidth and used_regularized_fallback; held as one array per field (``column(name)``
        gives it), so a long stream's history costs a few bytes per batch. A batch counts as converged when the solver met its tolerance,
        or when its step search stalled where an exact Newton step would already meet it (the
        objective cannot be lowered further in floating point).
    n_features_in_ : int
        Number of features seen by the first batch.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features, when the first batch was a data frame with string column names.

    See Also
    --------
    sklearn.linear_model.HuberRegressor : Huber regression on data held in memory.
    sklearn.linear_model.SGDRegressor : Stochastic gradient fits, with ``loss="huber"``.

    Examples
    --------
    >>> import numpy as np
    >>> from quillfen import StreamingHuberRegressor
    >>> rng = np.random.default_rng(0)
    >>> model = StreamingHuberRegressor()
    >>> for _ in range(5):
    ...     X = rng.standard_normal((200, 3))
    ...     y = X @ [1.0, -2.0, 0.5] + 3.0 + rng.standard_t(2, 200)
    ...     model = model.partial_fit(X, y)
    >>> model.n_batches_
    5
    """

    coef_: npt.NDArray[np.floating]
    intercept_: float
    scale_: float
    n_samples_seen_: int
    n_batches_: int
    n_iter_: int
    converged_: bool
    history_: BatchHistory
    n_features_in_: int

    def __init__(
        self,
        tau: float = 1.345,
        scale: Literal["auto"] | float = "auto",
        penalty: Literal["none", "l1"] = "none",
        lambda_scale: float = 1.0,
        bandwidth_scale: float = 1.0,
        max_iter: int = 50,
        tol: float | None = None,
        ridge: float = 1e-8,
        fit_intercept: bool = True,
        n_threads: int | None = None,
        compute_covariance: bool = True,
        batch_size: int | None = None,
    ) -> None:
        self.tau = tau
        self.scale = scale
        self.penalty = penalty
        self.lambda_scale = lambda_scale
        self.bandwidth_scale = bandwidth_scale
        self.max_iter = max_iter
        self.tol = tol
        self.ridge = ridge
        self.fit_intercept = fit_intercept
        self.n_threads = n_threads
        self.compute_covariance = compute_covariance
        self.batch_size = batch_size

    # ----------------------------------------------------------------------------------- fitting

    def fit(
        self,
        X: npt.ArrayLike,
        y: npt.ArrayLike,
        sample_weight: npt.ArrayLike | None = None,
    ) -> StreamingHuberRegressor:
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
        self : StreamingHuberRegressor
            The fitted estimator. When fitting fails, the estimator keeps its earlier state.
        """
        with self._lock:
            self._check_params()
            snapshot = self._snapshot()
            try:
                self._forget()
                features, target = validate_data(self, X, y, reset=True, **_VALIDATION)
                n_rows = features.shape[0]
                weights = self._checked_weights(sample_weight, n_rows)
                step = n_rows if self.batch_size is None else self.batch_size
                notes = []
                with one_blas_thread():
                    for start in range(0, n_rows, step):
                        block = slice(start, start + step)
                        part = None if weights is None else weights[block]
                        if part is not None and not part.any():
                            continue  # rows of weight 0 change nothing; the engine needs weight
                        notes.append(self._fold_in(features[block], target[block], part))
                # Inside: an interrupt here must undo the fit too (and a warning filter that
                # makes the warning an error makes a call that raises, which changes nothing).
                _warn_unconverged(notes)
            except BaseException:
                self._roll_back(snapshot)
                raise
            finally:
                self.__dict__.pop("_design", None)  # do not keep a copy of the whole data set
        return self

    def partial_fit(
        self,
        X: npt.ArrayLike,
        y: npt.ArrayLike,
        sample_weight: npt.ArrayLike | None = None,
    ) -> StreamingHuberRegressor:
        """Fold one batch into the model.

        The first call fixes `n_features_in_`, `feature_names_in_`, the element type (float32
        data stays float32, anything else becomes float64), `scale_` and the settings the summary
        depends on (see `set_params`), and seeds the solver with a pilot fit of the batch. A batch
        whose solve does not converge raises a `~sklearn.exceptions.ConvergenceWarning` and is
        kept (unless a warning filter turns the warning into an error: then the call raises and
        changes nothing). A batch whose values overflow the standard errors' terms is refused.

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
        self : StreamingHuberRegressor
            The updated estimator. A call that raises leaves it exactly as it was.
        """
        with self._lock:
            self._check_params()
            first = "_engine" not in self.__dict__
            snapshot = self._snapshot()
            try:
                features, target = self._validated_batch(X, y, reset=first)
                weights = self._checked_weights(sample_weight, features.shape[0])
                with one_blas_thread():
                    note = self._fold_in(features, target, weights)
                _warn_unconverged([note])  # inside, as in fit
            except BaseException:
                self._roll_back(snapshot)
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
            features = self._validated_features(X)
            dtype = self._engine.dtype
            values = np.asarray(features, dtype=dtype) @ self.coef_
            return np.asarray(values + np.array(self.intercept_, dtype=dtype), dtype=dtype)

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
            check_is_fitted(self)
            self._require_inference()
            with one_blas_thread():
                covariance, unidentified = sandwich(self._information, self._score_gram)
            names = self._parameter_names()
        if unidentified.any():
            involved = ", ".join(
                name for name, flag in zip(names, unidentified, strict=True) if flag
            )
            warnings.warn(
                "the information matrix is rank deficient: the data seen do not identify"
                f" {involved} apart (collinear columns, a constant column beside the intercept,"
                " or fewer rows than coefficients); their standard errors are NaN",
                RankDeficiencyWarning,
                stacklevel=2,
            )
        return covariance

    @property
    def bse_(self) -> npt.NDArray[np.float64]:
        """Standard errors: the square roots of the diagonal of `cov_`."""
        return np.sqrt(np.clip(np.diag(self.cov_), 0.0, None))

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
        critical = normal_quantile(alpha)
        with self._lock:
            params = self._params_vector()
            spread = critical * self.bse_
        return np.column_stack([params - spread, params + spread])

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
            return self._summary(alpha)

    def _summary(self, alpha: float) -> Summary:
        bse = self.bse_
        names = self._parameter_names()
        last = self.history_[-1]
        header = [
            ("Rows", f"{self.n_samples_seen_}"),
            ("Batches", f"{self.n_batches_}"),
            ("Weight", f"{self._weight_sum:.6g}"),
            ("Element type", self._engine.dtype),
            ("tau", f"{self.tau:.6g}"),
            (
                "Scale",
                f"{self.scale_:.6g}" + (" (auto)" if self.scale == "auto" else ""),
            ),
            ("Threshold", f"{self._threshold:.6g}"),
            ("Last batch", f"{'converged' if last['converged'] else 'NOT converged'}"),
            (
                "Batches converged",
                f"{np.count_nonzero(history_column(self.history_, 'converged'))}",
            ),
            ("Covariance", "sandwich"),
        ]
        title = "Streaming Huber regression results"
        table = coefficient_table(names, self._params_vector(), bse, alpha, header, title)
        return Summary(table)

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
        from quillfen._persistence import save_state, stream_state

        with self._lock:
            self._check_params()
            self._check_stream_settings()
            state = stream_state(self)
        save_state(state, path)

    def set_params(self, **params: Any) -> StreamingHuberRegressor:
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
        self : StreamingHuberRegressor
            The estimator.
        """
        with self._lock:
            return super().set_params(**params)  # type: ignore[no-any-return]

    def __getstate__(self) -> dict[str, Any]:
        with self._lock:
            state: dict[str, Any] = dict(super().__getstate__())
            state.pop("_design", None)
            state.pop("_call_lock", None)
            if "_engine" in state:
                from quillfen._persistence import stream_state

                state["_engine"] = stream_state(self)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        saved = state.get("_engine")
        if isinstance(saved, dict):
            from quillfen._persistence import restore_into

            state = dict(state)
            del state["_engine"]
            settings = state.get("_stream_settings")
            super().__setstate__(state)
            if settings is None:
                restore_into(self, saved)
                return
            # Restored under the settings the stream was fitted with (its threshold, its number
            # of coefficients), then the parameters as set, changed or not, come back.
            current = {name: getattr(self, name) for name in settings}
            self.__dict__.update(settings)
            restore_into(self, saved)
            self.__dict__.update(current)
            self._stream_settings = settings
        else:
            super().__setstate__(state)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = False
        tags.input_tags.sparse = False
        return tags

    # --------------------------------------------------------------------------------- internals

    def _check_params(self) -> None:
        """Raises ValueError naming the first parameter with an unusable value."""
        _require(
            _is_real(self.tau) and 0 < self.tau < np.inf,
            "tau",
            "a positive number",
            self.tau,
        )
        _require(
            self.scale == "auto" if isinstance(self.scale, str) else _positive(self.scale),
            "scale",
            '"auto" or a positive number',
            self.scale,
        )
        _require(self.penalty in ("none", "l1"), "penalty", '"none" or "l1"', self.penalty)
        _require(
            _is_real(self.lambda_scale) and 0 <= self.lambda_scale < np.inf,
            "lambda_scale",
            "a non-negative number",
            self.lambda_scale,
        )
        _require(
            _positive(self.bandwidth_scale),
            "bandwidth_scale",
            "a positive number",
            self.bandwidth_scale,
        )
        _require(
            _positive_int(self.max_iter),
            "max_iter",
            "a positive integer",
            self.max_iter,
        )
        _require(
            self.tol is None or _positive(self.tol),
            "tol",
            "None or a positive number",
            self.tol,
        )
        _require(
            _is_real(self.ridge) and 0 <= self.ridge < np.inf,
            "ridge",
            "a non-negative number",
            self.ridge,
        )
        _require(
            isinstance(self.fit_intercept, (bool, np.bool_)),
            "fit_intercept",
            "a bool",
            self.fit_intercept,
        )
        _require(
            self.n_threads is None or _positive_int(self.n_threads),
            "n_threads",
            "None or a positive integer",
            self.n_threads,
        )
        _require(
            isinstance(self.compute_covariance, (bool, np.bool_)),
            "compute_covariance",
            "a bool",
            self.compute_covariance,
        )
        _require(
            self.batch_size is None or _positive_int(self.batch_size),
            "batch_size",
            "None or a positive integer",
            self.batch_size,
        )

    def _forget(self) -> None:
        """Drops everything learned, keeping the parameters."""
        for name in list(self.__dict__):
            if name in _LAYER_STATE or (name.endswith("_") and not name.startswith("_")):
                del self.__dict__[name]

    @property
    def _lock(self) -> threading.RLock:
        """Held by every public call that reads or writes the learned state, so that calls from
        several threads run one after another. Made on first use: scikit-learn's constructors
        set parameters only."""
        lock: threading.RLock = self.__dict__.setdefault("_call_lock", threading.RLock())
        return lock

    def _snapshot(self) -> tuple[dict[str, Any], dict[str, Any] | None, int]:
        """What `_roll_back` needs to undo a call: the attributes, the engine's summary (the
        engine object itself is kept and written in place) and the length of the history, to
        which a call only appends."""
        engine: NativeCpuEngine | None = self.__dict__.get("_engine")
        history = self.__dict__.get("history_")
        return (
            dict(self.__dict__),
            None if engine is None else dict(engine.state()),
            0 if history is None else len(history),
        )

    def _roll_back(self, snapshot: tuple[dict[str, Any], dict[str, Any] | None, int]) -> None:
        """Puts engine and attributes back as `_snapshot` found them. A second Ctrl-C while this
        runs must not leave the two disagreeing, so the engine's restore is retried."""
        attributes, summary, n_records = snapshot
        while True:
            try:
                engine = attributes.get("_engine")
                if engine is not None and summary is not None:
                    engine.restore(*(summary[key] for key in ENGINE_KEYS))
                history = attributes.get("history_")
                if history is not None and len(history) > n_records:
                    del history[n_records:]
                self.__dict__.clear()
                self.__dict__.update(attributes)
                return
            except KeyboardInterrupt:
                continue

    def _fix_stream_settings(self) -> None:
        """Records the settings the stream's summary depends on, as its first batch used them."""
        self._stream_settings = {name: getattr(self, name) for name in _STREAM_SETTINGS}

    def _check_stream_settings(self) -> None:
        """Raises ValueError when a setting that the fitted summary depends on has changed."""
        fixed: dict[str, Any] | None = self.__dict__.get("_stream_settings")
        if fixed is None:
            return
        for name, value in fixed.items():
            current = getattr(self, name)
            if name == "scale":  # the scale is the fitted one, whether estimated or given
                value = self.scale_
                same = isinstance(current, str) or current == value
            else:
                same = bool(current == value)
            if not same:
                raise ValueError(
                    f"{name}={current!r}, but the fitted stream used {name}={value!r}: the summary"
                    " depends on it. Call fit, or clone the estimator, to start a new stream"
                    f" with the new value, or set {name} back"
                )

    def _validated_batch(self, X: Any, y: Any, reset: bool) -> tuple[Any, Any]:
        """(X, y) as 2-D and 1-D arrays of real numbers with the fitted number of features.

        Plain NumPy arrays after the first batch take a fast path of shape checks: the engine
        itself rejects non-finite values, and with all-or-nothing updates nothing changes then.
        """
        if not reset and _plain_array(X, 2) and _plain_array(y, 1) and self._names is None:
            self._check_n_features(X.shape[1])
            if X.shape[0] != y.shape[0]:
                raise ValueError(
                    "Found input variables with inconsistent numbers of samples:"
                    f" [{X.shape[0]}, {y.shape[0]}]"
                )
            if X.shape[0] == 0:
                raise ValueError(
                    "Found array with 0 sample(s) (shape=(0, ...)) while a minimum of 1 is required."
                )
            return X, y
        return validate_data(self, X, y, reset=reset, **_VALIDATION)  # type: ignore[no-any-return]

    def _validated_features(self, X: Any) -> Any:
        if _plain_array(X, 2) and self._names is None:
            self._check_n_features(X.shape[1])
            if X.shape[0] == 0:
                raise ValueError(
                    "Found array with 0 sample(s) (shape=(0, ...)) while a minimum of 1 is required."
                )
            if not np.isfinite(np.sum(X, dtype=np.float64)):
                raise ValueError("Input X contains NaN or infinity.")
            return X
        return validate_data(self, X, reset=False, **_FEATURES)

    @property
    def _names(self) -> Any:
        return self.__dict__.get("feature_names_in_")

    def _check_n_features(self, n_features: int) -> None:
        if n_features != self.n_features_in_:
            raise ValueError(
                f"X has {n_features} features, but {type(self).__name__} is expecting"
                f" {self.n_features_in_} features as input."
            )

    def _checked_weights(self, sample_weight: Any, n_rows: int) -> npt.NDArray[np.floating] | None:
        """None, or the weights as a finite, non-negative array of n_rows entries with a positive sum."""
        if sample_weight is None:
            return None
        weights = np.asarray(sample_weight)
        if weights.dtype.kind not in "fiub":
            raise ValueError(f"sample_weight must be real numbers, got dtype {weights.dtype}")
        if weights.ndim == 0:
            weights = np.full(n_rows, weights, dtype=np.float64)
        if weights.shape != (n_rows,):
            raise ValueError(f"sample_weight.shape == {weights.shape}, expected ({n_rows},)!")
        if not np.all(np.isfinite(weights)) or np.any(weights < 0):
            raise ValueError("sample_weight must be finite and non-negative")
        with np.errstate(over="ignore"):  # a total that overflows is refused later, by name
            total = weights.sum()
        if not total > 0:
            raise ValueError(
                "sample_weight is zero everywhere: at least one row needs a positive weight"
            )
        return weights

    def _fold_in(self, X: Any, y: Any, weights: npt.NDArray[np.floating] | None) -> str | None:
        """Runs one engine update on a validated batch and records its outcome.

        The engine commits the batch before the layer's own terms are computed: a caller that
        sees an exception must undo both with `_roll_back`. Returns the text of a convergence
        warning for the caller to issue once its state is complete, or None.
        """
        engine: NativeCpuEngine | None = self.__dict__.get("_engine")
        first = engine is None
        dtype: Literal["float32", "float64"]
        if engine is None:
            dtype = "float32" if X.dtype == np.float32 else "float64"
        else:
            dtype = engine.dtype
            self._check_stream_settings()
        buffer: DesignBuffer | None = self.__dict__.get("_design")
        if buffer is None or buffer.dtype != dtype or buffer.fit_intercept != self.fit_intercept:
            buffer = self._design = DesignBuffer(dtype, bool(self.fit_intercept))
        design = buffer.fill(X)
        target = engine_array(y, dtype)
        sample_weight = None if weights is None else engine_array(weights, dtype)
        with np.errstate(over="ignore"):  # an overflowing total is refused by name, below
            batch_weight = float(X.shape[0]) if weights is None else float(weights.sum())
        check_magnitudes(design, target, batch_weight)  # before the pilot fit or a solve overflows
        scale: float
        if engine is None:
            engine, scale = self._seeded_engine(design, target, sample_weight, dtype)
            self._engine = engine  # a failure from here on drops it with the snapshot's undo
            self._fix_stream_settings()
        else:
            scale = self.scale_
        threshold = float(self.tau) * scale
        try:
            result = engine.update(
                design,
                target,
                sample_weight,
                batch_weight,
                self.n_features_in_,
                bool(self.fit_intercept),
                threshold,
                self.penalty,
                float(self.lambda_scale),
                float(self.bandwidth_scale) * scale,
                int(self.max_iter),
                self._tolerance(dtype),
                self._ridge_term(design, sample_weight, batch_weight),
            )
        except ValueError as error:
            if "finite values" in str(error):
                raise ValueError("Input X or y contains NaN or infinity.") from error
            raise
        except RuntimeError as error:
            if "non-finite" not in str(error):
                raise
            raise ValueError(
                "the batch's solve overflowed (a nearly singular system, often a column that is"
                " constant or collinear so far, in float32): the batch was not folded in. Fit in"
                " float64, drop or rescale such columns, or raise ridge"
            ) from error
        coefficients = result["coefficients"]
        converged = bool(result["converged"])
        if not converged and self.penalty == "none":
            converged = newton_step_is_negligible(
                design,
                target,
                sample_weight,
                coefficients,
                self.__dict__.get("_coefficients"),
                self.__dict__.get("_information"),
                result["information"],
                threshold,
                self._tolerance(dtype),
            )
        # The score Gram must cover every batch: a stream whose first batch went without it
        # has no standard errors.
        previous = self.__dict__.get("_score_gram")
        gram = None
        if self._gathers_scores() and (first or previous is not None):
            gram = score_gram(design, target, coefficients, sample_weight, threshold)
            if previous is not None:
                gram = previous + gram
        if not (
            np.isfinite(result["information"]).all() and (gram is None or np.isfinite(gram).all())
        ):
            raise ValueError(
                "Input X or y holds values too large for the standard errors: the batch's"
                " curvature or score terms overflow. The batch was not folded in; rescale the"
                " columns (or the weights) before fitting."
            )

        if gram is not None:
            self._score_gram = gram
        self.scale_ = scale
        self._threshold = threshold
        self._coefficients = coefficients
        self._information = result["information"]
        self._weight_sum = float(result["weight_sum"])
        self._set_coefficients(coefficients)
        self.n_samples_seen_ = int(result["n_samples_seen"])
        self.n_batches_ = int(result["batch_count"])
        self.n_iter_ = int(result["iterations"])
        self.converged_ = converged
        record: BatchRecord = {
            "rows": int(X.shape[0]),
            "iterations": self.n_iter_,
            "converged": self.converged_,
            "objective": float(result["objective"]),
            "lambda_value": float(result["lambda_value"]),
            "bandwidth": float(result["bandwidth"]),
            "used_regularized_fallback": bool(result["used_regularized_fallback"]),
        }
        history = self.__dict__.get("history_")
        if history is None:
            history = self.history_ = BatchHistory()
        history.append(record)
        if self.converged_:
            return None
        return (
            f"batch {self.n_batches_} ({record['rows']} rows) did not converge:"
            f" {record['iterations']} iterations (max_iter={self.max_iter}),"
            f" objective {record['objective']:.6g},"
            f" used_regularized_fallback={record['used_regularized_fallback']};"
            " its fit is kept. Consider raising max_iter or tol, or check the scale of X."
        )

    def _seeded_engine(
        self,
        design: npt.NDArray[np.floating],
        y: npt.NDArray[np.floating],
        sample_weight: npt.NDArray[np.floating] | None,
        dtype: Literal["float32", "float64"],
    ) -> tuple[NativeCpuEngine, float]:
        """A new engine seeded with the first batch's pilot fit, and the scale of `tau`."""
        if self.scale == "auto":
            pilot, scale = robust_pilot(design, y, sample_weight)
        else:
            pilot, scale = pilot_coefficients(design, y, sample_weight), float(self.scale)
        engine = NativeCpuEngine(dtype, design.shape[1], self.n_threads)
        seed_engine(engine, pilot)
        return engine, scale

    def _ridge_term(
        self,
        design: npt.NDArray[np.floating],
        sample_weight: npt.NDArray[np.floating] | None,
        batch_weight: float,
    ) -> float:
        """The absolute ridge for the engine: `ridge` relative to the Newton system's diagonal,
        estimated from the information so far (divided by its weight, as the system is), or on a
        first batch from the weighted mean square of each design column."""
        if self.ridge == 0:
            return 0.0
        information = self.__dict__.get("_information")
        if information is not None and self._weight_sum > 0:
            diagonal = np.diagonal(information) / self._weight_sum
            term = ridge_term(float(self.ridge), diagonal, information.dtype)
            if term > 0.0:
                return term
        squares = np.square(design, dtype=np.float64)
        totals = squares.sum(axis=0) if sample_weight is None else sample_weight @ squares
        return ridge_term(float(self.ridge), totals / batch_weight, design.dtype)

    def _tolerance(self, dtype: str) -> float:
        if self.tol is not None:
            return float(self.tol)
        if dtype == "float32":
            return FLOAT32_DEFAULT_TOL
        return DEFAULT_TOL[(str(self.penalty), dtype)]

    def _gathers_scores(self) -> bool:
        return bool(self.compute_covariance) and self.penalty == "none"

    def _set_coefficients(self, coefficients: npt.NDArray[np.floating]) -> None:
        if self.fit_intercept:
            self.coef_ = coefficients[:-1]
            self.intercept_ = float(coefficients[-1])
        else:
            self.coef_ = coefficients
            self.intercept_ = 0.0

    def _require_inference(self) -> None:
        if self.penalty != "none":
            raise ValueError(
                'standard errors need penalty="none": after l1 selection the usual intervals'
                " are not valid"
            )
        if "_score_gram" not in self.__dict__:
            raise ValueError("standard errors need compute_covariance=True while fitting")
        self._check_stream_settings()

    def _params_vector(self) -> npt.NDArray[np.float64]:
        check_is_fitted(self)
        return np.asarray(self._coefficients, dtype=np.float64)

    def _feature_names(self) -> list[Any]:
        if self._names is not None:
            return list(self._names)
        return [f"x{j}" for j in range(self.n_features_in_)]

    def _parameter_names(self) -> list[str]:
        """Names of the coefficients in the engine's order: the features, then "intercept"."""
        names = [str(name) for name in self._feature_names()]
        return [*names, "intercept"] if self.fit_intercept else names


_FEATURES: dict[str, Any] = {"dtype": "numeric", "accept_sparse": False, "ensure_all_finite": True}
_VALIDATION: dict[str, Any] = {**_FEATURES, "y_numeric": True}
# The estimator's private learned state, next to its public attributes that end in "_".
_LAYER_STATE = (
    "_engine",
    "_design",
    "_threshold",
    "_coefficients",
    "_information",
    "_weight_sum",
    "_score_gram",
    "_stream_settings",
)
# The parameters that a fitted summary depends on: fixed by a stream's first batch.
_STREAM_SETTINGS = ("tau", "scale", "penalty", "fit_intercept", "compute_covariance")


def _warn_unconverged(notes: list[str | None]) -> None:
    for note in notes:
        if note is not None:
            warnings.warn(note, ConvergenceWarning, stacklevel=3)


def _plain_array(value: Any, ndim: int) -> bool:
    return type(value) is np.ndarray and value.ndim == ndim and value.dtype.kind in "fiu"


def _is_real(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _positive(value: Any) -> bool:
    return _is_real(value) and 0 < value < np.inf


def _positive_int(value: Any) -> bool:
    return (
        isinstance(value, numbers.Integral)
        and not isinstance(value, (bool, np.bool_))
        and int(value) >= 1
    )


def _require(ok: bool, name: str, expected: str, value: Any) -> None:
    if not ok:
        raise ValueError(
            f"The '{name}' parameter of StreamingHuberRegressor must be {expected}; got {value!r}."
        )
