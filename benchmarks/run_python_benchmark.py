"""Times the extension's update and predict as Python calls, against numpy in the same run.

What is measured:
- one update (penalty none, fresh state) and one predict per shape and element type, as rows per
  second; an update is set against numpy's k + 1 weighted Gram products ``X.T @ (w[:, None] * X)``
  (k = the update's reported iterations) and a predict against ``x @ beta``;
- a stream of small updates (1000 x 10) on a warm engine, the time of one such update and of one
  1000 x 10 predict, each against the same numpy baseline;
- the cost of the Python call itself: an update of a tiny batch with max_iter 1, and a call that
  the argument checks reject at once.

The host is shared and its speed drifts by tens of percent within a minute, so the engine and numpy
are measured in alternating rounds and each side keeps its best round. Targets are printed next to
the results; nothing here fails on a missed target. Set QUILLFEN_BENCH_ROUNDS for more rounds.

Usage: run_python_benchmark.py
"""

import os
import statistics
import sys
import time

import numpy as np
from timing import median_seconds, verdict

from quillfen import NativeCpuEngine, version

ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "3"))
SHAPES = [(100000, 20), (20000, 200), (1000, 10)]
DTYPES = ["float64", "float32"]
SMALL_SHAPE = (1000, 10)
STREAM_UPDATES = 500
TINY_ROWS = 8

# Microseconds per call, float64.
SMALL_UPDATE_TARGET_US = 30.0
SMALL_PREDICT_TARGET_US = 10.0

# The same settings as the C++ update benchmark.
SETTINGS = dict(
    tau=1.345,
    penalty="none",
    lambda_scale=1.0,
    bandwidth_scale=1.0,
    max_iter=50,
    tol=1e-6,
    ridge=1e-8,
)


def timed(run, setup=None):
    """Median time of a call; these are short, so more of them within less time."""
    return median_seconds(run, setup, budget_s=0.3, max_reps=2000)


def make_batch(n, p, dtype, seed):
    """Standard normal features with the intercept column last, t(3) noise, 1% outliers."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p))
    x[:, -1] = 1.0
    y = x @ rng.standard_normal(p) + rng.standard_t(3.0, n)
    y[rng.random(n) < 0.01] += 50.0
    return x.astype(dtype), y.astype(dtype)


def gram_products(x, w, count):
    for _ in range(count):
        x.T @ (w[:, None] * x)


def numpy_weights(n, dtype):
    return np.random.default_rng(n).uniform(0.05, 1.0, n).astype(dtype)


class Case:
    """One shape and dtype: an engine, its fresh state, a batch and numpy's inputs."""

    def __init__(self, n, p, dtype):
        self.n, self.p, self.dtype = n, p, dtype
        self.x, self.y = make_batch(n, p, dtype, seed=1000 * n + p)
        self.w = numpy_weights(n, dtype)
        self.engine = NativeCpuEngine(dtype, p)
        self.fresh = self.engine.state()
        del self.fresh["state_is_detached"]
        self.beta = None
        self.k = None

    def reset(self):
        self.engine.restore(**self.fresh)

    def update(self):
        result = self.engine.update(
            self.x, self.y, None, float(self.n), self.p - 1, True, **SETTINGS
        )
        self.k = result["iterations"]
        self.beta = result["coefficients"]

    def measure_engine(self):
        # Every timed update starts from the fresh state, so k is the same each time.
        update_s = timed(self.update, setup=self.reset)
        predict_s = timed(lambda: self.engine.predict(self.x))
        return {"update_s": update_s, "predict_s": predict_s}

    def measure_numpy(self):
        beta = self.beta
        gram_s = timed(lambda: gram_products(self.x, self.w, self.k + 1))
        matvec_s = timed(lambda: self.x @ beta)
        return {"gram_s": gram_s, "matvec_s": matvec_s}


class Stream:
    """Many small updates of distinct batches on a warm engine, float64."""

    def __init__(self):
        n, p = SMALL_SHAPE
        self.batches = [make_batch(n, p, "float64", seed=s) for s in range(STREAM_UPDATES + 1)]
        self.engine = NativeCpuEngine("float64", p)
        self.update(*self.batches[0])
        self.warm = self.engine.state()
        del self.warm["state_is_detached"]
        self.w = numpy_weights(n, "float64")
        self.iterations = []

    def update(self, x, y, max_iter=SETTINGS["max_iter"]):
        settings = dict(SETTINGS, max_iter=max_iter)
        return self.engine.update(x, y, None, float(len(y)), x.shape[1] - 1, True, **settings)

    def measure_engine(self):
        # Every round replays the same stream from the same warm state; each call is timed alone
        # and the median kept, so a stall of the host does not land on every call.
        self.engine.restore(**self.warm)
        samples, self.iterations = [], []
        for x, y in self.batches[1:]:
            start = time.perf_counter()
            result = self.update(x, y)
            samples.append(time.perf_counter() - start)
            self.iterations.append(result["iterations"])
        x = self.batches[0][0]
        predict_s = timed(lambda: self.engine.predict(x))
        return {"update_s": statistics.median(samples), "predict_s": predict_s}

    def measure_numpy(self):
        # The same batches, each with k + 1 products for the k its update reported.
        samples = []
        for (x, _), k in zip(self.batches[1:], self.iterations, strict=False):
            start = time.perf_counter()
            gram_products(x, self.w, k + 1)
            samples.append(time.perf_counter() - start)
        x = self.batches[0][0]
        beta = self.engine.state()["coefficients"]
        matvec_s = timed(lambda: x @ beta)
        return {"gram_s": statistics.median(samples), "matvec_s": matvec_s}

    def measure_overhead(self):
        """Per-call times dominated by the Python call rather than the arithmetic."""
        engine = self.engine
        x, y = self.batches[1][0][:TINY_ROWS].copy(), self.batches[1][1][:TINY_ROWS].copy()
        bad_settings = dict(SETTINGS, max_iter=0)

        def rejected():
            try:
                engine.update(x, y, None, float(TINY_ROWS), x.shape[1] - 1, True, **bad_settings)
            except ValueError:
                pass

        one_row = x[:1].copy()
        return {
            "tiny_update_s": timed(
                lambda: self.update(x, y, max_iter=1), setup=lambda: engine.restore(**self.warm)
            ),
            "rejected_s": timed(rejected),
            "tiny_predict_s": timed(lambda: engine.predict(one_row)),
        }


def keep_best(best, current):
    for key, value in current.items():
        best[key] = min(best.get(key, value), value)


def print_shape_table(cases, best):
    print("One update (penalty none, fresh state) and one predict, called from Python")
    header = (
        f"{'shape':>14} {'dtype':>8} {'update ms':>10} {'k':>3} {'Mrows/s':>8}"
        f" {'vs numpy':>8} {'predict ms':>11} {'Mrows/s':>8} {'vs numpy':>8}"
    )
    print(header)
    print("-" * len(header))
    for case in cases:
        t = best[(case.n, case.p, case.dtype)]
        print(
            f"{f'({case.n}, {case.p})':>14} {case.dtype:>8} {t['update_s'] * 1e3:>10.3f}"
            f" {case.k:>3} {case.n / t['update_s'] * 1e-6:>8.2f}"
            f" {t['update_s'] / t['gram_s']:>8.2f} {t['predict_s'] * 1e3:>11.4f}"
            f" {case.n / t['predict_s'] * 1e-6:>8.1f} {t['predict_s'] / t['matvec_s']:>8.2f}"
        )
    print(
        "vs numpy: engine time over numpy's k + 1 weighted Gram products (update) or x @ beta"
        " (predict)\n"
    )


def print_small_table(stream, t):
    n, p = SMALL_SHAPE
    print(
        f"Small batches ({n}, {p}) float64: a stream of {STREAM_UPDATES} updates on a warm"
        f" engine (mean k {np.mean(stream.iterations):.2f})"
    )
    header = f"{'call':>30} {'us':>8} {'numpy us':>9} {'ratio':>6} {'target':>12}"
    print(header)
    print("-" * len(header))
    rows = [
        (f"update of {n} rows", t["update_s"], t["gram_s"], SMALL_UPDATE_TARGET_US),
        (f"predict of {n} rows", t["predict_s"], t["matvec_s"], SMALL_PREDICT_TARGET_US),
    ]
    for name, engine_s, numpy_s, target in rows:
        us = engine_s * 1e6
        print(
            f"{name:>30} {us:>8.1f} {numpy_s * 1e6:>9.1f} {engine_s / numpy_s:>6.2f}"
            f" {f'<= {target:.0f} {verdict(us <= target)}':>12}"
        )
    rows = [
        (f"update of {TINY_ROWS} rows, max_iter 1", t["tiny_update_s"]),
        ("update rejected (max_iter 0)", t["rejected_s"]),
        ("predict of 1 row", t["tiny_predict_s"]),
    ]
    for name, engine_s in rows:
        print(f"{name:>30} {engine_s * 1e6:>8.1f}")
    print()


def main():
    cases = [Case(n, p, dtype) for n, p in SHAPES for dtype in DTYPES]
    stream = Stream()
    best = {}
    small = {}
    for _ in range(ROUNDS):
        for case in cases:
            key = (case.n, case.p, case.dtype)
            keep_best(best.setdefault(key, {}), case.measure_engine())
            keep_best(best[key], case.measure_numpy())
        keep_best(small, stream.measure_engine())
        keep_best(small, stream.measure_numpy())
        keep_best(small, stream.measure_overhead())

    pool_threads = version()["parallel_threads"]
    print(
        f"threads: {os.cpu_count()} hardware, {pool_threads} in the process-wide pool;"
        f" numpy {np.__version__}"
    )
    print(f"times are medians of repeated calls, best of {ROUNDS} alternating rounds\n")
    print_shape_table(cases, best)
    print_small_table(stream, small)
    return 0


if __name__ == "__main__":
    sys.exit(main())
