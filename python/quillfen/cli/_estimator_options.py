"""The options of `quillfen fit` that set StreamingHuberRegressor's parameters.

An option that is not given passes nothing, so that the estimator's own default applies.
"""

import argparse
from typing import Any

from quillfen.cli._argument_types import (
    non_negative_float,
    positive_float,
    positive_int,
)

# Command-line option -> estimator parameter, passed only when given so that the estimator's
# own defaults apply otherwise.
ESTIMATOR_OPTIONS = (
    "tau",
    "scale",
    "penalty",
    "lambda_scale",
    "bandwidth_scale",
    "max_iter",
    "tol",
    "ridge",
    "fit_intercept",
    "n_threads",
    "compute_covariance",
)


def add_estimator_options(parser: argparse.ArgumentParser) -> None:
    """Add the estimator-parameter options to `parser`, in a group of their own.

    Each option's destination is the name of the parameter it sets (see ESTIMATOR_OPTIONS),
    and its default is None: not given.
    """
    estimator = parser.add_argument_group("estimator parameters (default: the estimator's)")
    estimator.add_argument("--penalty", choices=("none", "l1"))
    estimator.add_argument(
        "--tau", type=positive_float, help="Huber threshold, in units of --scale"
    )
    estimator.add_argument(
        "--scale",
        type=_scale,
        metavar="auto|NUMBER",
        help="residual scale: 'auto' (robust scale of the first batch) or a number (1 = raw units)",
    )
    estimator.add_argument("--lambda-scale", type=positive_float, help="l1 penalty level factor")
    estimator.add_argument(
        "--bandwidth-scale", type=positive_float, help="l1 smoothing bandwidth factor"
    )
    estimator.add_argument("--max-iter", type=positive_int, help="solver iterations per batch")
    estimator.add_argument("--tol", type=positive_float, help="solver tolerance")
    estimator.add_argument(
        "--ridge", type=non_negative_float, help="ridge term of the Newton solve"
    )
    estimator.add_argument(
        "--no-intercept",
        dest="fit_intercept",
        action="store_const",
        const=False,
        help="fit no intercept",
    )
    estimator.add_argument("--threads", dest="n_threads", type=positive_int, help="worker threads")
    estimator.add_argument(
        "--no-covariance",
        dest="compute_covariance",
        action="store_const",
        const=False,
        help="skip standard errors (faster)",
    )


def estimator_parameters(args: argparse.Namespace) -> dict[str, Any]:
    """The estimator parameters `args` sets: those whose option was given on the command line."""
    given = {name: getattr(args, name) for name in ESTIMATOR_OPTIONS}
    return {name: value for name, value in given.items() if value is not None}


def _scale(text: str) -> str | float:
    return "auto" if text == "auto" else positive_float(text)
