"""StreamingHuberRegressor: the Huber stream behind scikit-learn's estimator interface, and `load`."""

from __future__ import annotations

import os
from typing import IO, Literal

from quillfen._base import StreamingRegressor
from quillfen._parameters import HUBER_PARAMETERS, parameters_section
from quillfen._persistence import load_state
from quillfen._state import StreamState
from quillfen._stream import HuberStream


class StreamingHuberRegressor(StreamingRegressor):
    __doc__ = f"""Robust linear regression with the Huber loss, fitted batch by batch over a stream.

    Each call of `partial_fit` folds one batch into a compact summary (coefficients, an
    information matrix, counters and weights) and forgets the batch, so the memory used does not
    grow with the stream. Fed the whole data in one batch, the fit is the full-data Huber fit.
    The first batch also fixes `scale_` and seeds the solver with a pilot fit of the batch.

{parameters_section(HUBER_PARAMETERS)}

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
        gives it), so a long stream's history costs a few bytes per batch. A batch counts as
        converged when the solver met its tolerance, or when its step search stalled where an
        exact Newton step would already meet it (the objective cannot be lowered further in
        floating point).
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

    _parameters = HUBER_PARAMETERS

    # The signature is scikit-learn's contract (get_params reads it); a test holds it to the
    # parameter table, whose defaults and documentation these are.
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

    @property
    def scale_(self) -> float:
        """The residual scale fixed by the first batch; the Huber threshold is ``tau * scale_``."""
        return self._learned("scale_").scale

    def _new_stream(self) -> HuberStream:
        return HuberStream()

    def _restored_stream(self, state: StreamState) -> HuberStream:
        return HuberStream.restored(state, self.n_threads)


def load(path: str | os.PathLike[str] | IO[bytes]) -> StreamingHuberRegressor:
    """Load a model written by `StreamingHuberRegressor.save`.

    Parameters
    ----------
    path : str or path-like or file-like
        The ``.npz`` file.

    Returns
    -------
    StreamingHuberRegressor
        The fitted estimator, ready to predict and to take further batches.

    Raises
    ------
    ValueError
        When the file is not an intact model file, comes from an unknown format version or its
        parts do not fit together.
    """
    return StreamingHuberRegressor._from_arrays(load_state(path))
