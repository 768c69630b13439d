"""The engine's design matrix, filled from a batch with one copy into a buffer that is reused."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


class DesignBuffer:
    """A C-ordered design matrix in one element type: the features, then a column of ones when
    the model has an intercept (the engine's layout). The buffer is kept while batches repeat its
    shape, so a stream of equal batches allocates nothing after the first.
    """

    def __init__(self, dtype: str, fit_intercept: bool) -> None:
        self.dtype = np.dtype(dtype)
        self.fit_intercept = fit_intercept
        self._buffer: npt.NDArray[Any] | None = None

    def fill(self, X: npt.NDArray[Any]) -> npt.NDArray[Any]:
        """The design of the 2-D array X, converted to the buffer's element type in one copy.

        The result is the buffer itself (or X, when X already has the layout): valid until the
        next call.
        """
        n_rows, n_features = X.shape
        same_type = X.dtype == self.dtype and X.flags.c_contiguous
        if not self.fit_intercept and same_type:
            return X
        shape = (n_rows, n_features + int(self.fit_intercept))
        buffer = self._buffer
        if buffer is None or buffer.shape != shape:
            buffer = np.empty(shape, dtype=self.dtype)
            if self.fit_intercept:
                buffer[:, -1] = 1.0
            self._buffer = buffer
        if same_type and n_features > 0:
            # Whole rows as opaque items: one block copy per row instead of an element loop.
            row = np.dtype((np.void, n_features * self.dtype.itemsize))
            rows = np.ndarray((n_rows,), row, buffer, 0, (buffer.strides[0],))
            np.copyto(rows, X.view(row).reshape(n_rows))
        else:
            buffer[:, :n_features] = X
        return buffer
