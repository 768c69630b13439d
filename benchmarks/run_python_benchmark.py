"""Times the extension's predict and small updates as Python calls, against baselines of the run.

What is measured:
- predict per shape and element type against numpy's ``x @ beta`` with the same coefficients
  (numpy at its best of default threads and one thread, see timing.numpy_seconds);
- a warm stream of small updates (1000 x 10, batches of one model) in both element types: the time
  of one update (each batch read from memory, as the stored batches exceed the caches; and again
  on a batch copied just before its update, still in cache as a reader hands it over), against
  numpy's k + 1 weighted Gram products ``X.T @ (w[:, None] * X)`` of the same batch (k = the
  update's reported iterations) and, given the C++ benchmark's executable to probe the machine,
  against the small update's hardware floor

      floor = (k + 1) * (2 n p^2) / peak  +  6 * (n p s) / cache bandwidth  +  call

  its Gram products at the FMA peak, six passes over the batch (n p elements of s bytes) at the
  read bandwidth of a buffer of the batch's size (it stays in the caches), and the Python call:
  the time of a tiny update (8 rows, one iteration), which is nearly all call and result. The
  25 us target is set against this floor, so it reads the update of a batch in cache; the update
  from memory is printed beside it with numpy's plain read (x.sum()) of the same stored batches,
  the time its first pass waits for memory;
- the cost of the Python call itself: that tiny update, and a call that the argument checks
  reject at once.

The host is shared and its speed drifts by tens of percent within a minute, so the engine and numpy
are measured in alternating rounds and each side keeps its best round. Targets are printed next to
the results; nothing here fails on a missed target. Set QUILLFEN_BENCH_ROUNDS for more rounds.

Usage: run_python_benchmark.py [path/to/quillfen_update_benchmark]
"""

import os
import statistics
import sys
import time

import numpy as np
from run_update_benchmark import machine_figures, run_executable
from timing import cpu_name, median_seconds, numpy_seconds, report_target, settle_blas

from quillfen import NativeCpuEngine, version

ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "5"))
PREDICT_SHAPES = [(100000, 20), (20000, 200), (1000, 10)]
DTYPES = ["float64", "float32"]
SMALL_SHAPE = (1000, 10)
STREAM_UPDATES = 500
TINY_ROWS = 8
FLOOR_PASSES = 6

# predict time over numpy's x @ beta, both element types.
PREDICT_TARGETS = {(100000, 20): 1.3, (20000, 200): 1.3}
# Microseconds per call, float64.
SMALL_UPDATE_TARGET_US = 25.0
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


def make_batch(n, p, dtype, seed, truth):
    """Standard normal features with the intercept column last, t(3) noise, 1% outliers."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p))
    x[:, -1] = 1.0
    y = x @ truth + rng.standard_t(3.0, n)
    y[rng.random(n) < 0.01] += 50.0
    return x.astype(dtype), y.astype(dtype)


def gram_products(x, w, count):
    for _ in range(count):
        x.T @ (w[:, None] * x)


def numpy_weights(n, dtype):
    return np.random.default_rng(n).uniform(0.05, 1.0, n).astype(dtype)


def update(engine, x, y, max_iter=SETTINGS["max_iter"]):
    settings = dict(SETTINGS, max_iter=max_iter)
    return engine.update(x, y, None, float(len(y)), x.shape[1] - 1, True, **settings)


class PredictCase:
    """One shape and dtype: an engine fitted to one batch, which it then predicts."""

    def __init__(self, n, p, dtype):
        self.n, self.p, self.dtype = n, p, dtype
        truth = np.random.default_rng(p).standard_normal(p)
        self.x, y = make_batch(n, p, dtype, seed=1000 * n + p, truth=truth)
        self.engine = NativeCpuEngine(dtype, p)
        self.beta = update(self.engine, self.x, y)["coefficients"]

    def measure(self):
        return {
            "predict_s": timed(lambda: self.engine.predict(self.x)),
            "matvec_s": numpy_seconds(lambda: self.x @ self.beta, budget_s=0.6, max_reps=2000),
        }


class Stream:
    """Many small updates of distinct batches of one model on a warm engine."""

    def __init__(self, dtype):
        n, p = SMALL_SHAPE
        truth = np.random.default_rng(p).standard_normal(p)
        self.dtype = dtype
        self.batches = [
            make_batch(n, p, dtype, seed=s, truth=truth) for s in range(STREAM_UPDATES + 1)
        ]
        self.engine = NativeCpuEngine(dtype, p)
        update(self.engine, *self.batches[0])
        self.warm = self.engine.state()
        del self.warm["state_is_detached"]
        self.w = numpy_weights(n, dtype)
        self.iterations = []

    def replay(self, copied):
        """Per-call update times of the stream from the warm state, and the iterations reported.

        Each call is timed alone so that a stall of the host does not land on every call. The
        stored batches together exceed the caches, so each update first reads its batch from
        memory; `copied` copies each batch just before its update instead, still in cache as a
        reader hands over a batch it has just written.
        """
        settle_blas()
        self.engine.restore(**self.warm)
        samples, iterations = [], []
        for x, y in self.batches[1:]:
            if copied:
                x, y = x.copy(), y.copy()
            start = time.perf_counter()
            result = update(self.engine, x, y)
            samples.append(time.perf_counter() - start)
            iterations.append(result["iterations"])
        return samples, iterations

    def measure_engine(self):
        # Every round replays the same stream from the same warm state; medians of the calls.
        samples, self.iterations = self.replay(copied=False)
        in_cache, _ = self.replay(copied=True)
        x = self.batches[0][0]
        predict_s = timed(lambda: self.engine.predict(x))
        return {
            "update_s": statistics.median(samples),
            "in_cache_update_s": statistics.median(in_cache),
            "predict_s": predict_s,
        }

    def measure_numpy(self):
        # First a plain read of every stored batch (x.sum()), each from memory as the updates
        # read them: the part of the update's time that no kernel can remove.
        reads = []
        for x, _ in self.batches[1:]:
            start = time.perf_counter()
            x.sum()
            reads.append(time.perf_counter() - start)
        # The same batches, each with k + 1 products for the k its update reported.
        samples = []
        for (x, _), k in zip(self.batches[1:], self.iterations, strict=True):
            start = time.perf_counter()
            gram_products(x, self.w, k + 1)
            samples.append(time.perf_counter() - start)
        x = self.batches[0][0]
        beta = self.engine.state()["coefficients"]
        matvec_s = timed(lambda: x @ beta)
        return {
            "gram_s": statistics.median(samples),
            "matvec_s": matvec_s,
            "memory_read_s": statistics.median(reads),
        }

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
                lambda: update(engine, x, y, max_iter=1), setup=lambda: engine.restore(**self.warm)
            ),
            "rejected_s": timed(rejected),
            "tiny_predict_s": timed(lambda: engine.predict(one_row)),
        }


def keep_best(best, current):
    for key, value in current.items():
        best[key] = min(best.get(key, value), value)


def print_predict_table(cases, best):
    print("predict called from Python against numpy's x @ beta")
    header = f"{'shape':>14} {'dtype':>8} {'predict ms':>11} {'Mrows/s':>8} {'numpy ms':>9}"
    print(header + f" {'ratio':>6}")
    print("-" * (len(header) + 7))
    for case in cases:
        t = best[(case.n, case.p, case.dtype)]
        print(
            f"{f'({case.n}, {case.p})':>14} {case.dtype:>8} {t['predict_s'] * 1e3:>11.4f}"
            f" {case.n / t['predict_s'] * 1e-6:>8.1f} {t['matvec_s'] * 1e3:>9.4f}"
            f" {t['predict_s'] / t['matvec_s']:>6.2f}"
        )
    for case in cases:
        target = PREDICT_TARGETS.get((case.n, case.p))
        if target is None:
            continue
        t = best[(case.n, case.p, case.dtype)]
        report_target(
            f"predict {case.n}x{case.p} {case.dtype} / numpy",
            f"{t['predict_s'] * 1e3:.4f} ms / {t['matvec_s'] * 1e3:.4f} ms",
            t["predict_s"] / t["matvec_s"],
            target,
        )
    print()


def small_floor_seconds(stream, t, peaks, bandwidths):
    """The small update's hardware floor: see the module's docstring for the formula."""
    n, p = SMALL_SHAPE
    products = np.mean(stream.iterations) + 1.0
    batch_bytes = n * p * np.dtype(stream.dtype).itemsize
    # The probe whose buffer is closest to the float64 batch's size.
    bandwidth = bandwidths[min(bandwidths, key=lambda size: abs(size - n * p * 8))]
    return (
        products * 2.0 * n * p * p / (peaks[stream.dtype] * 1e9)
        + FLOOR_PASSES * batch_bytes / (bandwidth * 1e9)
        + t["tiny_update_s"]
    )


def print_small_table(streams, small, machine):
    n, p = SMALL_SHAPE
    print(
        f"Small batches ({n}, {p}): a stream of {STREAM_UPDATES} updates of one model on a warm"
        " engine, medians of the per-call times"
    )
    header = (
        f"{'call':>30} {'dtype':>8} {'mean k':>7} {'us':>8} {'numpy us':>9} {'ratio':>6}"
        f" {'floor us':>9} {'ratio':>6}"
    )
    print(header)
    print("-" * len(header))
    for stream in streams:
        t = small[stream.dtype]
        floor = small_floor_seconds(stream, t, *machine) if machine else float("nan")
        print(
            f"{f'update of {n} rows':>30} {stream.dtype:>8} {np.mean(stream.iterations):>7.2f}"
            f" {t['update_s'] * 1e6:>8.1f} {t['gram_s'] * 1e6:>9.1f}"
            f" {t['update_s'] / t['gram_s']:>6.2f} {floor * 1e6:>9.1f} {t['update_s'] / floor:>6.2f}"
        )
        print(
            f"{f'predict of {n} rows':>30} {stream.dtype:>8} {'':>7} {t['predict_s'] * 1e6:>8.1f}"
            f" {t['matvec_s'] * 1e6:>9.1f} {t['predict_s'] / t['matvec_s']:>6.2f}"
        )
        for name, engine_s in (
            (f"update of {n} rows in cache", t["in_cache_update_s"]),
            (f"update of {TINY_ROWS} rows, max_iter 1", t["tiny_update_s"]),
            ("update rejected (max_iter 0)", t["rejected_s"]),
            ("predict of 1 row", t["tiny_predict_s"]),
        ):
            print(f"{name:>30} {stream.dtype:>8} {'':>7} {engine_s * 1e6:>8.1f}")
    print(
        "numpy: k + 1 weighted Gram products (update), x @ beta (predict); floor: (k + 1) Gram"
        f" products at the FMA peak + {FLOOR_PASSES} passes at the cache's read bandwidth + the"
        " tiny update"
    )
    print(
        f"the {STREAM_UPDATES} stored batches exceed the caches, so each update reads its batch"
        ' from memory first; "in cache": each batch copied just before its update, as a reader would'
        " hand it over"
    )
    for stream in streams:
        t = small[stream.dtype]
        print(
            f"{stream.dtype}: from memory {t['update_s'] * 1e6:.1f} us = in cache"
            f" {t['in_cache_update_s'] * 1e6:.1f} us"
            f" + {(t['update_s'] - t['in_cache_update_s']) * 1e6:.1f} us;"
            f" numpy reads a stored batch (x.sum()) in {t['memory_read_s'] * 1e6:.1f} us"
        )
    # The target is set against the floor above, whose passes read a batch held in the caches:
    # the in-cache update. From memory, the first pass also waits for the batch's one read.
    t = small["float64"]
    report_target(
        f"warm update {n}x{p} float64 (batch in cache), us per call",
        f"{t['in_cache_update_s'] * 1e6:.1f} us",
        t["in_cache_update_s"] * 1e6,
        SMALL_UPDATE_TARGET_US,
    )
    report_target(
        f"predict {n}x{p} float64, us per call",
        f"{t['predict_s'] * 1e6:.1f} us",
        t["predict_s"] * 1e6,
        SMALL_PREDICT_TARGET_US,
    )
    print()


def probe_machine(executable):
    """Peak GFLOP/s per dtype and read GB/s per buffer size, or None without the executable."""
    if executable is None:
        return None
    peaks, _, bandwidths = machine_figures(run_executable(executable, "machine"))
    return peaks, bandwidths


def main(argv):
    executable = argv[1] if len(argv) > 1 else None
    cases = [PredictCase(n, p, dtype) for n, p in PREDICT_SHAPES for dtype in DTYPES]
    streams = [Stream(dtype) for dtype in DTYPES]
    best = {}
    small = {dtype: {} for dtype in DTYPES}
    for _ in range(ROUNDS):
        for case in cases:
            keep_best(best.setdefault((case.n, case.p, case.dtype), {}), case.measure())
        for stream in streams:
            keep_best(small[stream.dtype], stream.measure_engine())
            keep_best(small[stream.dtype], stream.measure_numpy())
            keep_best(small[stream.dtype], stream.measure_overhead())
    machine = probe_machine(executable)

    pool_threads = version()["parallel_threads"]
    print(f"CPU: {cpu_name()}")
    print(
        f"threads: {os.cpu_count()} hardware, {pool_threads} in the process-wide pool;"
        f" numpy {np.__version__}"
    )
    print(f"times are medians of repeated calls, best of {ROUNDS} alternating rounds\n")
    print_predict_table(cases, best)
    print_small_table(streams, small, machine)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
