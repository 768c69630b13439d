"""The streaming core: folding one batch into a stream's state, without scikit-learn.

`HuberStream` holds a stream's installed `StreamState` and the machinery that folds batches into
it: the engine (which holds the installed state's summary between calls) and a design buffer that
is reused while batches repeat their shape. `HuberStream.fold` computes the next state and leaves
installing it to the caller, so that a caller can issue warnings, or stop, before the batch counts.
The scikit-learn estimator wraps this; the command line can use it directly.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen import _huber
from quillfen._blas_threads import one_blas_thread
from quillfen._covariance import score_gram
from quillfen._design import DesignBuffer, check_magnitudes, engine_array
from quillfen._history import BatchHistory
from quillfen._native_cpu import NativeCpuEngine
from quillfen._native_terms import WorkerPool
from quillfen._parameters import HUBER_PARAMETERS, stream_settings
from quillfen._pilot import seeded_engine
from quillfen._ridge import ridge_term
from quillfen._stall import newton_step_is_negligible
from quillfen._state import ElementType, StreamState

# Default tolerances on the relative coefficient step. The Newton solver resolves steps far below
# 1e-8; the l1 solver accepts a step when the objective rises by at most 1e-12, so it cannot
# resolve steps much below 1e-6. Single precision cannot resolve a relative step below ~1e-6.
DEFAULT_TOL = {("none", "float64"): 1e-8, ("l1", "float64"): 1e-6}
FLOAT32_DEFAULT_TOL = 1e-5
STREAM_SETTINGS = stream_settings(HUBER_PARAMETERS)

Params = Mapping[str, Any]


class HuberStream:
    """A stream's learned state and the engine and buffer that fold batches into it.

    Between calls `engine` holds exactly the summary of `state` (both None before the first
    batch). `fold` moves the engine on and returns the next state; the caller then installs it
    (``stream.state = new``) or calls `undo`.
    """

    def __init__(self) -> None:
        self.state: StreamState | None = None
        self.engine: NativeCpuEngine | None = None
        self._design: DesignBuffer | None = None
        # The workers of the layer's own native sums (design fill, score Gram), private when the
        # engine's are: as many threads, used only while the engine's are idle.
        self._pool: WorkerPool | None = None

    @classmethod
    def restored(cls, state: StreamState, n_threads: int | None) -> HuberStream:
        """A stream that goes on from `state`, with a new engine of `n_threads` threads.

        Raises ValueError or TypeError when the engine refuses the summary.
        """
        engine = NativeCpuEngine(state.dtype, state.coefficients.shape[0], n_threads)
        engine.restore(*state.engine_summary())
        stream = cls()
        stream.state, stream.engine = state, engine
        stream._pool = _private_pool(n_threads)
        return stream

    def undo(self, state: StreamState | None) -> None:
        """Installs `state` again, the engine included, after a `fold` whose result was not (or
        not yet completely) installed. A second Ctrl-C while this runs must not leave the engine
        and the state disagreeing, so it is retried."""
        while True:
            try:
                if state is None:
                    self.engine = None
                elif self.engine is not None:
                    self.engine.restore(*state.engine_summary())
                self.state = state
                return
            except KeyboardInterrupt:
                continue

    def drop_design(self) -> None:
        """Frees the design buffer (after a fit of a whole data set in one batch)."""
        self._design = None

    def fold(
        self,
        X: npt.NDArray[Any],
        y: npt.NDArray[Any],
        weights: npt.NDArray[np.floating] | None,
        params: Params,
        feature_names: npt.NDArray[np.object_] | None = None,
    ) -> tuple[StreamState, str | None]:
        """The state after the validated batch (X, y, weights), and the text of a convergence
        warning for it (None when it converged).

        `params` holds every parameter; `feature_names` names the features of a first batch.
        The engine commits the batch: `self.state` must then be set to the result or `undo`
        called. Raises ValueError for settings changed since the first batch, a batch whose
        values overflow, or one the engine refuses; `undo` then restores the engine.
        """
        if self.state is not None:  # later batches make no BLAS call of their own
            return self._fold(X, y, weights, params, feature_names)
        with one_blas_thread():  # the pilot fit's results then depend only on data and CPU
            return self._fold(X, y, weights, params, feature_names)

    def _fold(
        self,
        X: npt.NDArray[Any],
        y: npt.NDArray[Any],
        weights: npt.NDArray[np.floating] | None,
        params: Params,
        feature_names: npt.NDArray[np.object_] | None,
    ) -> tuple[StreamState, str | None]:
        state = self.state
        dtype: ElementType
        if state is None:
            dtype = "float32" if X.dtype == np.float32 else "float64"
            settings: Mapping[str, Any] = {name: params[name] for name in STREAM_SETTINGS}
        else:
            dtype = state.dtype
            state.check_settings(params)
            settings = state.settings
        fit_intercept = bool(settings["fit_intercept"])
        buffer = self._design
        if buffer is None or buffer.dtype != dtype or buffer.fit_intercept != fit_intercept:
            buffer = self._design = DesignBuffer(dtype, fit_intercept)
        design = buffer.fill(X, self._pool)
        target = engine_array(y, dtype)
        sample_weight = None if weights is None else engine_array(weights, dtype)
        with np.errstate(over="ignore"):  # an overflowing total is refused by name, below
            batch_weight = float(X.shape[0]) if weights is None else float(weights.sum())
        # Before the pilot fit or a solve overflows; the fill measured the design's largest value.
        check_magnitudes(design, target, batch_weight, buffer.largest_magnitude)
        if state is None:
            engine, scale = seeded_engine(
                design, target, sample_weight, params["scale"], params["n_threads"]
            )
            self.engine = engine
            self._pool = _private_pool(params["n_threads"])
        elif self.engine is None:
            raise RuntimeError("the stream has a state but no engine")  # `restored` makes both
        else:
            engine, scale = self.engine, state.scale
        threshold = _huber.threshold(settings["tau"], scale)
        tolerance = default_tolerance(params["tol"], str(settings["penalty"]), dtype)
        try:
            result = engine.update(
                design,
                target,
                sample_weight,
                batch_weight,
                X.shape[1],
                fit_intercept,
                threshold,
                settings["penalty"],
                float(params["lambda_scale"]),
                _huber.engine_bandwidth_scale(params["bandwidth_scale"], scale),
                int(params["max_iter"]),
                tolerance,
                _ridge(float(params["ridge"]), state, design, sample_weight, batch_weight),
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
        if not converged and settings["penalty"] == "none":
            with one_blas_thread():
                converged = newton_step_is_negligible(
                    design,
                    target,
                    sample_weight,
                    coefficients,
                    None if state is None else state.coefficients,
                    None if state is None else state.information,
                    result["information"],
                    threshold,
                    tolerance,
                )
        # The score Gram must cover every batch: a stream whose first batch went without it
        # has no standard errors.
        previous = None if state is None else state.score_gram
        gram = None
        gathers = bool(settings["compute_covariance"]) and settings["penalty"] == "none"
        if gathers and (state is None or previous is not None):
            gram = score_gram(design, target, coefficients, sample_weight, threshold, self._pool)
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
        record = {
            "rows": int(X.shape[0]),
            "iterations": int(result["iterations"]),
            "converged": converged,
            "objective": float(result["objective"]),
            "lambda_value": float(result["lambda_value"]),
            "bandwidth": float(result["bandwidth"]),
            "used_regularized_fallback": bool(result["used_regularized_fallback"]),
        }
        history = BatchHistory() if state is None else state.history
        new = StreamState(
            dtype=dtype,
            n_features_in=X.shape[1] if state is None else state.n_features_in,
            feature_names=feature_names if state is None else state.feature_names,
            settings=settings,
            scale=scale,
            coefficients=coefficients,
            information=result["information"],
            n_samples_seen=int(result["n_samples_seen"]),
            batch_count=int(result["batch_count"]),
            previous_lambda=float(result["previous_lambda"]),
            weight_sum=float(result["weight_sum"]),
            score_gram=gram,
            history=history.appended(record),
        )
        if converged:
            return new, None
        return new, (
            f"batch {new.batch_count} ({record['rows']} rows) did not converge:"
            f" {record['iterations']} iterations (max_iter={params['max_iter']}),"
            f" objective {record['objective']:.6g},"
            f" used_regularized_fallback={record['used_regularized_fallback']};"
            " its fit is kept. Consider raising max_iter or tol, or check the scale of X."
        )


def _private_pool(n_threads: int | None) -> WorkerPool | None:
    return None if n_threads is None else WorkerPool(int(n_threads))


def default_tolerance(tol: float | None, penalty: str, dtype: str) -> float:
    """`tol`, or when it is None the default for the penalty and element type."""
    if tol is not None:
        return float(tol)
    if dtype == "float32":
        return FLOAT32_DEFAULT_TOL
    return DEFAULT_TOL[(penalty, dtype)]


def _ridge(
    ridge: float,
    state: StreamState | None,
    design: npt.NDArray[np.floating],
    sample_weight: npt.NDArray[np.floating] | None,
    batch_weight: float,
) -> float:
    """The absolute ridge for the engine: `ridge` relative to the Newton system's diagonal,
    estimated from the information so far (divided by its weight, as the system is), or on a
    first batch from the weighted mean square of each design column."""
    if ridge == 0:
        return 0.0
    if state is not None and state.weight_sum > 0:
        diagonal = np.diagonal(state.information) / state.weight_sum
        term = ridge_term(ridge, diagonal, state.information.dtype)
        if term > 0.0:
            return term
    squares = np.square(design, dtype=np.float64)
    totals = squares.sum(axis=0) if sample_weight is None else sample_weight @ squares
    return ridge_term(ridge, totals / batch_weight, design.dtype)


def checked_weights(sample_weight: Any, n_rows: int) -> npt.NDArray[np.floating] | None:
    """None, or the weights as a finite, non-negative array of n_rows entries with a positive sum;
    ValueError otherwise."""
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


def is_plain_array(value: Any, ndim: int) -> bool:
    """Whether `value` is a NumPy array of real numbers with `ndim` dimensions, as is."""
    return type(value) is np.ndarray and value.ndim == ndim and value.dtype.kind in "fiu"


def check_plain_batch(X: Any, y: Any, n_features: int, owner: str) -> None:
    """Raises ValueError unless the plain arrays X (2-D) and y (1-D) hold the same positive
    number of rows and X has `n_features` columns; the messages name `owner` as scikit-learn's
    do. Finiteness is the engine's check."""
    check_n_features(X.shape[1], n_features, owner)
    if X.shape[0] != y.shape[0]:
        raise ValueError(
            "Found input variables with inconsistent numbers of samples:"
            f" [{X.shape[0]}, {y.shape[0]}]"
        )
    if X.shape[0] == 0:
        raise ValueError(
            "Found array with 0 sample(s) (shape=(0, ...)) while a minimum of 1 is required."
        )


def check_n_features(n_features: int, expected: int, owner: str) -> None:
    """Raises ValueError, worded as scikit-learn's, when a batch's feature count is not the
    fitted one."""
    if n_features != expected:
        raise ValueError(
            f"X has {n_features} features, but {owner} is expecting {expected} features as input."
        )
