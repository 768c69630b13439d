"""Writes the command-line demo's data set: a Parquet file of a million noisy rows.

Six features (two with a true coefficient of zero) and an intercept; Student-t noise with 2
degrees of freedom and 4% of the targets thrown off by gross errors, which widen a least-squares
fit's intervals several times while the Huber fit hardly notices them. Written in row groups of 100000 rows, as a
real export would be, so that `quillfen fit` can stream it. The true values go beside it, in
OUT.truth.json, for `quillfen plot --reference` to draw.

Usage: python examples/make_demo_data.py OUT.parquet
"""

import json
import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

SEED = 12
ROWS = 1_000_000
ROW_GROUP_ROWS = 100_000
TRUE_COEF = {
    "age": 0.8,
    "income": 2.5,
    "tenure": -1.5,
    "visits": 0.0,
    "distance": -0.6,
    "noise": 0.0,
}
TRUE_INTERCEPT = 10.0
NOISE_DF = 2.0
OUTLIER_SHARE = 0.04


def row_group(rng: np.random.Generator, rows: int) -> pa.Table:
    """One block of rows: correlated features, heavy-tailed noise, gross errors in the target."""
    shared = rng.standard_normal(rows)
    columns = {name: 0.6 * rng.standard_normal(rows) + 0.4 * shared for name in TRUE_COEF}
    y = TRUE_INTERCEPT + rng.standard_t(NOISE_DF, rows)
    for name, coefficient in TRUE_COEF.items():
        y += coefficient * columns[name]
    outliers = rng.random(rows) < OUTLIER_SHARE
    # Gross errors of either sign, far outside the noise.
    n_outliers = int(outliers.sum())
    y[outliers] += rng.choice([-1.0, 1.0], n_outliers) * rng.normal(50.0, 15.0, n_outliers)
    return pa.table({**columns, "y": y})


def truth_path_for(out: Path) -> Path:
    """Where the true values of the data at `out` go: DATA.parquet -> DATA.truth.json."""
    return out.with_name(f"{out.stem}.truth.json")


def main(out: Path) -> None:
    rng = np.random.default_rng(SEED)
    out.parent.mkdir(parents=True, exist_ok=True)
    # Named as the model's summary names them; written first, so that the data file, which make
    # checks, never exists without it.
    truth_path_for(out).write_text(json.dumps({**TRUE_COEF, "intercept": TRUE_INTERCEPT}) + "\n")
    partial = out.with_name(f".{out.name}.partial")
    first = row_group(rng, ROW_GROUP_ROWS)
    with pq.ParquetWriter(partial, first.schema) as writer:
        writer.write_table(first)
        for _ in range(ROWS // ROW_GROUP_ROWS - 1):
            writer.write_table(row_group(rng, ROW_GROUP_ROWS))
    partial.replace(out)
    truth = ", ".join(f"{name} {value:g}" for name, value in TRUE_COEF.items())
    print(
        f"wrote {ROWS} rows to {out}; true coefficients: {truth}, intercept {TRUE_INTERCEPT:g}"
        f" (also in {truth_path_for(out)})"
    )


if __name__ == "__main__":
    main(Path(sys.argv[1]))
