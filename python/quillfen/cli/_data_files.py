"""The files a data argument names, their format, and the one schema they must share."""

import csv
import glob
import io
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Literal

from quillfen.cli._command_error import CommandError
from quillfen.cli._extras import require

DataFormat = Literal["csv", "parquet"]

CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2")
PARQUET_SUFFIXES = (".parquet", ".pq")


@dataclass(frozen=True)
class DataFiles:
    """Files of one format whose columns agree, in the order they are read.

    `column_types` holds each column's Arrow type for Parquet; for CSV, whose values are typed
    while reading, it is None. `total_rows` is known from Parquet metadata only.
    """

    data_format: DataFormat
    paths: tuple[Path, ...]
    column_names: tuple[str, ...]
    column_types: dict[str, Any] | None
    total_rows: int | None


def format_of(path: Path) -> DataFormat | None:
    """The format a file name announces, or None for other files."""
    name = path.name.lower()
    if name.endswith(CSV_SUFFIXES):
        return "csv"
    if name.endswith(PARQUET_SUFFIXES):
        return "parquet"
    return None


def expand_data_arguments(arguments: Sequence[str]) -> list[Path]:
    """Files named by `arguments`: files, globs and directories (their CSV and Parquet files,
    not hidden ones or those of subdirectories), in sorted order within each argument.

    Raises CommandError for an argument that names nothing, so that a typo never silently
    shrinks the data set.
    """
    found: list[Path] = []
    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            # Hidden and "_" files (partial outputs, _SUCCESS, _metadata) are not data, as for
            # Arrow's own dataset discovery.
            members = sorted(
                p
                for p in path.iterdir()
                if p.is_file() and format_of(p) and not p.name.startswith((".", "_"))
            )
            if not members:
                raise CommandError(f"{argument}: directory holds no CSV or Parquet files")
            found.extend(members)
        elif path.is_file():
            found.append(path)
        elif glob.has_magic(argument):
            matches = sorted(Path(m) for m in glob.glob(argument) if Path(m).is_file())
            if not matches:
                raise CommandError(f"{argument}: no files match")
            found.extend(matches)
        else:
            raise CommandError(f"{argument}: no such file or directory")
    unique = list(dict.fromkeys(found))
    return unique


def open_data_files(arguments: Sequence[str], command: str) -> DataFiles:
    """Find the files of `arguments`, check they share one format and schema, and describe them.

    Raises CommandError naming the file at fault: unknown format, mixed formats, unreadable or
    empty files, or a schema that differs from the first file's.
    """
    require("pyarrow", command)
    paths = expand_data_arguments(arguments)
    formats = set()
    for path in paths:
        data_format = format_of(path)
        if data_format is None:
            raise CommandError(
                f"{path}: unknown file type; expected {', '.join(CSV_SUFFIXES + PARQUET_SUFFIXES)}"
            )
        formats.add(data_format)
    if len(formats) > 1:
        raise CommandError("the data mixes CSV and Parquet files; give files of one format")
    if formats == {"csv"}:
        return _describe_csv_files(paths, command)
    return _describe_parquet_files(paths, command)


def _describe_parquet_files(paths: list[Path], command: str) -> DataFiles:
    pq = require("pyarrow.parquet", command)
    pa = require("pyarrow", command)
    first_schema = None
    total_rows = 0
    for path in paths:
        try:
            metadata = pq.ParquetFile(path).metadata
            schema = metadata.schema.to_arrow_schema().remove_metadata()
        except (pa.ArrowException, OSError) as error:
            raise CommandError(
                f"{path}: not a readable Parquet file ({_first_line(error)})"
            ) from None
        if metadata.num_rows == 0:
            raise CommandError(f"{path}: the file has no rows")
        if first_schema is None:
            first_schema = schema
        elif not schema.equals(first_schema):
            raise CommandError(
                f"{path}: schema differs from {paths[0]}: {_schema_difference(first_schema, schema)}"
            )
        total_rows += metadata.num_rows
    assert first_schema is not None
    return DataFiles(
        data_format="parquet",
        paths=tuple(paths),
        column_names=tuple(first_schema.names),
        column_types={field.name: field.type for field in first_schema},
        total_rows=total_rows,
    )


def _describe_csv_files(paths: list[Path], command: str) -> DataFiles:
    first_header: list[str] | None = None
    for path in paths:
        header = _csv_header(path, command)
        if first_header is None:
            first_header = header
        elif header != first_header:
            raise CommandError(
                f"{path}: columns differ from {paths[0]}: "
                f"{', '.join(header)} instead of {', '.join(first_header)}"
            )
    assert first_header is not None
    return DataFiles(
        data_format="csv",
        paths=tuple(paths),
        column_names=tuple(first_header),
        column_types=None,
        total_rows=None,
    )


def _csv_header(path: Path, command: str) -> list[str]:
    """The column names on a CSV file's first line (decompressed when the name says so)."""
    pa = require("pyarrow", command)
    try:
        with pa.input_stream(str(path), compression="detect") as stream:
            first_line = _read_first_line(stream)
    except (pa.ArrowException, OSError) as error:
        raise CommandError(f"{path}: cannot read the file ({_first_line(error)})") from None
    # "utf-8-sig": spreadsheet programs start a UTF-8 CSV with a byte-order mark, which Arrow skips.
    text = first_line.decode("utf-8-sig", errors="replace").strip("\r\n")
    if not text.strip():
        raise CommandError(f"{path}: empty file (no header line)")
    header = next(csv.reader(io.StringIO(text)))
    if len(set(header)) != len(header):
        raise CommandError(f"{path}: the header repeats a column name")
    return header


def _read_first_line(stream: Any) -> bytes:
    """The bytes before the first newline (Arrow's input streams have no readline)."""
    chunks: list[bytes] = []
    while True:
        chunk = stream.read(1 << 16)
        if not chunk:
            return b"".join(chunks)
        newline = chunk.find(b"\n")
        if newline >= 0:
            chunks.append(chunk[:newline])
            return b"".join(chunks)
        chunks.append(chunk)


def _schema_difference(expected: Any, found: Any) -> str:
    """A short phrase naming the first column where two Arrow schemas disagree."""
    if list(expected.names) != list(found.names):
        missing = [name for name in expected.names if name not in found.names]
        extra = [name for name in found.names if name not in expected.names]
        if missing:
            return f"column '{missing[0]}' is missing"
        if extra:
            return f"extra column '{extra[0]}'"
        return "the columns are in another order"
    for field in found:
        expected_type = expected.field(field.name).type
        if field.type != expected_type:
            return f"column '{field.name}' is {field.type}, not {expected_type}"
    return "the schemas differ"


def _first_line(error: BaseException) -> str:
    return str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
