"""float32 against float64 accuracy on a long stream of large batches.

The stream: 50 batches of 100000 rows, 19 standard normal features and an intercept, t(2.5) noise
with 3% gross errors of size 20. Both engines see the same values (float32 the rounded ones); the
figure is the float32 engine's coefficient error (distance from the truth) over float64's, which
the float32 form should keep within 1.02.

Usage: run_float32_accuracy.py [batches] [rows]   (default 50 100000)
"""

import sys

import numpy as np
from timing import report_target

from quillfen import NativeCpuEngine

COLUMNS = 20
RATIO_TARGET = 1.02


def stream_errors(batches, rows, seed=8):
    rng = np.random.default_rng(seed)
    truth = rng.uniform(-2.0, 2.0, COLUMNS)
    engines = {dtype: NativeCpuEngine(dtype, COLUMNS) for dtype in ("float64", "float32")}
    for _ in range(batches):
        x = rng.standard_normal((rows, COLUMNS))
        x[:, -1] = 1.0
        y = x @ truth + rng.standard_t(2.5, rows)
        bad = rng.random(rows) < 0.03
        y[bad] += rng.choice([-20.0, 20.0], bad.sum())
        for dtype, engine in engines.items():
            engine.update(
                x.astype(dtype),
                y.astype(dtype),
                None,
                batch_weight=float(rows),
                n_features_in=COLUMNS - 1,
                fit_intercept=True,
                tau=1.345,
                penalty="none",
                lambda_scale=0.5,
                bandwidth_scale=1.0,
                max_iter=50,
                tol=1e-8 if dtype == "float64" else 1e-5,
                ridge=1e-8,
            )
    return {
        dtype: np.linalg.norm(engine.state()["coefficients"].astype(np.float64) - truth)
        for dtype, engine in engines.items()
    }


def main():
    batches = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
    errors = stream_errors(batches, rows)
    ratio = errors["float32"] / errors["float64"]
    print(f"float32 accuracy, {batches} batches x {rows} rows x {COLUMNS} columns")
    report_target(
        "float32 coefficient error / float64's",
        f"{errors['float32']:.6f} / {errors['float64']:.6f}",
        ratio,
        RATIO_TARGET,
    )
    print()


if __name__ == "__main__":
    main()
