"""The ridge term of a Newton solve, relative to the system it stabilises.

A fixed term added to the diagonal decides the answer for columns whose own diagonal entries are
of its size or smaller (a feature on the 1e-8 scale has entries near 1e-16): the solver's steps in
that direction shrink until it counts as converged far from the minimiser. Scaled by the smallest
positive diagonal entry, the term stays far below every column's curvature and only steadies a
system that is singular or nearly so.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

# In float32 a term below a few units of rounding of the diagonal is lost: a positive ridge is at
# least this fraction of it there (about 8 eps), or singular float32 systems go unsteadied.
FLOAT32_RIDGE_FLOOR = 1e-6


def ridge_term(ridge: float, diagonal: npt.NDArray[np.floating], dtype: Any = np.float64) -> float:
    """`ridge` times the smallest positive entry of `diagonal` (the system's diagonal, or an
    estimate of it), for a system in `dtype`; 0.0 when `ridge` is 0 or no entry is positive."""
    if ridge == 0.0:
        return 0.0
    relative = max(float(ridge), FLOAT32_RIDGE_FLOOR) if np.dtype(dtype) == np.float32 else ridge
    values = np.asarray(diagonal, dtype=np.float64)
    positive = values[values > 0.0]
    return float(relative) * float(positive.min()) if positive.size else 0.0
