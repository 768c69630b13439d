"""The four commands: fit, predict, summary and plot. Each raises CommandError on bad input."""

import argparse
import sys
import zipfile
import zlib
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np

from quillfen.cli._atomic_output import atomic_outputs
from quillfen.cli._batch_stream import (
    BatchStream,
    ColumnRoles,
    choose_columns,
    element_type,
)
from quillfen.cli._coefficient_trace import CoefficientTrace, trace_path_for
from quillfen.cli._command_error import CommandError
from quillfen.cli._data_files import DataFiles, open_data_files
from quillfen.cli._estimator_options import estimator_parameters
from quillfen.cli._extras import require
from quillfen.cli._interrupts import Interrupted, stop_on_ctrl_c
from quillfen.cli._prefetch import prefetched
from quillfen.cli._progress import Progress, progress
from quillfen.cli._reference_values import read_reference_values
from quillfen.cli._stream_fit import StreamFit

PREDICTION_COLUMN = "prediction"
# Batches read ahead while one is being fitted.
PREFETCH_DEPTH = 1
# What reading a damaged or hostile file can raise, besides the ValueError (UnicodeDecodeError
# among them) of a decoder: the zip layer's BadZipFile, zlib.error and EOFError, RecursionError
# from deeply nested JSON, MemoryError from a forged array shape. Anything else is a bug.
READ_ERRORS = (
    OSError,
    EOFError,
    ValueError,
    KeyError,
    RecursionError,
    MemoryError,
    zipfile.BadZipFile,
    zlib.error,
)


def _batch_stream(
    files: DataFiles, roles: ColumnRoles, args: argparse.Namespace, command: str
) -> BatchStream:
    """The batches of `files` as the command line asked for them, with buffers for read-ahead."""
    return BatchStream(
        files,
        roles,
        batch_rows=args.batch_rows,
        dtype=element_type(files, roles),
        skip_bad_rows=args.skip_bad_rows,
        command=command,
        buffer_sets=PREFETCH_DEPTH + 2,
    )


def run_fit(args: argparse.Namespace) -> None:
    """Fold the data's batches into a new stream and save the model (and its trace) atomically."""
    files = open_data_files(args.data, "fit")
    roles = choose_columns(
        files,
        features=args.features,
        target=args.target,
        sample_weight=args.sample_weight,
    )
    stream = _batch_stream(files, roles, args, "fit")
    model_path = Path(args.out)
    if model_path.suffix != ".npz":
        raise CommandError(f"{model_path}: the model file name must end in .npz")
    fit = StreamFit(estimator_parameters(args))
    trace = CoefficientTrace()
    # The model is renamed into place first: a kill before the trace's rename leaves the new
    # model beside the old trace, which the plot recognises as not its own.
    with (
        atomic_outputs(model_path, trace_path_for(model_path)) as (
            model_file,
            trace_file,
        ),
        progress(files.total_rows, quiet=args.quiet, command="fit") as bar,
        stop_on_ctrl_c() as stop,
    ):
        stop.check("no model written")  # pressed while the modules loaded
        notes = _WarningNotes(bar)
        for batch in prefetched(stream, depth=PREFETCH_DEPTH):
            if len(batch.features):
                state, note = fit.fold(batch)
                if note is not None:
                    notes.add(note)
                trace.record(state)
            bar.update(batch.rows_read)
            if stop.requested:
                raise Interrupted(
                    f"interrupted after {len(trace.coefficients)} batches; no model written"
                )
        notes.close()
        if not trace.coefficients:
            raise CommandError("every row was bad and dropped; nothing to fit")
        state = fit.name_features(list(roles.features))
        trace.parameter_names = state.parameter_names()
        trace.save(trace_file)
        fit.save(model_file)
    if not args.quiet:
        dropped = f", {stream.rows_dropped} bad rows skipped" if stream.rows_dropped else ""
        print(
            f"quillfen: fitted {state.n_samples_seen} rows in {len(trace.coefficients)} "
            f"batches{dropped}; model written to {model_path}",
            file=sys.stderr,
        )


def run_predict(args: argparse.Namespace) -> None:
    """Stream the data through predict and write the predictions (with kept columns) atomically."""
    model = _load_model(args.model)
    names = _model_feature_names(model, args.features)
    if hasattr(model, "feature_names_in_"):
        # Columns are selected by these names, so the batches are plain arrays in this order;
        # as scikit-learn does for unnamed input, the model then checks only their count.
        delattr(model, "feature_names_in_")
    files = open_data_files(args.data, "predict")
    keep = list(args.keep or ())
    if PREDICTION_COLUMN in keep:
        raise CommandError(f"--keep cannot name '{PREDICTION_COLUMN}': the output uses that name")
    roles = choose_columns(files, features=names, keep=keep)
    stream = _batch_stream(files, roles, args, "predict")
    out = Path(args.out)
    output_format = _output_format(out)
    pa = require("pyarrow", "predict")
    with (
        atomic_outputs(out) as (out_file,),
        progress(files.total_rows, quiet=args.quiet, command="predict") as bar,
        stop_on_ctrl_c() as stop,
        _table_writer(out_file, output_format) as writer,
    ):
        stop.check("no predictions written")
        for batch in prefetched(stream, depth=PREFETCH_DEPTH):
            try:
                predictions = model.predict(batch.features)
            except ValueError as error:
                problem = f"{batch.rows_described()}: cannot predict: {error}"
                raise CommandError(batch.first_bad_row() or problem) from None
            columns = {} if batch.kept is None else {c: batch.kept[c] for c in roles.keep}
            columns[PREDICTION_COLUMN] = pa.array(np.asarray(predictions))
            writer.write(pa.table(columns))
            bar.update(batch.rows_read)
            if stop.requested:
                raise Interrupted("interrupted; no predictions written")
        if not writer.opened:
            raise CommandError("every row was bad and dropped; nothing to predict")
    if not args.quiet:
        dropped = f", {stream.rows_dropped} bad rows skipped" if stream.rows_dropped else ""
        print(
            f"quillfen: {writer.rows} predictions written to {out}{dropped}",
            file=sys.stderr,
        )


def run_summary(args: argparse.Namespace) -> None:
    """Print the model's summary table."""
    model = _load_model(args.model)
    try:
        text = str(model.summary(alpha=args.alpha))
    except ValueError as error:
        # No inference for this model (l1 penalty, or fitted without covariance): the estimates.
        text = _estimates_table(model, reason=str(error))
    print(text)


def run_plot(args: argparse.Namespace) -> None:
    """Draw the fit's course from the model's history (and its trace, when present)."""
    from quillfen.cli._batch_loss import batch_mean_losses
    from quillfen.cli._history_plot import draw_history

    require("matplotlib", "plot")
    reference: dict[str, float] = {}
    if args.reference is not None:
        with _reading(args.reference, "not a readable JSON file"):
            reference = read_reference_values(Path(args.reference))
    model_path = Path(args.model)
    model = _load_model(args.model)
    history = model.history_
    trace = CoefficientTrace.load_matching(trace_path_for(model_path), model)
    if trace is None:
        print(
            f"quillfen: no per-batch coefficients for {model_path} (its "
            f"{trace_path_for(model_path).name} from 'quillfen fit' is missing, damaged or from "
            "another fit); plotting iterations and batch losses only",
            file=sys.stderr,
        )
    elif unknown := [name for name in reference if name not in trace.parameter_names]:
        # Not an error: one file of true values may serve models of fewer features.
        print(
            f"quillfen: note: {args.reference} names no coefficient of this model: "
            f"{', '.join(unknown)}",
            file=sys.stderr,
        )
    out = Path(args.out)
    with stop_on_ctrl_c() as stop, atomic_outputs(out) as (out_file,):
        try:
            draw_history(
                history,
                trace,
                batch_mean_losses(history, trace, model),
                reference,
                out_file,
                title=f"{model_path.name}: {len(history)} batches",
            )
        except ValueError as error:  # matplotlib's answer to an unknown image format
            raise CommandError(f"{out}: {error}") from None
        stop.check("no figure written")
    print(out)


def _estimates_table(model: Any, reason: str) -> str:
    """The coefficients with the fit's counts, for a model without standard errors."""
    names = [str(n) for n in getattr(model, "feature_names_in_", [])] or [
        f"x{j}" for j in range(model.n_features_in_)
    ]
    values = [float(v) for v in np.asarray(model.coef_, dtype=np.float64).reshape(-1)]
    if model.fit_intercept:
        names.append("intercept")
        values.append(float(model.intercept_))
    last = model.history_[-1]
    lines = [
        (
            f"Rows: {model.n_samples_seen_}    Batches: {model.n_batches_}    "
            f"Penalty: {model.penalty}    Last batch: "
            f"{'converged' if last['converged'] else 'NOT converged'}"
        ),
        f"{'':<20}{'coef':>14}",
        *(f"{name:<20}{value:>14.6g}" for name, value in zip(names, values, strict=False)),
        f"No standard errors: {reason}",
    ]
    return "\n".join(lines)


class _WarningNotes:
    """Warnings as one-line messages: the first few in full, then only a count at the end."""

    SHOWN = 5

    def __init__(self, bar: Progress) -> None:
        self._bar = bar
        self.count = 0

    def add(self, message: str) -> None:
        self.count += 1
        if self.count <= self.SHOWN:
            self._bar.write(f"quillfen: warning: {message}")

    def close(self) -> None:
        if self.count > self.SHOWN:
            self._bar.write(
                f"quillfen: warning: {self.count} warnings in all, "
                f"{self.count - self.SHOWN} not shown ('quillfen plot' marks unconverged batches)"
            )


@contextmanager
def _reading(path: str | Path, problem: str) -> Iterator[None]:
    """Within the block, the errors of reading a damaged file become a CommandError naming
    `path` and `problem`, with the error's first line."""
    try:
        yield
    except READ_ERRORS as error:
        raise CommandError(f"{path}: {problem} ({_first_line(error)})") from None


def _load_model(path_text: str) -> Any:
    """The model saved at `path_text`; CommandError when the file is missing or not one."""
    path = Path(path_text)
    if not path.is_file():
        raise CommandError(f"{path}: no such file")
    from quillfen import load

    with stop_on_ctrl_c() as stop, _reading(path, "not a quillfen model file"):
        model = load(path)  # with its first use, scikit-learn loads: a second or so
    stop.check()
    if not model.history_:  # save refuses an unfitted estimator
        raise CommandError(f"{path}: not a quillfen model file (it records no batch)")
    return model


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def _model_feature_names(model: Any, given: list[str] | None) -> list[str]:
    names = getattr(model, "feature_names_in_", None)
    if given is not None:
        if len(given) != model.n_features_in_:
            raise CommandError(
                f"--features names {len(given)} columns; the model has {model.n_features_in_} features"
            )
        return given
    if names is None:
        raise CommandError(
            "the model does not record its feature names; name the columns with --features"
        )
    return [str(name) for name in names]


def _output_format(path: Path) -> str:
    suffix = path.suffix.lower()
    if suffix in (".parquet", ".pq"):
        return "parquet"
    if suffix == ".csv":
        return "csv"
    raise CommandError(f"{path}: the output must end in .parquet, .pq or .csv")


class _TableWriter:
    """Writes Arrow tables one after another to a Parquet or CSV file, opened at the first one."""

    def __init__(self, path: Path, output_format: str) -> None:
        self._path = path
        self._format = output_format
        self._writer: Any = None
        self.rows = 0

    @property
    def opened(self) -> bool:
        """Whether a first table has been written (and the file created)."""
        return self._writer is not None

    def write(self, table: Any) -> None:
        if self._writer is None:
            if self._format == "parquet":
                self._writer = require("pyarrow.parquet", "predict").ParquetWriter(
                    str(self._path), table.schema
                )
            else:
                self._writer = require("pyarrow.csv", "predict").CSVWriter(
                    str(self._path), table.schema
                )
        self._writer.write_table(table)
        self.rows += table.num_rows

    def close(self) -> None:
        """Close the file, if one was opened."""
        if self._writer is not None:
            self._writer.close()


@contextmanager
def _table_writer(path: Path, output_format: str) -> Iterator[_TableWriter]:
    writer = _TableWriter(path, output_format)
    try:
        yield writer
    finally:
        writer.close()


# The function of each command the parser offers, by name.
COMMAND_FUNCTIONS: dict[str, Callable[[argparse.Namespace], None]] = {
    "fit": run_fit,
    "predict": run_predict,
    "summary": run_summary,
    "plot": run_plot,
}
