"""Runs the C++ update benchmark and sets it against numpy and the hardware in the same run.

The executable probes the machine (FMA peak at every vector width the CPU has, read bandwidth of
the memory and of the caches), times one full update per shape and element type with its Newton
iteration count k, a warm stream of 10000 x 50 updates, and the weighted Gram kernel alone.

Baselines, all measured in this run:
- numpy: an update costs roughly k + 1 curvature-weighted Gram products (one per iteration plus
  the final information increment), so it is set against numpy's k + 1 products
  ``X.T @ (w[:, None] * X)`` of the same shape and dtype (numpy at its best of default threads
  and one thread, see timing.numpy_seconds);
- the FMA peak: the Gram kernel's 2 n p^2 flops per second as a share of the peak of the widest
  FMA the CPU has (the engine's kernels use that width);
- the hardware floor of an update of an n x p batch of s-byte elements:

      floor = 4 * (2 n p^2) / peak  +  8 * (n p s) / bandwidth

  four Gram products at the FMA peak plus eight passes over the batch at the memory's read
  bandwidth (256 MB summed on all threads), what a warm update needs at the least.

The peak and the bandwidth are the best of short trials, each timed by the threads' own CPU time,
so the Gram kernel and the update set against them keep their best repetition too.

The host is shared and its speed drifts by tens of percent within a minute, so the engine and numpy
are measured in alternating rounds and each side keeps its best round: a slow spell then hurts
both sides alike instead of deciding the ratio. Nothing here fails on a missed target.

Usage: run_update_benchmark.py [path/to/quillfen_update_benchmark]
"""

import json
import os
import subprocess
import sys

import numpy as np
from timing import cpu_name, numpy_seconds, report_target, settle_blas

DEFAULT_EXECUTABLE = "build/bench/quillfen_update_benchmark"
ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "3"))

# Update time over numpy's k + 1 Gram products, float64 only.
RATIO_TARGETS = {(100000, 20): 2.0, (20000, 200): 1.5}
# float64 update time over float32 update time, on the same shapes.
FLOAT32_SPEEDUP_TARGET = 1.7
# Gram kernel's share of the measured FMA peak, both element types.
GRAM_PEAK_TARGETS = {(10000, 50): 0.50, (20000, 200): 0.70, (20000, 256): 0.50}
# Warm update time over its hardware floor, both element types.
FLOOR_TARGETS = {(10000, 50): 2.5}
FLOOR_GRAM_PRODUCTS = 4
FLOOR_PASSES = 8


def run_executable(path, *arguments):
    """The executable's JSON records, one per line of its output."""
    completed = subprocess.run([path, *arguments], stdout=subprocess.PIPE, text=True, check=True)
    return [json.loads(line) for line in completed.stdout.splitlines() if line.strip()]


def machine_figures(records):
    """Peak GFLOP/s per dtype (the widest FMA), each width's peak, and GB/s per buffer size."""
    widths = {(r["dtype"], r["bits"]): r["gflops"] for r in records if r["kind"] == "fma_peak"}
    peaks = {}
    for (dtype, _), gflops in widths.items():
        peaks[dtype] = max(gflops, peaks.get(dtype, 0.0))
    bandwidths = {r["bytes"]: r["gbytes_per_s"] for r in records if r["kind"] == "bandwidth"}
    return peaks, widths, bandwidths


def memory_bandwidth(bandwidths):
    """The read bandwidth of the largest buffer probed: the memory's."""
    return bandwidths[max(bandwidths)]


def floor_seconds(n, p, dtype, peak_gflops, bandwidth_gbs):
    """Hardware floor of one update: see the module's docstring for the formula."""
    flops = FLOOR_GRAM_PRODUCTS * 2.0 * n * p * p
    bytes_read = FLOOR_PASSES * n * p * np.dtype(dtype).itemsize
    return flops / (peak_gflops * 1e9) + bytes_read / (bandwidth_gbs * 1e9)


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

    return numpy_seconds(run)


def print_machine(machine, widths, bandwidths):
    print(f"CPU: {cpu_name()}")
    print(
        f"threads: {machine['hardware_threads']} hardware, {machine['pool_threads']} in the"
        f" engine's pool; kernels {machine['kernels']}; numpy {np.__version__}"
    )
    print(
        "FMA peak (all threads): "
        + ", ".join(f"{d} {bits}-bit {g:.1f} GFLOP/s" for (d, bits), g in sorted(widths.items()))
    )
    print(
        "read bandwidth (all threads): "
        + ", ".join(f"{b / 1e6:g} MB {g:.1f} GB/s" for b, g in sorted(bandwidths.items()))
    )
    print(f"times are medians of repeated runs, best of {ROUNDS} alternating rounds\n")


def print_update_table(updates):
    print("One update (penalty none, fresh state) against numpy's k + 1 weighted Gram products")
    header = f"{'shape':>14} {'dtype':>8} {'update ms':>10} {'k':>3} {'numpy ms':>10} {'ratio':>6}"
    print(header)
    print("-" * len(header))
    for (n, p, dtype), row in updates.items():
        print(
            f"{f'({n}, {p})':>14} {dtype:>8} {row['update_s'] * 1e3:>10.3f} {row['k']:>3}"
            f" {row['numpy_s'] * 1e3:>10.3f} {row['ratio']:>6.2f}"
        )
    for (n, p), target in RATIO_TARGETS.items():
        row = updates.get((n, p, "float64"))
        if row:
            report_target(
                f"update {n}x{p} float64 / numpy",
                f"{row['update_s'] * 1e3:.3f} ms / {row['numpy_s'] * 1e3:.3f} ms",
                row["ratio"],
                target,
            )
    for n, p in RATIO_TARGETS:
        f64, f32 = updates.get((n, p, "float64")), updates.get((n, p, "float32"))
        if f64 and f32:
            report_target(
                f"update {n}x{p} float32 speed-up",
                f"{f64['update_s'] * 1e3:.3f} ms / {f32['update_s'] * 1e3:.3f} ms",
                f64["update_s"] / f32["update_s"],
                FLOAT32_SPEEDUP_TARGET,
                at_most=False,
            )
    print()


def print_gram_table(grams, peaks):
    print(
        "Weighted Gram kernel alone (2 n p^2 flops, best repetition) against the measured FMA peak"
        " and numpy"
    )
    header = (
        f"{'shape':>14} {'dtype':>8} {'kernel ms':>10} {'GFLOP/s':>8} {'% peak':>7}"
        f" {'numpy GFLOP/s':>14}"
    )
    print(header)
    print("-" * len(header))
    for (n, p, dtype), row in grams.items():
        numpy_gflops = 2.0 * n * p * p / row["numpy_s"] * 1e-9
        print(
            f"{f'({n}, {p})':>14} {dtype:>8} {row['kernel_s'] * 1e3:>10.3f}"
            f" {row['gflops']:>8.1f} {row['gflops'] / peaks[dtype]:>7.1%} {numpy_gflops:>14.1f}"
        )
    for (n, p, dtype), row in grams.items():
        target = GRAM_PEAK_TARGETS.get((n, p))
        if target is not None:
            report_target(
                f"Gram {n}x{p} {dtype} share of FMA peak",
                f"{row['gflops']:.1f} / {peaks[dtype]:.1f} GFLOP/s",
                row["gflops"] / peaks[dtype],
                target,
                at_most=False,
            )
    print()


def print_floor_table(streams, peaks, bandwidth):
    print(
        f"Warm stream update (best repetition) against its floor: {FLOOR_GRAM_PRODUCTS} Gram"
        f" products at the FMA peak + {FLOOR_PASSES} passes over the batch at {bandwidth:.1f} GB/s"
    )
    header = (
        f"{'shape':>14} {'dtype':>8} {'update ms':>10} {'mean k':>7} {'Gram ms':>8}"
        f" {'passes ms':>10} {'floor ms':>9} {'ratio':>6}"
    )
    print(header)
    print("-" * len(header))
    for (n, p, dtype), row in streams.items():
        gram_s = floor_seconds(n, p, dtype, peaks[dtype], float("inf"))
        floor = floor_seconds(n, p, dtype, peaks[dtype], bandwidth)
        row["floor_s"] = floor
        print(
            f"{f'({n}, {p})':>14} {dtype:>8} {row['update_s'] * 1e3:>10.3f}"
            f" {row['iterations']:>7.2f} {gram_s * 1e3:>8.3f} {(floor - gram_s) * 1e3:>10.3f}"
            f" {floor * 1e3:>9.3f} {row['update_s'] / floor:>6.2f}"
        )
    for (n, p, dtype), row in streams.items():
        target = FLOOR_TARGETS.get((n, p))
        if target is not None:
            report_target(
                f"update {n}x{p} {dtype} / hardware floor",
                f"{row['update_s'] * 1e3:.3f} ms / {row['floor_s'] * 1e3:.3f} ms",
                row["update_s"] / row["floor_s"],
                target,
            )
    print()


def measure_round(executable):
    """One run of the executable followed by the matching numpy measurements."""
    settle_blas()
    records = run_executable(executable)
    errors = [r for r in records if "error" in r]
    updates, grams, streams = {}, {}, {}
    for r in records:
        if "error" in r:
            continue
        key = (r.get("n"), r.get("p"), r.get("dtype"))
        if r["kind"] == "update":
            k = r["iterations"]
            updates[key] = {
                "update_s": r["median_s"],
                "k": k,
                "numpy_s": numpy_gram_seconds(*key, products=k + 1),
            }
        elif r["kind"] == "gram":
            # Set against a peak that is itself the best of its trials: the best repetition.
            grams[key] = {"kernel_s": r["best_s"], "numpy_s": numpy_gram_seconds(*key, 1)}
        elif r["kind"] == "stream" and key[:2] in FLOOR_TARGETS:
            streams[key] = {"update_s": r["best_s"], "iterations": r["iterations"]}
    return records, updates, grams, streams, errors


def keep_best(best, current, keys):
    """Merges `current` into `best`, keeping the smallest value of each of `keys`."""
    for shape, row in current.items():
        if shape not in best:
            best[shape] = dict(row)
            continue
        for key in keys:
            best[shape][key] = min(best[shape][key], row[key])


def main(argv):
    executable = argv[1] if len(argv) > 1 else DEFAULT_EXECUTABLE
    peaks, widths, bandwidths, updates, grams, streams, errors = {}, {}, {}, {}, {}, {}, []
    for _ in range(ROUNDS):
        records, round_updates, round_grams, round_streams, round_errors = measure_round(executable)
        machine = next(r for r in records if r["kind"] == "machine")
        round_peaks, round_widths, round_bandwidths = machine_figures(records)
        for best, current in ((peaks, round_peaks), (widths, round_widths)):
            for key, value in current.items():
                best[key] = max(value, best.get(key, 0.0))
        for size, value in round_bandwidths.items():
            bandwidths[size] = max(value, bandwidths.get(size, 0.0))
        keep_best(updates, round_updates, ("update_s", "numpy_s"))
        keep_best(grams, round_grams, ("kernel_s", "numpy_s"))
        keep_best(streams, round_streams, ("update_s",))
        errors += round_errors
    for row in updates.values():
        row["ratio"] = row["update_s"] / row["numpy_s"]
    for (n, p, _), row in grams.items():
        row["gflops"] = 2.0 * n * p * p / row["kernel_s"] * 1e-9

    print_machine(machine, widths, bandwidths)
    print_update_table(updates)
    print_gram_table(grams, peaks)
    print_floor_table(streams, peaks, memory_bandwidth(bandwidths))
    for r in errors:
        print(f"ERROR {r['kind']} ({r['n']}, {r['p']}) {r['dtype']}: {r['error']}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
