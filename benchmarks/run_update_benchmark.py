"""Runs the C++ update benchmark and sets it against numpy in the same run.

The executable times one full update per shape and element type and reports the Newton iteration
count k. An update costs roughly k + 1 curvature-weighted Gram products (one per iteration plus the
final information increment), so the baseline is the time numpy takes for k + 1 products
``X.T @ (w[:, None] * X)`` of the same shape and dtype. The targets are printed next to the
results; nothing here fails on a missed target.

The host is shared and its speed drifts by tens of percent within a minute, so the engine and numpy
are measured in alternating rounds and each side keeps its best round: a slow spell then hurts
both sides alike instead of deciding the ratio.

Usage: run_update_benchmark.py [path/to/quillfen_update_benchmark]
"""

import json
import os
import subprocess
import sys

import numpy as np
from timing import median_seconds, verdict

DEFAULT_EXECUTABLE = "build/bench/quillfen_update_benchmark"
ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "3"))

# Update time over numpy's k + 1 Gram products, float64 only.
RATIO_TARGETS = {(100000, 20): 2.0, (20000, 200): 1.5}
# float64 update time over float32 update time, on the same shapes.
FLOAT32_SPEEDUP_TARGET = 1.7
# Gram kernel share of the measured FMA peak, for p at least this wide.
GRAM_PEAK_TARGET = 0.50
GRAM_PEAK_MIN_P = 64


def run_executable(path):
    completed = subprocess.run([path], stdout=subprocess.PIPE, text=True, check=True)
    return [json.loads(line) for line in completed.stdout.splitlines() if line.strip()]


def gram_inputs(n, p, dtype, seed):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p))
    x[:, -1] = 1.0
    w = rng.uniform(0.05, 1.0, n)
    return x.astype(dtype), w.astype(dtype)


def numpy_gram_seconds(n, p, dtype, products):
    """Median time of `products` weighted Gram products X.T @ (w[:, None] * X)."""
    x, w = gram_inputs(n, p, dtype, seed=n + p)

    def run():
        for _ in range(products):
            x.T @ (w[:, None] * x)

    return median_seconds(run)


def print_update_table(updates):
    print("One update (penalty none, fresh state) against numpy's k + 1 weighted Gram products")
    header = (
        f"{'shape':>14} {'dtype':>8} {'update ms':>10} {'k':>3} {'numpy ms':>10}"
        f" {'ratio':>6} {'target':>13}"
    )
    print(header)
    print("-" * len(header))
    for (n, p, dtype), row in updates.items():
        target = RATIO_TARGETS.get((n, p)) if dtype == "float64" else None
        target_text = ""
        if target is not None:
            target_text = f"<= {target:.1f} {verdict(row['ratio'] <= target)}"
        print(
            f"{f'({n}, {p})':>14} {dtype:>8} {row['update_s'] * 1e3:>10.3f} {row['k']:>3}"
            f" {row['numpy_s'] * 1e3:>10.3f} {row['ratio']:>6.2f} {target_text:>13}"
        )
    print()

    print("float32 speed-up over float64 (update time)")
    header = f"{'shape':>14} {'speed-up':>9} {'target':>13}"
    print(header)
    print("-" * len(header))
    shapes = sorted({(n, p) for n, p, _ in updates}, key=lambda s: -s[0] * s[1])
    for n, p in shapes:
        f64 = updates.get((n, p, "float64"))
        f32 = updates.get((n, p, "float32"))
        if f64 is None or f32 is None:
            continue
        speedup = f64["update_s"] / f32["update_s"]
        target_text = ""
        if (n, p) in RATIO_TARGETS:
            target_text = (
                f">= {FLOAT32_SPEEDUP_TARGET:.1f} {verdict(speedup >= FLOAT32_SPEEDUP_TARGET)}"
            )
        print(f"{f'({n}, {p})':>14} {speedup:>8.2f}x {target_text:>13}")
    print()


def print_gram_table(grams, peaks):
    print("Weighted Gram kernel alone (2 n p^2 flops) against the measured FMA peak")
    header = (
        f"{'shape':>14} {'dtype':>8} {'kernel ms':>10} {'GFLOP/s':>8} {'% peak':>7}"
        f" {'numpy GFLOP/s':>14} {'target':>11}"
    )
    print(header)
    print("-" * len(header))
    for record in grams:
        n, p, dtype = record["n"], record["p"], record["dtype"]
        share = record["gflops"] / peaks[dtype]
        numpy_gflops = 2.0 * n * p * p / record["numpy_s"] * 1e-9
        target_text = ""
        if p >= GRAM_PEAK_MIN_P:
            target_text = f">= {GRAM_PEAK_TARGET:.0%} {verdict(share >= GRAM_PEAK_TARGET)}"
        print(
            f"{f'({n}, {p})':>14} {dtype:>8} {record['median_s'] * 1e3:>10.3f}"
            f" {record['gflops']:>8.1f} {share:>7.1%} {numpy_gflops:>14.1f} {target_text:>11}"
        )
    print()


def measure_round(executable):
    """One run of the executable followed by the matching numpy measurements."""
    records = run_executable(executable)
    machine = next(r for r in records if r["kind"] == "machine")
    peaks = {r["dtype"]: r["gflops"] for r in records if r["kind"] == "fma_peak"}
    errors = [r for r in records if "error" in r]
    updates = {}
    for r in records:
        if r["kind"] != "update" or "error" in r:
            continue
        k = r["iterations"]
        updates[(r["n"], r["p"], r["dtype"])] = {
            "update_s": r["median_s"],
            "k": k,
            "numpy_s": numpy_gram_seconds(r["n"], r["p"], np.dtype(r["dtype"]), products=k + 1),
        }
    grams = {}
    for r in records:
        if r["kind"] != "gram" or "error" in r:
            continue
        grams[(r["n"], r["p"], r["dtype"])] = dict(
            r, numpy_s=numpy_gram_seconds(r["n"], r["p"], np.dtype(r["dtype"]), products=1)
        )
    return machine, peaks, updates, grams, errors


def keep_best(best, current, keys):
    """Merges `current` into `best`, keeping the smallest time of each entry."""
    for shape, row in current.items():
        if shape not in best:
            best[shape] = dict(row)
            continue
        for key in keys:
            best[shape][key] = min(best[shape][key], row[key])


def main(argv):
    executable = argv[1] if len(argv) > 1 else DEFAULT_EXECUTABLE
    peaks, updates, grams, errors = {}, {}, {}, []
    for _ in range(ROUNDS):
        machine, round_peaks, round_updates, round_grams, round_errors = measure_round(executable)
        for dtype, gflops in round_peaks.items():
            peaks[dtype] = max(gflops, peaks.get(dtype, 0.0))
        keep_best(updates, round_updates, ("update_s", "numpy_s"))
        keep_best(grams, round_grams, ("median_s", "numpy_s"))
        errors += round_errors
    for row in updates.values():
        row["ratio"] = row["update_s"] / row["numpy_s"]
    for (n, p, _), row in grams.items():
        row["gflops"] = 2.0 * n * p * p / row["median_s"] * 1e-9

    print(
        f"threads: {machine['hardware_threads']} hardware, {machine['pool_threads']} in the"
        f" engine's pool; numpy {np.__version__}"
    )
    print("FMA peak (all threads): " + ", ".join(f"{d} {g:.1f} GFLOP/s" for d, g in peaks.items()))
    print(f"times are medians of repeated runs, best of {ROUNDS} alternating rounds\n")
    print_update_table(updates)
    print_gram_table(list(grams.values()), peaks)
    for r in errors:
        print(f"ERROR {r['kind']} ({r['n']}, {r['p']}) {r['dtype']}: {r['error']}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
