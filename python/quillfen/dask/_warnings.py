"""Convergence warnings on the client: warnings raised in worker processes never reach it."""

from __future__ import annotations

import warnings
from collections.abc import Iterable, Mapping
from typing import Any

from sklearn.exceptions import ConvergenceWarning  # type: ignore[import-untyped]


def warn_unconverged_batches(history: Iterable[Mapping[str, Any]]) -> None:
    """One ConvergenceWarning per batch record whose solve did not converge."""
    for number, record in enumerate(history, start=1):
        if not record["converged"]:
            warnings.warn(
                f"batch {number} ({record['rows']} rows) did not converge: "
                f"{record['iterations']} iterations, objective {record['objective']:.6g}; "
                "its fit is kept. Consider raising max_iter.",
                ConvergenceWarning,
                stacklevel=3,
            )


def warn_unrefined(rounds: int, step: float, tol: float) -> None:
    """A ConvergenceWarning for a refinement whose last step was still above `tol`."""
    warnings.warn(
        f"the parallel refinement stopped after {rounds} rounds with a relative step of "
        f"{step:.3g}, above tol={tol:.3g}; raise refine for the full-data minimiser",
        ConvergenceWarning,
        stacklevel=4,
    )
