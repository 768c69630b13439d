"""The `quillfen` command line: fit, predict, summary and plot over CSV and Parquet files.

Bad input ends with one line on standard error and exit status 2, never a traceback; Ctrl-C
ends a command with one line and exit status 130, between batches once they flow and at once
while the command starts. No output file is left half-written.
"""

import argparse
import math
import sys
from collections.abc import Callable, Sequence

from quillfen._command_error import CommandError
from quillfen._interrupts import Interrupted, stop_on_ctrl_c
from quillfen._reference_values import EXAMPLE

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
DEFAULT_BATCH_ROWS = 100_000
COMMANDS = ("fit", "predict", "summary", "plot")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the `quillfen` command line.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name; ``sys.argv[1:]`` when None.

    Returns
    -------
    int
        The exit status: 0 on success, 2 for bad input (after one line on standard error),
        130 when Ctrl-C stopped the command, even while its modules were still being imported.
        Usage errors exit through argparse with status 2.
    """
    arguments = sys.argv[1:] if argv is None else list(argv)
    name = f"quillfen {arguments[0]}" if arguments and arguments[0] in COMMANDS else "quillfen"
    try:
        # The commands' modules (NumPy, Arrow, scikit-learn) load after this, for a second or so:
        # a first Ctrl-C stops the command at its next checkpoint, a second one at once.
        with stop_on_ctrl_c():
            return _run(build_parser().parse_args(arguments), name)
    except KeyboardInterrupt:
        return _interrupted(name)
    except RuntimeError as error:
        # Python < 3.12 wraps what a descriptor's __set_name__ raises, Ctrl-C while a library
        # makes a class at import included, in a RuntimeError.
        if not _caused_by_ctrl_c(error):
            raise
        return _interrupted(name)


def _interrupted(name: str) -> int:
    print(f"{name}: interrupted", file=sys.stderr)
    # CPython marks a KeyboardInterrupt that left code run by exec() of a string (libraries do
    # that while importing) and then ends `python -m` by SIGINT whatever the exit status; the
    # next exec() of a string clears the mark.
    exec("")
    return EXIT_INTERRUPTED


def _caused_by_ctrl_c(error: BaseException | None) -> bool:
    while error is not None:
        if isinstance(error, KeyboardInterrupt):
            return True
        error = error.__cause__
    return False


def _run(args: argparse.Namespace, name: str) -> int:
    """Run the command `args` chose; its expected failures become one line on standard error."""
    command: Callable[[argparse.Namespace], None] = args.run
    try:
        command(args)
    except CommandError as error:
        print(f"{name}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except Interrupted as stop:
        print(f"{name}: {stop}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (e.g. `quillfen summary m.npz | head`).
        sys.stderr.close()
        return EXIT_OK
    except OSError as error:  # e.g. a full disk or a file that vanished while being read
        print(f"{name}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    return EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the four commands: fit, predict, summary and plot.

    Returns
    -------
    argparse.ArgumentParser
        A parser whose namespaces carry the chosen command in ``command`` and its function in
        ``run``.
    """
    from quillfen import _commands

    parser = argparse.ArgumentParser(
        prog="quillfen",
        description="Fit a robust (Huber) linear regression over CSV or Parquet files larger than "
        "memory, batch by batch, and use the model.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fit = commands.add_parser(
        "fit",
        help="fit a model over data files",
        description="Stream DATA in batches through StreamingHuberRegressor.partial_fit and "
        "save the model. DATA is CSV or Parquet: files, globs or directories.",
    )
    fit.set_defaults(run=_commands.run_fit)
    fit.add_argument("data", nargs="+", metavar="DATA", help="data files, globs or directories")
    fit.add_argument("--target", required=True, metavar="COL", help="column to predict")
    fit.add_argument(
        "--features",
        nargs="+",
        metavar="COL",
        help="feature columns (default: all other columns)",
    )
    fit.add_argument("--sample-weight", metavar="COL", help="column of non-negative row weights")
    fit.add_argument("--out", required=True, metavar="MODEL.npz", help="model file to write")
    _add_stream_options(fit)
    estimator = fit.add_argument_group("estimator parameters (default: the estimator's)")
    estimator.add_argument("--penalty", choices=("none", "l1"))
    estimator.add_argument(
        "--tau", type=_positive_float, help="Huber threshold, in units of --scale"
    )
    estimator.add_argument(
        "--scale",
        type=_scale,
        metavar="auto|NUMBER",
        help="residual scale: 'auto' (robust scale of the first batch) or a number (1 = raw units)",
    )
    estimator.add_argument("--lambda-scale", type=_positive_float, help="l1 penalty level factor")
    estimator.add_argument(
        "--bandwidth-scale", type=_positive_float, help="l1 smoothing bandwidth factor"
    )
    estimator.add_argument("--max-iter", type=_positive_int, help="solver iterations per batch")
    estimator.add_argument("--tol", type=_positive_float, help="solver tolerance")
    estimator.add_argument(
        "--ridge", type=_non_negative_float, help="ridge term of the Newton solve"
    )
    estimator.add_argument(
        "--no-intercept",
        dest="fit_intercept",
        action="store_const",
        const=False,
        help="fit no intercept",
    )
    estimator.add_argument("--threads", dest="n_threads", type=_positive_int, help="worker threads")
    estimator.add_argument(
        "--no-covariance",
        dest="compute_covariance",
        action="store_const",
        const=False,
        help="skip standard errors (faster)",
    )

    predict = commands.add_parser(
        "predict",
        help="predict over data files",
        description="Stream DATA through the model's predict and write a Parquet or CSV file "
        "with a 'prediction' column.",
    )
    predict.set_defaults(run=_commands.run_predict)
    predict.add_argument("model", metavar="MODEL.npz")
    predict.add_argument("data", nargs="+", metavar="DATA", help="data files, globs or directories")
    predict.add_argument("--out", required=True, metavar="PRED.parquet|PRED.csv")
    predict.add_argument("--keep", nargs="+", metavar="COL", help="columns to copy to the output")
    predict.add_argument(
        "--features",
        nargs="+",
        metavar="COL",
        help="feature columns, for a model that does not record their names",
    )
    _add_stream_options(predict)

    summary = commands.add_parser("summary", help="print a model's summary table")
    summary.set_defaults(run=_commands.run_summary)
    summary.add_argument("model", metavar="MODEL.npz")
    summary.add_argument(
        "--alpha",
        type=_probability,
        default=0.05,
        help="intervals of coverage 1 - ALPHA (default 0.05)",
    )

    plot = commands.add_parser(
        "plot",
        help="plot a fit's course",
        # A description is %-formatted only when it holds "%(prog)", so "%" is written plainly.
        description="Draw the coefficients batch by batch with their 95 % intervals, the "
        "solver's iterations per batch and each batch's mean Huber loss; print the figure's path.",
    )
    plot.set_defaults(run=_commands.run_plot)
    plot.add_argument("model", metavar="MODEL.npz")
    plot.add_argument("--out", required=True, metavar="FIG.png", help="image file (png, pdf, svg)")
    plot.add_argument(
        "--reference",
        metavar="TRUTH.json",
        help="known true values to draw as dashed lines: a JSON object of coefficient names "
        "(as the summary names them, the intercept as 'intercept') and numbers, e.g. "
        f"{EXAMPLE}; coefficients it does not name get no line",
    )
    return parser


def _add_stream_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--batch-rows",
        type=_positive_int,
        default=DEFAULT_BATCH_ROWS,
        metavar="N",
        help=f"rows per batch (default {DEFAULT_BATCH_ROWS})",
    )
    parser.add_argument(
        "--skip-bad-rows",
        action="store_true",
        help="drop rows with missing, NaN or infinite values (or negative weights) instead of stopping",
    )
    parser.add_argument("--quiet", action="store_true", help="no progress bar or report")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _positive_float(text: str) -> float:
    value = _float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text!r}")
    return value


def _non_negative_float(text: str) -> float:
    value = _float(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


def _probability(text: str) -> float:
    value = _float(text)
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must lie strictly between 0 and 1: {text!r}")
    return value


def _scale(text: str) -> str | float:
    return "auto" if text == "auto" else _positive_float(text)
