"""Batches gathered across files: every row once, in order, in batches of the requested size."""

import tempfile
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq
from hypothesis import given, settings
from hypothesis import strategies as st

from quillfen._batch_stream import BatchStream, choose_columns, element_type
from quillfen._data_files import open_data_files


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
