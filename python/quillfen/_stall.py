"""Telling a solve that stalled at the minimum from one that stopped short of it.

The Newton solver stops, unconverged, when no step length lowers the objective. Near the minimum
that happens when the decrease left is below the rounding of the objective's sum over the batch,
although the coefficients are already as good as working precision allows. Two tests tell the
cases apart: the gradient vanishes to half the working precision relative to the size of its
terms, or one Newton step from the returned coefficients already meets the solver's tolerance.
(With residuals right at the Huber threshold the smoothed curvature can overstate that step, so
the gradient test comes first.)
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from quillfen._huber import batch_sums


def newton_step_is_negligible(
    design: npt.NDArray[np.floating],
    y: npt.NDArray[np.floating],
    sample_weight: npt.NDArray[np.floating] | None,
    coefficients: npt.NDArray[np.floating],
    previous_coefficients: npt.NDArray[np.floating] | None,
    previous_information: npt.NDArray[np.floating] | None,
    information: npt.NDArray[np.floating],
    threshold: float,
    tol: float,
) -> bool:
    """Whether `coefficients` minimise the update's objective as far as working precision allows:
    every gradient entry is within sqrt(eps) of the size of its terms, or the Newton step passes
    the solver's own test, |step| <= tol * (|beta| + 1).

    The objective is the batch's Huber loss at `threshold` plus the quadratic summary of earlier
    batches (`previous_information` around `previous_coefficients`; None on the first batch);
    `information` is the summary after the update and stands in for its curvature.
    """
    sums = batch_sums(
        design, y, sample_weight, coefficients, threshold, gradient=True, absolute_gradient=True
    )
    assert sums.gradient is not None and sums.absolute_gradient is not None
    beta = np.asarray(coefficients, dtype=np.float64)
    gradient = -sums.gradient
    magnitude = sums.absolute_gradient
    if previous_information is not None and previous_coefficients is not None:
        shift = beta - np.asarray(previous_coefficients, dtype=np.float64)
        summary = np.asarray(previous_information, dtype=np.float64)
        gradient += summary @ shift
        magnitude += np.abs(summary) @ np.abs(shift)
    precision = np.sqrt(np.finfo(np.asarray(coefficients).dtype).eps)
    if np.all(np.abs(gradient) <= precision * magnitude):
        return True
    try:
        step = np.linalg.solve(np.asarray(information, dtype=np.float64), gradient)
    except np.linalg.LinAlgError:
        return False
    return bool(np.linalg.norm(step) <= tol * (np.linalg.norm(beta) + 1.0))
