"""Coefficients and standard errors after every batch of a fit, kept beside the model file.

The model file holds the final summary and the per-batch diagnostics; how the coefficients
moved from batch to batch is recorded here, in a file next to it, for the plot. The total weight
seen after each batch was added later, as an optional array: traces written before it still load,
without it, and readers that predate it ignore it.
"""

import zipfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen import _results
from quillfen._state import StreamState

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

    def record(self, state: StreamState) -> None:
        """Append a stream's `state` after the batch just folded in. A warning about standard
        errors names the caller's line."""
        coefficients = _results.coefficients(state)
        try:
            standard_errors = _results.standard_errors(state, stacklevel=2)
        except ValueError:  # none for this stream (l1 penalty, covariance switched off)
            standard_errors = np.full(coefficients.shape, np.nan)
        self.rows_seen.append(state.n_samples_seen)
        self.weights_seen.append(state.weight_sum)
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
        """The trace at `path` if it exists, is intact and belongs to `estimator`, else None.

        It belongs when it has one entry per batch of the estimator's history and its last row
        count and coefficients equal the estimator's: a trace left beside a model it was not
        written with (a fit killed between the renames of its two files, a model saved over the
        file) does not, nor does a damaged or forged one.
        """
        trace = _read_trace(path)
        if trace is None:
            return None
        final = _parameter_vector(estimator)
        matches = (
            len(trace.coefficients) == len(estimator.history_)
            and trace.rows_seen[-1] == int(estimator.n_samples_seen_)
            and np.array_equal(trace.coefficients[-1], final)
        )
        return trace if matches else None


# What a damaged or forged archive raises while being read: BadZipFile, zlib.error and EOFError
# from the zip layer, ValueError from NumPy's headers, MemoryError from a forged shape.
_READ_ERRORS = (
    OSError,
    EOFError,
    ValueError,
    KeyError,
    MemoryError,
    NotImplementedError,
    zipfile.BadZipFile,
    zlib.error,
)


def _read_trace(path: Path) -> CoefficientTrace | None:
    """The trace saved at `path`, or None when there is none or its arrays do not fit together."""
    try:
        loaded = np.load(path, allow_pickle=False)
        if not isinstance(loaded, np.lib.npyio.NpzFile):  # a lone .npy array
            return None
        with loaded as saved:
            arrays = {name: saved[name] for name in saved.files}
    except _READ_ERRORS:
        return None
    version = arrays.get("format_version")
    if version is None or version.shape != () or version.dtype.kind not in "iu":
        return None
    if int(version) != TRACE_FORMAT_VERSION:
        return None
    names = _member(arrays, "parameter_names", "U", 1)
    rows = _member(arrays, "rows_seen", "iu", 1)
    weights = _member(arrays, "weights_seen", "f", 1, np.empty(0))
    coefficients = _member(arrays, "coefficients", "f", 2)
    errors = _member(arrays, "standard_errors", "f", 2)
    if names is None or rows is None or weights is None or coefficients is None or errors is None:
        return None
    batches, parameters = coefficients.shape
    if batches == 0 or errors.shape != coefficients.shape or names.shape[0] != parameters:
        return None
    if rows.shape[0] != batches or weights.shape[0] not in (0, batches):
        return None
    return CoefficientTrace(
        parameter_names=[str(name) for name in names],
        rows_seen=[int(r) for r in rows],
        weights_seen=[float(w) for w in weights],
        coefficients=list(coefficients.astype(np.float64)),
        standard_errors=list(errors.astype(np.float64)),
    )


def _member(
    arrays: dict[str, npt.NDArray[Any]],
    name: str,
    kinds: str,
    ndim: int,
    default: npt.NDArray[Any] | None = None,
) -> npt.NDArray[Any] | None:
    """The array `name` if it has `ndim` dimensions and an element kind among `kinds`; `default`
    when it is absent; None when it is malformed."""
    array = arrays.get(name)
    if array is None:
        return default
    return array if array.ndim == ndim and array.dtype.kind in kinds else None


def _parameter_vector(estimator: Any) -> npt.NDArray[np.float64]:
    coefficients = np.asarray(estimator.coef_, dtype=np.float64).reshape(-1)
    if estimator.fit_intercept:
        coefficients = np.append(coefficients, float(estimator.intercept_))
    return coefficients
