"""Streaming CSV and Parquet files as fixed-size batches of floating-point arrays.

Memory is bounded by the batch size, not by the files: Arrow's Parquet reader and the CSV reader
of `_csv_reader` deliver record batches, which are gathered into batches of exactly `batch_rows`
rows (the last one may be shorter; batches run across file boundaries, so the batches do not
depend on how the data is split into files) and converted column by column into one reused
buffer, without pandas.
"""

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen.cli._command_error import CommandError
from quillfen.cli._csv_reader import csv_record_batches
from quillfen.cli._data_files import DataFiles
from quillfen.cli._extras import require

FloatArray = npt.NDArray[np.floating[Any]]


@dataclass(frozen=True)
class ColumnRoles:
    """Which columns a command reads, and for what."""

    features: tuple[str, ...]
    target: str | None = None
    sample_weight: str | None = None
    keep: tuple[str, ...] = ()

    @property
    def numeric(self) -> tuple[str, ...]:
        """The columns converted to floating point, in the order features, target, weight."""
        extra = tuple(c for c in (self.target, self.sample_weight) if c is not None)
        return self.features + extra

    @property
    def all(self) -> tuple[str, ...]:
        """Every column read, each once."""
        return tuple(dict.fromkeys(self.numeric + self.keep))


def choose_columns(
    files: DataFiles,
    *,
    features: Sequence[str] | None,
    target: str | None = None,
    sample_weight: str | None = None,
    keep: Sequence[str] = (),
) -> ColumnRoles:
    """Check the named columns exist and are numeric; features default to all other columns.

    Raises CommandError naming the first missing or non-numeric column. CSV values are typed
    while reading, so a non-numeric CSV column is reported when its first bad value is met.
    """
    named = [c for c in (target, sample_weight) if c is not None] + list(keep)
    for column in named + list(features or ()):
        if column not in files.column_names:
            raise CommandError(
                f"column '{column}' not found; the data has columns: {', '.join(files.column_names)}"
            )
    if features is None:
        chosen = tuple(c for c in files.column_names if c not in named)
        if not chosen:
            raise CommandError("no feature columns left; name them with --features")
    else:
        chosen = tuple(dict.fromkeys(features))
        if not chosen:
            raise CommandError("--features needs at least one column")
        for role in (target, sample_weight):
            if role in chosen:
                raise CommandError(f"column '{role}' cannot be a feature as well")
    roles = ColumnRoles(chosen, target, sample_weight, tuple(dict.fromkeys(keep)))
    if files.column_types is not None:
        pa = require("pyarrow", "fit")
        for column in roles.numeric:
            column_type = files.column_types[column]
            if not _is_numeric_type(pa, column_type):
                hint = "" if features is not None else "; choose the features with --features"
                raise CommandError(f"column '{column}' is not numeric ({column_type}){hint}")
    return roles


def element_type(files: DataFiles, roles: ColumnRoles) -> np.dtype[Any]:
    """float32 when every numeric column is stored as float32 (Parquet), else float64.

    float32 data keeps its precision and halves the memory; anything wider or integral is read
    as float64 so that no value loses digits.
    """
    if files.column_types is None:
        return np.dtype(np.float64)
    pa = require("pyarrow", "fit")
    if all(pa.types.is_float32(files.column_types[c]) for c in roles.numeric):
        return np.dtype(np.float32)
    return np.dtype(np.float64)


@dataclass
class NumericBatch:
    """One batch: features (n, p), target and weights (n,), kept columns as an Arrow table.

    The arrays are views of buffers the stream reuses: they are valid until the stream has made
    `buffer_sets` more batches.
    `rows_read` counts the rows before bad ones were dropped.
    """

    features: FloatArray
    target: FloatArray | None
    sample_weight: FloatArray | None
    kept: Any
    rows_read: int
    _stream: "BatchStream"
    _pieces: "list[_Piece]"

    def first_bad_row(self) -> str | None:
        """The file, row and column of the batch's first bad row, or None if all are good.

        Without --skip-bad-rows, batches are not scanned in advance: the estimator rejects
        non-finite values anyway, and this names the culprit after such a rejection.
        """
        good = _good_rows(self.features, self.target, self.sample_weight)
        if good is None:
            return None
        row = int(np.flatnonzero(~good)[0])
        return self._stream.describe_bad_row(self, self._pieces, row)

    def rows_described(self) -> str:
        """Where the batch's rows come from, for a message: "FILE: rows 1-500" (counted from 1
        without the header), or from the first row to the last of a batch across files."""
        first, last = self._pieces[0], self._pieces[-1]
        start, stop = first.first_row + 1, last.first_row + last.records.num_rows
        if first.path == last.path:
            return f"{first.path}: rows {start}-{stop}"
        return f"{first.path}: row {start} to {last.path}: row {stop}"


@dataclass(frozen=True)
class _Piece:
    """A run of rows from one file, with the file row number (from 0) of its first row."""

    records: Any
    path: Path
    first_row: int


class BatchStream:
    """Iterate over `files` in batches of `batch_rows` rows of the columns in `roles`.

    With `skip_bad_rows`, rows with a missing, NaN or infinite value in a numeric column, or a
    negative weight, are dropped and counted in `rows_dropped`; otherwise batches come unchecked
    and `NumericBatch.first_bad_row` names the culprit (file, row counted from 1 without the
    header, column) once the estimator has refused a batch. Read errors, empty files and
    non-numeric CSV values raise CommandError naming the file.
    """

    def __init__(
        self,
        files: DataFiles,
        roles: ColumnRoles,
        *,
        batch_rows: int,
        dtype: np.dtype[Any],
        skip_bad_rows: bool,
        command: str,
        buffer_sets: int = 1,
    ) -> None:
        if batch_rows < 1:
            raise CommandError("--batch-rows must be at least 1")
        self.files = files
        self.roles = roles
        self.batch_rows = batch_rows
        self.dtype = dtype
        self.skip_bad_rows = skip_bad_rows
        self.rows_dropped = 0
        self._pa = require("pyarrow", command)
        self._command = command
        # Batches fill these buffers in turn: with more than one set, a batch stays valid while
        # the next ones are read (see prefetched).
        self._buffers = [self._new_buffers() for _ in range(buffer_sets)]
        self._batches_made = 0

    def _new_buffers(self) -> tuple[FloatArray, FloatArray | None, FloatArray | None]:
        shape = (self.batch_rows, len(self.roles.features))
        # Column-major, so that each column is written contiguously.
        features = np.empty(shape, dtype=self.dtype, order="F")
        target = np.empty(self.batch_rows, self.dtype) if self.roles.target else None
        weight = np.empty(self.batch_rows, self.dtype) if self.roles.sample_weight else None
        return features, target, weight

    def __iter__(self) -> Iterator[NumericBatch]:
        pending: list[_Piece] = []
        pending_rows = 0
        for piece in self._pieces():
            pending.append(piece)
            pending_rows += piece.records.num_rows
            while pending_rows >= self.batch_rows:
                taken, pending = _split_pieces(pending, self.batch_rows)
                pending_rows -= self.batch_rows
                yield self._convert(taken)
        if pending_rows:
            yield self._convert(pending)

    def _pieces(self) -> Iterator[_Piece]:
        for path in self.files.paths:
            rows_in_file = 0
            for records in self._file_records(path):
                if records.num_rows:
                    yield _Piece(records, path, rows_in_file)
                    rows_in_file += records.num_rows
            if rows_in_file == 0:
                raise CommandError(f"{path}: the file has no rows")

    def _file_records(self, path: Path) -> Iterator[Any]:
        pa = self._pa
        try:
            if self.files.data_format == "parquet":
                pq = require("pyarrow.parquet", self._command)
                # No pre-buffering: it reads far ahead, and memory must stay near a few batches.
                reader = pq.ParquetFile(path, pre_buffer=False)
                # One thread: decoding a row group's columns on Arrow's pool as well costs about
                # twice the CPU for the same time, and the fit needs the cores.
                yield from reader.iter_batches(
                    batch_size=min(self.batch_rows, 1 << 16),
                    columns=list(self.roles.all),
                    use_threads=False,
                )
            else:
                yield from self._csv_records(path)
        except pa.ArrowInvalid as error:
            raise CommandError(f"{path}: {_first_line(error)}") from None
        except (pa.ArrowException, OSError) as error:
            raise CommandError(f"{path}: cannot read the file ({_first_line(error)})") from None

    def _csv_records(self, path: Path) -> Iterator[Any]:
        pa = self._pa
        column_types = {c: pa.float64() for c in self.roles.numeric}
        # Identifiers are kept verbatim: text never loses leading zeros or digits.
        column_types.update({c: pa.string() for c in self.roles.keep if c not in column_types})
        return csv_record_batches(
            path,
            column_names=self.files.column_names,
            column_types={c: column_types[c] for c in self.roles.all},
            command=self._command,
        )

    def _convert(self, pieces: list[_Piece]) -> NumericBatch:
        n_rows = sum(p.records.num_rows for p in pieces)
        all_features, all_target, all_weight = self._buffers[
            self._batches_made % len(self._buffers)
        ]
        self._batches_made += 1
        features = all_features[:n_rows]
        target = all_target[:n_rows] if all_target is not None else None
        weight = all_weight[:n_rows] if all_weight is not None else None
        offset = 0
        for piece in pieces:
            records = piece.records
            stop = offset + records.num_rows
            for j, column in enumerate(self.roles.features):
                features[offset:stop, j] = _column_values(records, column)
            if target is not None:
                target[offset:stop] = _column_values(records, self.roles.target)
            if weight is not None:
                weight[offset:stop] = _column_values(records, self.roles.sample_weight)
            offset = stop
        kept = None
        if self.roles.keep:
            pa = self._pa
            kept = pa.Table.from_batches([p.records.select(list(self.roles.keep)) for p in pieces])
        batch = NumericBatch(features, target, weight, kept, n_rows, self, pieces)
        if not self.skip_bad_rows:
            return batch
        good = _good_rows(features, target, weight)
        if good is None:
            return batch
        self.rows_dropped += int(np.count_nonzero(~good))
        return NumericBatch(
            features[good],
            target[good] if target is not None else None,
            weight[good] if weight is not None else None,
            kept.filter(self._pa.array(good)) if kept is not None else None,
            n_rows,
            self,
            pieces,
        )

    def describe_bad_row(self, batch: NumericBatch, pieces: list[_Piece], row: int) -> str:
        """ "FILE: row N: what is wrong" for row `row` of `batch`, made from `pieces`."""
        offset = 0
        for piece in pieces:
            if row < offset + piece.records.num_rows:
                path, file_row = piece.path, piece.first_row + row - offset
                break
            offset += piece.records.num_rows
        values = list(zip(self.roles.features, batch.features[row], strict=False))
        if batch.target is not None:
            values.append((str(self.roles.target), batch.target[row]))
        if batch.sample_weight is not None:
            values.append((str(self.roles.sample_weight), batch.sample_weight[row]))
        for column, value in values:
            if not np.isfinite(value):
                problem = f"column '{column}' is missing or not finite ({value})"
                break
            if column == self.roles.sample_weight and value < 0:
                problem = f"column '{column}' is a negative weight ({value})"
                break
        return f"{path}: row {file_row + 1}: {problem} (--skip-bad-rows drops such rows)"


def _good_rows(
    features: FloatArray, target: FloatArray | None, weight: FloatArray | None
) -> npt.NDArray[np.bool_] | None:
    """A mask of acceptable rows, or None when all are (the common case, checked cheaply)."""
    all_good = bool(np.isfinite(features).all())
    all_good = all_good and (target is None or bool(np.isfinite(target).all()))
    all_good = all_good and (weight is None or bool((np.isfinite(weight) & (weight >= 0)).all()))
    if all_good:
        return None
    good = np.asarray(np.isfinite(features).all(axis=1), dtype=np.bool_)
    if target is not None:
        good &= np.isfinite(target)
    if weight is not None:
        good &= np.isfinite(weight) & (weight >= 0)
    return good


def _column_values(records: Any, column: str | None) -> Any:
    """A column of a record batch as a NumPy array: a view of Arrow's values when the column is
    integral or floating point without missing values (the common case), else a converted copy
    (missing values become NaN)."""
    array = records.column(column)
    dtype = _plain_dtype(array.type)
    if dtype is None or array.null_count:
        # Arrow's own conversion; it imports pandas, which the common case does without.
        return array.to_numpy(zero_copy_only=False)
    values = array.buffers()[1]
    return np.frombuffer(values, dtype, count=len(array), offset=array.offset * dtype.itemsize)


def _plain_dtype(arrow_type: Any) -> np.dtype[Any] | None:
    """The NumPy type whose items are laid out as Arrow's values of `arrow_type`, for integers and
    floating point; None for other types (booleans are bits, decimals are not NumPy types)."""
    kind = _PLAIN_KINDS.get(str(arrow_type))
    return None if kind is None else np.dtype(kind)


# Arrow's names of its integer and floating-point types, and NumPy's for the same layout.
_PLAIN_KINDS = {
    **{f"int{bits}": f"int{bits}" for bits in (8, 16, 32, 64)},
    **{f"uint{bits}": f"uint{bits}" for bits in (8, 16, 32, 64)},
    "halffloat": "float16",
    "float": "float32",
    "double": "float64",
}


def _split_pieces(pieces: list[_Piece], n_rows: int) -> tuple[list[_Piece], list[_Piece]]:
    """The first `n_rows` rows of `pieces`, and the rest (slices share the Arrow buffers)."""
    taken: list[_Piece] = []
    remaining = n_rows
    for index, piece in enumerate(pieces):
        size = piece.records.num_rows
        if size <= remaining:
            taken.append(piece)
            remaining -= size
            if remaining == 0:
                return taken, pieces[index + 1 :]
        else:
            head = _Piece(piece.records.slice(0, remaining), piece.path, piece.first_row)
            tail = _Piece(piece.records.slice(remaining), piece.path, piece.first_row + remaining)
            taken.append(head)
            return taken, [tail] + pieces[index + 1 :]
    return taken, []


def _is_numeric_type(pa: Any, column_type: Any) -> bool:
    types = pa.types
    return bool(
        types.is_integer(column_type)
        or types.is_floating(column_type)
        or types.is_boolean(column_type)
        or types.is_decimal(column_type)
    )


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
