"""The argument parser of the command line's four commands.

Building it imports argparse and nothing heavy: `quillfen --help` and a usage error answer at
once, and each command's own modules load only when it runs.
"""

import argparse

from quillfen.cli._argument_types import positive_int, probability
from quillfen.cli._estimator_options import add_estimator_options
from quillfen.cli._reference_values import EXAMPLE

DEFAULT_BATCH_ROWS = 100_000
COMMANDS = ("fit", "predict", "summary", "plot")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the four commands: fit, predict, summary and plot.

    Returns
    -------
    argparse.ArgumentParser
        A parser whose namespaces carry the chosen command's name (one of COMMANDS) in
        ``command``.
    """
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
    add_estimator_options(fit)

    predict = commands.add_parser(
        "predict",
        help="predict over data files",
        description="Stream DATA through the model's predict and write a Parquet or CSV file "
        "with a 'prediction' column.",
    )
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
    summary.add_argument("model", metavar="MODEL.npz")
    summary.add_argument(
        "--alpha",
        type=probability,
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
        type=positive_int,
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
