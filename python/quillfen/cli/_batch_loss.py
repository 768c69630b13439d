"""Each batch's mean Huber loss at the fit after it, recovered from the engine's objective.

After batch b the engine reports the objective it minimised over that batch,

    F_b = [L_b + 1/2 (beta - beta_prev)' I_prev (beta - beta_prev)] / W_b  (+ lambda_b sum |beta_j|)

with L_b the sum of the batch's weighted Huber losses, W_b all the weight seen up to and
including batch b, and the penalty (with a small linear term standing in for the earlier ones) on
the l1 path only. The division by W_b makes F_b fall like 1/b whatever the fit does, so F_b says
nothing about convergence. Without the penalty, multiplied back by W_b and divided by the batch's
own weight w_b, it is the batch's mean loss L_b / w_b at the coefficients fitted after it, plus
the quadratic pull toward the earlier fit (of the order of the number of coefficients over w_b).
That stays level while the batches are alike and jumps at one that is not.
"""

from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen._history import BatchHistory, Records, history_column
from quillfen.cli._coefficient_trace import CoefficientTrace


def batch_mean_losses(
    history: BatchHistory | Records, trace: CoefficientTrace | None, model: Any
) -> npt.NDArray[np.float64] | None:
    """The mean Huber loss of each batch at the coefficients fitted after it.

    Parameters
    ----------
    history : BatchHistory or list of dict
        The model's per-batch records (``objective``, ``rows``, ``lambda_value``).
    trace : CoefficientTrace or None
        The fit's trace, which holds the weight seen after each batch and the coefficients the
        l1 penalty is taken from; None when the model has none.
    model : StreamingHuberRegressor
        The fitted model the history belongs to.

    Returns
    -------
    ndarray of shape (len(history),) or None
        The losses, in units of the target squared; None without a trace that records the
        batches' weights (none, or one from an older ``quillfen fit``).
    """
    if trace is None or len(trace.weights_seen) != len(history):
        return None  # no trace, or one written before the weights were recorded
    seen = np.array(trace.weights_seen, dtype=np.float64)
    objective = history_column(history, "objective")
    lambdas = history_column(history, "lambda_value")
    if np.any(lambdas != 0.0):
        penalised = np.array(trace.coefficients)
        if model.fit_intercept:
            penalised = penalised[:, :-1]
        objective = objective - lambdas * np.abs(penalised).sum(axis=1)
    losses: npt.NDArray[np.float64] = objective * seen / np.diff(seen, prepend=0.0)
    return losses
