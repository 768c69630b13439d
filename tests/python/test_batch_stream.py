"""Batches gathered across files: every row once, in order, in batches of the requested size."""

import gzip
import tempfile
from decimal import Decimal
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillfen.cli import _csv_reader
from quillfen.cli._batch_stream import BatchStream, choose_columns, element_type
from quillfen.cli._data_files import open_data_files


@settings(max_examples=25, deadline=None)
@given(
    part_rows=st.lists(st.integers(1, 40), min_size=1, max_size=4),
    batch_rows=st.integers(1, 50),
    data_format=st.sampled_from(["csv", "parquet"]),
)
def test_batches_cover_every_row_once_in_order(part_rows, batch_rows, data_format):
    total = sum(part_rows)
    ids = np.arange(total, dtype=np.float64)
    with tempfile.TemporaryDirectory() as directory:
        start = 0
        for index, rows in enumerate(part_rows):
            part = pa.table({"id": ids[start : start + rows], "y": -ids[start : start + rows]})
            path = Path(directory) / f"part-{index:02d}.{data_format}"
            if data_format == "csv":
                pa_csv.write_csv(part, path)
            else:
                pq.write_table(part, path, row_group_size=7)
            start += rows
        files = open_data_files([directory], "fit")
        roles = choose_columns(files, features=None, target="y")
        stream = BatchStream(
            files,
            roles,
            batch_rows=batch_rows,
            dtype=element_type(files, roles),
            skip_bad_rows=False,
            command="fit",
        )
        sizes, features, targets = [], [], []
        for batch in stream:
            sizes.append(len(batch.features))
            features.append(batch.features[:, 0].copy())
            targets.append(batch.target.copy())
    expected_sizes = [batch_rows] * (total // batch_rows) + (
        [total % batch_rows] if total % batch_rows else []
    )
    assert sizes == expected_sizes
    np.testing.assert_array_equal(np.concatenate(features), ids)
    np.testing.assert_array_equal(np.concatenate(targets), -ids)


@pytest.mark.parametrize("layout", ["line feeds", "carriage returns", "gzip", "no last line end"])
def test_csv_read_in_many_blocks_gives_every_row_once_in_order(layout, tmp_path, monkeypatch):
    # Blocks of a few rows each, so that rows straddle the reads and blocks run in parallel.
    monkeypatch.setattr(_csv_reader, "BLOCK_BYTES", 50)
    ids = np.arange(500, dtype=np.float64)
    end = "\r\n" if layout == "carriage returns" else "\n"
    text = end.join(["id,y", *(f"{i:g},{-i:g}" for i in ids)])
    text += "" if layout == "no last line end" else end
    path = tmp_path / ("d.csv.gz" if layout == "gzip" else "d.csv")
    path.write_bytes(gzip.compress(text.encode()) if layout == "gzip" else text.encode())
    files = open_data_files([str(path)], "fit")
    roles = choose_columns(files, features=None, target="y")
    stream = BatchStream(
        files, roles, batch_rows=64, dtype=np.dtype(np.float64), skip_bad_rows=False, command="fit"
    )
    features, targets = [], []
    for batch in stream:
        features.append(batch.features[:, 0].copy())
        targets.append(batch.target.copy())
    np.testing.assert_array_equal(np.concatenate(features), ids)
    np.testing.assert_array_equal(np.concatenate(targets), -ids)


@pytest.mark.parametrize(
    "arrow_type",
    [pa.int32(), pa.uint8(), pa.float16(), pa.float32(), pa.bool_(), pa.decimal128(6, 2)],
    ids=str,
)
@pytest.mark.parametrize("with_nulls", [False, True], ids=["complete", "with nulls"])
def test_parquet_columns_of_every_numeric_type_convert_row_for_row(
    arrow_type, with_nulls, tmp_path
):
    # Batches of 9 rows from row groups of 7: most batches are made of slices of record batches.
    values = [i % 2 if arrow_type == pa.bool_() else i for i in range(40)]
    mask = np.arange(40) % 5 == 3 if with_nulls else None
    items = [Decimal(v) for v in values] if pa.types.is_decimal(arrow_type) else values
    column = pa.array(items, mask=mask).cast(arrow_type)
    path = tmp_path / "d.parquet"
    pq.write_table(pa.table({"x": column, "y": pa.array(np.arange(40.0))}), path, row_group_size=7)
    files = open_data_files([str(path)], "fit")
    roles = choose_columns(files, features=None, target="y")
    stream = BatchStream(
        files, roles, batch_rows=9, dtype=np.dtype(np.float64), skip_bad_rows=False, command="fit"
    )
    read = np.concatenate([batch.features[:, 0].copy() for batch in stream])
    expected = np.asarray(values, dtype=np.float64)
    if with_nulls:
        expected[mask] = np.nan
    np.testing.assert_array_equal(read, expected)
