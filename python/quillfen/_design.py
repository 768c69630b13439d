"""The engine's design matrix, filled from a batch with one copy into a buffer that is reused."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen._native_terms import WorkerPool, fill_design

# Element types the native fill reads directly.
NATIVE_TYPES = (np.dtype(np.float32), np.dtype(np.float64))


def engine_array(values: npt.ArrayLike, dtype: str | np.dtype[Any]) -> npt.NDArray[Any]:
    """`values` as an aligned, C-ordered array of `dtype`, as the engine reads it; copies only when
    needed. Arrays that arrive through out-of-band pickle buffers (as Dask sends them) can be
    misaligned, which ``np.ascontiguousarray`` does not mend and the engine refuses.
    """
    if (
        isinstance(values, np.ndarray)
        and values.dtype == dtype
        and values.flags.c_contiguous
        and values.flags.aligned
    ):
        return values  # the common case, without np.require's own checks
    return np.require(values, dtype=dtype, requirements=["C", "A"])


class DesignBuffer:
    """A C-ordered design matrix in one element type: the features, then a column of ones when
    the model has an intercept (the engine's layout). The buffer is kept while batches repeat its
    shape, so a stream of equal batches allocates nothing after the first.
    """

    def __init__(self, dtype: str, fit_intercept: bool) -> None:
        self.dtype = np.dtype(dtype)
        self.fit_intercept = fit_intercept
        self._buffer: npt.NDArray[Any] | None = None
        # The largest magnitude in the design of the last fill, when the fill measured it.
        self.largest_magnitude: float | None = None

    def fill(self, X: npt.NDArray[Any], pool: WorkerPool | None = None) -> npt.NDArray[Any]:
        """The design of the 2-D array X, converted to the buffer's element type in one copy.

        The result is the buffer itself (or X, when X already has the layout): valid until the
        next call. float32 and float64 input of any memory order is copied natively (in `pool`
        when given), row by row; other types through NumPy.
        """
        n_rows, n_features = X.shape
        self.largest_magnitude = None
        same_type = X.dtype == self.dtype and X.flags.c_contiguous and X.flags.aligned
        if not self.fit_intercept and same_type:
            return X
        shape = (n_rows, n_features + int(self.fit_intercept))
        buffer = self._buffer
        if buffer is None or buffer.shape != shape:
            buffer = np.empty(shape, dtype=self.dtype)
            self._buffer = buffer
        if X.dtype in NATIVE_TYPES and X.flags.aligned and X.dtype.isnative:
            self.largest_magnitude = fill_design(X, buffer, self.fit_intercept, pool)
        else:
            buffer[:, :n_features] = X
            if self.fit_intercept:
                buffer[:, -1] = 1.0
        return buffer


# Headroom below the largest number of the element type for the sums that the pilot fit, the
# solvers and the standard errors form from squares of the batch's values.
MAGNITUDE_HEADROOM = 2.0**-16


def check_magnitudes(
    design: npt.NDArray[Any],
    y: npt.NDArray[Any],
    batch_weight: float,
    design_magnitude: float | None = None,
) -> None:
    """Raises ValueError when the batch's squared values, summed over its weight, overflow its
    element type (float32 or float64).

    On a first batch the least-squares pilot fit cannot be computed then (its sums overflow, and
    LAPACK may fail or never return); on any batch the solvers' steps and the standard errors'
    terms overflow or lose all precision. Reads the batch without a copy; NaN and infinity pass,
    for the engine's finiteness check to name. `design_magnitude`, the design's largest magnitude
    when the caller knows it (`DesignBuffer.largest_magnitude`), saves a pass over the design.
    """
    if design_magnitude is None:
        design_magnitude = max(float(design.max(initial=0.0)), -float(design.min(initial=0.0)))
    extremes = (design_magnitude, y.max(), -y.min())
    largest = float(max(extremes))
    limit = float(np.finfo(design.dtype).max) * MAGNITUDE_HEADROOM
    with np.errstate(over="ignore"):
        bound = largest * largest * max(batch_weight, 1.0) * (design.shape[1] + 1)
    if np.isfinite(largest) and not bound < limit:
        raise ValueError(
            f"Input X or y holds values too large to fit: the largest magnitude, {largest:.3g},"
            f" squared and summed over the batch's weight ({batch_weight:.3g}) overflows"
            f" {design.dtype}."
            " Rescale the columns (or the weights) before fitting."
        )
