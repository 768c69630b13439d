"""Times the extension's predict against numpy's ``x @ beta`` in the same run.

For each shape and element type one engine is fitted by a single update, then its predict and
numpy's product of the same design with the same coefficients are timed in alternating rounds;
each side keeps its best round, since the shared host's speed drifts within a minute. The target
is a ratio of at most 1.3; it is printed, nothing fails on a miss. Set QUILLFEN_BENCH_ROUNDS for
more rounds and QUILLFEN_FORCE_TARGET to time another kernel target.

Usage: run_predict_benchmark.py
"""

import os
import sys

import numpy as np
from run_python_benchmark import SETTINGS, make_batch
from timing import median_seconds, verdict

from quillfen import NativeCpuEngine, version

ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "5"))
SHAPES = [(100000, 20), (20000, 200), (1000, 10)]
DTYPES = ["float64", "float32"]
RATIO_TARGET = 1.3
CPU = "AMD EPYC (family 25 model 17, Zen 4, AVX-512), 2 cores, KVM"


def timed(run):
    return median_seconds(run, budget_s=0.3, max_reps=2000)


def fitted_case(n, p, dtype):
    """A design with its engine after one update, and the engine's coefficients."""
    x, y = make_batch(n, p, dtype, seed=1000 * n + p)
    engine = NativeCpuEngine(dtype, p)
    result = engine.update(x, y, None, float(n), p - 1, True, **SETTINGS)
    return x, engine, np.asarray(result["coefficients"], dtype=dtype)


def main():
    cases = {(n, p, d): fitted_case(n, p, d) for n, p in SHAPES for d in DTYPES}
    best = {key: [float("inf"), float("inf")] for key in cases}
    for _ in range(ROUNDS):
        for key, (x, engine, beta) in cases.items():
            best[key][0] = min(best[key][0], timed(lambda e=engine, x=x: e.predict(x)))
            best[key][1] = min(best[key][1], timed(lambda x=x, b=beta: x @ b))

    target = os.environ.get("QUILLFEN_FORCE_TARGET", "the CPU's own")
    print(f"{CPU}; {target} kernels, {version()['parallel_threads']} pool threads")
    print(
        f"predict vs numpy x @ beta, best of {ROUNDS} alternating rounds (target <= {RATIO_TARGET})"
    )
    print(f"{'shape':>14} {'dtype':>8} {'predict ms':>11} {'numpy ms':>9} {'ratio':>6}")
    for (n, p, dtype), (predict_s, numpy_s) in best.items():
        ratio = predict_s / numpy_s
        mark = verdict(ratio <= RATIO_TARGET) if (n, p) != (1000, 10) else ""
        print(
            f"{f'{n} x {p}':>14} {dtype:>8} {predict_s * 1e3:>11.4f} {numpy_s * 1e3:>9.4f}"
            f" {ratio:>6.2f} {mark}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
