"""The native CPU engine: a persistent Huber regression summary updated batch by batch."""

from typing import Literal, TypeAlias, TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = ["NativeCpuEngine", "version"]

_Array: TypeAlias = npt.NDArray[np.float32] | npt.NDArray[np.float64]

class VersionInfo(TypedDict):
    """What `version` reports about the build."""

    abi_version: int
    python_api_version: int
    engine_version: str
    linear_algebra_provider: str
    parallel_provider: str
    parallel_threads: int
    supports_engine_thread_pool: bool
    engine_thread_pool_default: str
    strict_dtypes: tuple[str, str]

class EngineStateDict(TypedDict):
    """An engine's summary, as `NativeCpuEngine.state` returns it (fresh copies)."""

    coefficients: _Array
    information: _Array
    state_is_detached: bool
    n_samples_seen: int
    batch_count: int
    previous_lambda: float
    weight_sum: float

class UpdateResult(EngineStateDict):
    """The new summary after an update, followed by the update's diagnostics."""

    iterations: int
    converged: bool
    objective: float
    lambda_value: float
    bandwidth: float
    used_regularized_fallback: bool

@final
class NativeCpuEngine:
    """Robust (Huber) linear regression fitted incrementally, one batch per `update`.

    The engine keeps a compact summary of everything it has accepted (coefficients, an information
    matrix, counters, the last penalty level and the accumulated weight) and never the data. Each
    update minimises the new batch's Huber loss plus a quadratic summary of the earlier batches.
    Arrays passed in must already have the engine's element type and be C-contiguous; nothing is
    converted. Computation releases the GIL; a call on an engine that is busy in another thread
    fails at once with RuntimeError.

    Parameters
    ----------
    dtype : {"float32", "float64"}
        Element type of every array the engine takes and returns.
    n_parameters : int
        Number of design columns: the features, plus one for the intercept when fitted.
    n_threads : int or None, default=None
        Size of a worker pool private to this engine; None shares the process-wide pool.

    See Also
    --------
    quillfen.StreamingHuberRegressor : The scikit-learn estimator built on this engine.
    """

    def __new__(
        cls,
        dtype: Literal["float32", "float64"],
        n_parameters: int,
        n_threads: int | None = None,
    ) -> NativeCpuEngine: ...
    @property
    def dtype(self) -> Literal["float32", "float64"]:
        """Element type of the engine's arrays."""
    @property
    def n_parameters(self) -> int:
        """Number of coefficients (design columns)."""
    @property
    def n_threads(self) -> int:
        """Effective number of worker threads available to this engine."""
    @property
    def has_dedicated_thread_pool(self) -> bool:
        """Whether this engine owns a private thread pool instead of using global state."""
    def update(
        self,
        x_design: _Array,
        y: _Array,
        sample_weight: _Array | None,
        batch_weight: float,
        n_features_in: int,
        fit_intercept: bool | np.bool_,
        tau: float,
        penalty: Literal["none", "l1"],
        lambda_scale: float,
        bandwidth_scale: float,
        max_iter: int,
        tol: float,
        ridge: float,
    ) -> UpdateResult:
        """Fold one batch into the summary; all or nothing.

        The solve starts at the stored coefficients (zero for a new engine) and `tau` is in the
        raw units of `y`: seed a new engine through `restore` when the data lie far from zero.

        Parameters
        ----------
        x_design : ndarray of shape (n_rows, n_parameters)
            Design matrix, C-contiguous, intercept column (ones) last when fitted.
        y : ndarray of shape (n_rows,)
            Targets.
        sample_weight : ndarray of shape (n_rows,) or None
            Non-negative row weights with a positive entry; None weighs every row 1.
        batch_weight : float
            Weight of the batch in the accumulated total, usually its total sample weight.
        n_features_in : int
            Number of feature columns.
        fit_intercept : bool
            Whether the last column is the intercept's (it is never penalised).
        tau : float
            Huber threshold, in units of `y`.
        penalty : {"none", "l1"}
            "none": damped Newton solve; "l1": proximal gradient solve with an l1 penalty.
        lambda_scale : float
            Multiplier of the l1 penalty level (ignored with "none").
        bandwidth_scale : float
            Multiplier of the curvature-smoothing half-width of the Newton solve.
        max_iter : int
            Most solver iterations.
        tol : float
            Tolerance on the relative coefficient step; keep it near 1e-6 with "l1".
        ridge : float
            Diagonal term added to the Newton system.

        Returns
        -------
        dict
            The new summary (the entries of `state`), then "iterations", "converged",
            "objective", "lambda_value", "bandwidth" and "used_regularized_fallback".

        Raises
        ------
        TypeError
            For an array of the wrong type or dimensions, or a scalar of the wrong kind.
        ValueError
            For bad settings, shapes, non-finite data or weights; the summary is unchanged.
        RuntimeError
            When the solve fails numerically or the engine is busy; the summary is unchanged.
        """
    def predict(self, x_design: _Array) -> _Array:
        """Fitted values ``x_design @ coefficients`` of the current summary.

        Parameters
        ----------
        x_design : ndarray of shape (n_rows, n_parameters)
            Design matrix in the engine's element type, C-contiguous.

        Returns
        -------
        ndarray of shape (n_rows,)
            One fitted value per row.
        """
    def state(self) -> EngineStateDict:
        """The summary as a dict of fresh copies, for `restore` (without "state_is_detached").

        Returns
        -------
        dict
            "coefficients", "information", "state_is_detached" (always True),
            "n_samples_seen", "batch_count", "previous_lambda" and "weight_sum".
        """
    def restore(
        self,
        coefficients: _Array,
        information: _Array,
        n_samples_seen: int,
        batch_count: int,
        previous_lambda: float,
        weight_sum: float,
    ) -> None:
        """Replace the whole summary after checking it; on failure nothing changes.

        Parameters
        ----------
        coefficients : ndarray of shape (n_parameters,)
            Coefficients, intercept last; the next update starts its solve here.
        information : ndarray of shape (n_parameters, n_parameters)
            Accumulated curvature of the earlier batches (zeros for a fresh start).
        n_samples_seen : int
            Rows accepted so far.
        batch_count : int
            Batches accepted so far.
        previous_lambda : float
            Penalty level of the last l1 update (0.0 otherwise).
        weight_sum : float
            Accumulated batch weight; positive once rows have been seen.

        Raises
        ------
        TypeError, ValueError
            For arrays of the wrong type or shape, or inconsistent or non-finite values.
        """

def version() -> VersionInfo:
    """Describe the build: versions, linear-algebra and thread-pool providers, element types.

    Returns
    -------
    dict
        Nine entries, among them "engine_version" and "parallel_threads".
    """
