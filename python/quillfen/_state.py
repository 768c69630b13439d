"""What a fitted stream has learned, as one immutable object.

A `StreamState` holds the engine's summary (coefficients, information, counters, weight), the
layer's own learned values (the residual scale, the score Gram of the standard errors, the history)
and what the stream's first batch fixed (element type, features, the settings the summary depends
on). Folding a batch in makes a new state; nothing changes an existing one, so an estimator that
installs a new state with one assignment is either before or after a batch, never in between.
Nothing here imports scikit-learn.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from quillfen._history import BatchHistory

ElementType = Literal["float32", "float64"]


@dataclass(frozen=True, eq=False)
class StreamState:
    """The learned state of a stream of batches; see the module's docstring.

    Attributes
    ----------
    dtype : {"float32", "float64"}
        Element type of the engine and of `coefficients` and `information`.
    n_features_in : int
        Number of features.
    feature_names : ndarray of object, or None
        Names of the features, when the first batch had string column names.
    settings : dict
        The parameters the summary depends on (tau, scale, penalty, fit_intercept,
        compute_covariance), as the stream's first batch had them; not to be changed.
    scale : float
        The residual scale: the units of tau.
    coefficients : ndarray of shape (n_parameters,)
        The engine's coefficients: the features', then the intercept when fitted.
    information : ndarray of shape (n_parameters, n_parameters)
        The engine's information matrix.
    n_samples_seen, batch_count : int
        The engine's counters of rows and batches.
    previous_lambda, weight_sum : float
        The engine's last l1 penalty level and accumulated weight.
    score_gram : ndarray of shape (n_parameters, n_parameters), float64, or None
        The standard errors' score Gram over every batch; None when some batch went without.
    history : BatchHistory
        One record per batch.
    """

    dtype: ElementType
    n_features_in: int
    feature_names: npt.NDArray[np.object_] | None
    settings: Mapping[str, Any]
    scale: float
    coefficients: npt.NDArray[np.floating]
    information: npt.NDArray[np.floating]
    n_samples_seen: int
    batch_count: int
    previous_lambda: float
    weight_sum: float
    score_gram: npt.NDArray[np.float64] | None
    history: BatchHistory

    @property
    def threshold(self) -> float:
        """The Huber threshold in the units of y: ``tau * scale``."""
        return float(self.settings["tau"]) * self.scale

    @property
    def fit_intercept(self) -> bool:
        """Whether the last coefficient is an intercept."""
        return bool(self.settings["fit_intercept"])

    @property
    def n_iter(self) -> int:
        """Solver iterations of the last batch; 0 before any."""
        return int(self.history[-1]["iterations"]) if self.history else 0

    @property
    def converged(self) -> bool:
        """Whether the last batch's solve converged; True before any batch."""
        return bool(self.history[-1]["converged"]) if self.history else True

    def engine_summary(
        self,
    ) -> tuple[npt.NDArray[np.floating], npt.NDArray[np.floating], int, int, float, float]:
        """The arguments of `NativeCpuEngine.restore` that make an engine hold this summary."""
        return (
            self.coefficients,
            self.information,
            self.n_samples_seen,
            self.batch_count,
            self.previous_lambda,
            self.weight_sum,
        )

    def parameter_names(self) -> list[str]:
        """Names of the coefficients in the engine's order: the features, then "intercept"."""
        if self.feature_names is not None:
            names = [str(name) for name in self.feature_names]
        else:
            names = [f"x{j}" for j in range(self.n_features_in)]
        return [*names, "intercept"] if self.fit_intercept else names

    def with_feature_names(self, names: Any) -> StreamState:
        """This state with other feature names (None: none); ValueError for a wrong count."""
        if names is not None:
            names = np.asarray(names, dtype=object)
            if names.shape != (self.n_features_in,):
                raise ValueError(
                    f"{names.shape[0] if names.ndim == 1 else names.shape} feature names for"
                    f" {self.n_features_in} features"
                )
        return dataclasses.replace(self, feature_names=names)

    def check_settings(self, params: Mapping[str, Any]) -> None:
        """Raises ValueError when a setting in `params` differs from the one this summary was
        fitted with. Any value of "scale" that is a string ("auto") or the fitted scale is the
        same: the summary depends on the scale used, not on how it was chosen."""
        for name, value in self.settings.items():
            current = params[name]
            if name == "scale":
                value = self.scale
                same = isinstance(current, str) or current == value
            else:
                same = bool(current == value)
            if not same:
                raise ValueError(
                    f"{name}={current!r}, but the fitted stream used {name}={value!r}: the summary"
                    " depends on it. Call fit, or clone the estimator, to start a new stream"
                    f" with the new value, or set {name} back"
                )
