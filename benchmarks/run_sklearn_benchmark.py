"""Per-batch time of the engine's warm update against scikit-learn's averaged Huber SGD.

For each stream (1000 x 10, 10000 x 50, 100000 x 20, 20000 x 200: standard normal features of
one model, an intercept, t(3) noise and 1% gross outliers) the float64 engine's update, called
from Python on a warm engine, is set against one
``SGDRegressor(loss="huber", average=True).partial_fit`` of the same batch: one pass of SGD,
the cheapest thing a streaming fit can do per batch. Both sides are warm (one untimed batch
first) and each batch goes to both back to back, the order alternating, over a few passes of the
stream; the medians of the per-call times are compared, because the shared host's speed drifts and
bursts. The ratio is reported; the engine does a Newton solve per batch, not one pass, so no
target bounds it.

Usage: run_sklearn_benchmark.py   (QUILLFEN_BENCH_ROUNDS sets the passes, default 3)
"""

import os
import sys
import time

import numpy as np
from run_python_benchmark import SETTINGS  # the settings of the other update benchmarks
from sklearn.linear_model import SGDRegressor
from timing import cpu_name

from quillfen import NativeCpuEngine

ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "3"))
# (rows, columns with the intercept, batches per pass)
STREAMS = [(1000, 10, 200), (10000, 50, 20), (100000, 20, 6), (20000, 200, 6)]


def make_stream(rows, columns, count, seed):
    """Batches of one model: (features without the intercept, design with it last, targets)."""
    rng = np.random.default_rng(seed)
    truth = rng.standard_normal(columns)
    batches = []
    for _ in range(count + 1):
        design = rng.standard_normal((rows, columns))
        design[:, -1] = 1.0
        y = design @ truth + rng.standard_t(3.0, rows)
        y[rng.random(rows) < 0.01] += 50.0
        batches.append((np.ascontiguousarray(design[:, :-1]), design, y))
    return batches


def run_stream(rows, columns, count):
    """Median seconds per batch of the engine's update and of partial_fit."""
    warm_up, *batches = make_stream(rows, columns, count, seed=rows + columns)
    engine = NativeCpuEngine("float64", columns)
    sgd = SGDRegressor(loss="huber", average=True)

    def engine_side(features, design, y):
        engine.update(design, y, None, float(rows), columns - 1, True, **SETTINGS)

    def sgd_side(features, design, y):
        sgd.partial_fit(features, y)

    engine_side(*warm_up)
    sgd_side(*warm_up)
    times = {engine_side: [], sgd_side: []}
    for _ in range(ROUNDS):
        for index, batch in enumerate(batches):
            pair = (engine_side, sgd_side) if index % 2 == 0 else (sgd_side, engine_side)
            for side in pair:
                start = time.perf_counter()
                side(*batch)
                times[side].append(time.perf_counter() - start)
    return float(np.median(times[engine_side])), float(np.median(times[sgd_side]))


def main():
    print(
        "Warm engine update (float64, from Python) against one"
        ' SGDRegressor(loss="huber", average=True).partial_fit of the same batch'
    )
    print(f"CPU: {cpu_name()}; medians of per-call times over {ROUNDS} passes, calls paired\n")
    header = f"{'batch':>14} {'update ms':>10} {'partial_fit ms':>15} {'ratio':>6}"
    print(header)
    print("-" * len(header))
    for rows, columns, count in STREAMS:
        engine_s, sgd_s = run_stream(rows, columns, count)
        print(
            f"{f'{rows} x {columns}':>14} {engine_s * 1e3:>10.3f} {sgd_s * 1e3:>15.3f}"
            f" {engine_s / sgd_s:>6.2f}"
        )
    print("ratio: update time over partial_fit time (below 1: the engine's update is faster)\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
