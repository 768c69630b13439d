"""Coefficients and standard errors after every batch of a fit, kept beside the model file.

The model file holds the final summary and the per-batch diagnostics; how the coefficients
moved from batch to batch is recorded here, in a file next to it, for the plot. The total weight
seen after each batch was added later, as an optional array: traces written before it still load,
without it, and readers that predate it ignore it.
"""

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

TRACE_FORMAT_VERSION = 1


def trace_path_for(model_path: Path) -> Path:
    """Where the trace of the model at `model_path` lives: MODEL.npz -> MODEL.trace.npz."""
    return model_path.with_name(f"{model_path.stem}.trace.npz")


@dataclass
class CoefficientTrace:
    """Per-batch coefficient vectors (coef_ then the intercept) and their standard errors.

    A standard error is NaN where none exists (l1 penalty, covariance switched off).
    `weights_seen` is empty for a trace written before it was recorded.
    """

    parameter_names: list[str] = field(default_factory=list)
    rows_seen: list[int] = field(default_factory=list)
    weights_seen: list[float] = field(default_factory=list)
    coefficients: list[npt.NDArray[np.float64]] = field(default_factory=list)
    standard_errors: list[npt.NDArray[np.float64]] = field(default_factory=list)

    def record(self, estimator: Any) -> None:
        """Append the state of `estimator` after the batch it has just folded in."""
        coefficients = _parameter_vector(estimator)
        try:
            standard_errors = np.asarray(estimator.bse_, dtype=np.float64).reshape(-1)
        except (AttributeError, ValueError):
            standard_errors = np.full(coefficients.shape, np.nan)
        if standard_errors.shape != coefficients.shape:
            standard_errors = np.full(coefficients.shape, np.nan)
        self.rows_seen.append(int(estimator.n_samples_seen_))
        self.weights_seen.append(float(estimator._weight_sum))
        self.coefficients.append(coefficients)
        self.standard_errors.append(standard_errors)

    def save(self, path: Path) -> None:
        """Write the trace as an .npz of plain arrays (no pickles)."""
        np.savez(
            path,
            format_version=np.array(TRACE_FORMAT_VERSION),
            parameter_names=np.array(self.parameter_names, dtype=str),
            rows_seen=np.array(self.rows_seen, dtype=np.int64),
            weights_seen=np.array(self.weights_seen, dtype=np.float64),
            coefficients=np.array(self.coefficients, dtype=np.float64),
            standard_errors=np.array(self.standard_errors, dtype=np.float64),
        )

    @classmethod
    def load_matching(cls, path: Path, estimator: Any) -> "CoefficientTrace | None":
        """The trace at `path` if it exists, is readable and belongs to `estimator`, else None.

        It belongs when it has one entry per batch of the estimator's history and its last
        coefficients equal the estimator's.
        """
        try:
            with np.load(path, allow_pickle=False) as saved:
                if int(saved["format_version"]) != TRACE_FORMAT_VERSION:
                    return None
                trace = cls(
                    parameter_names=[str(name) for name in saved["parameter_names"]],
                    rows_seen=[int(r) for r in saved["rows_seen"]],
                    weights_seen=[
                        float(w) for w in saved.get("weights_seen", np.empty(0, dtype=np.float64))
                    ],
                    coefficients=list(saved["coefficients"]),
                    standard_errors=list(saved["standard_errors"]),
                )
        except (OSError, KeyError, ValueError):
            return None
        final = _parameter_vector(estimator)
        matches = (
            len(trace.coefficients) == len(estimator.history_)
            and len(trace.coefficients) > 0
            and np.array_equal(trace.coefficients[-1], final)
        )
        return trace if matches else None


def parameter_names(estimator: Any, feature_names: list[str]) -> list[str]:
    """Names of the entries of the parameter vector: the features, then "intercept" if fitted."""
    return feature_names + (["intercept"] if estimator.fit_intercept else [])


def _parameter_vector(estimator: Any) -> npt.NDArray[np.float64]:
    coefficients = np.asarray(estimator.coef_, dtype=np.float64).reshape(-1)
    if estimator.fit_intercept:
        coefficients = np.append(coefficients, float(estimator.intercept_))
    return coefficients
