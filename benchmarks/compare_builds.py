"""Sets the default build against a build for this machine and against baseline kernels alone.

The default build compiles everything for the x86-64-v2 baseline and its hot kernels also for
x86-64-v3 and x86-64-v4, choosing the best the CPU runs at first use. This script times the same
engine cases (updates, a stream of 1000 × 10 updates, predict; benchmarks/update_benchmark.cpp)
with three executables in one run:

- dispatch: the default build;
- native: the whole library built with -march=native (QUILLFEN_NATIVE_ARCH=ON);
- v2 only: the default build with its kernels held at x86-64-v2 (QUILLFEN_FORCE_TARGET), which
  is what a portable build gave before the kernels were dispatched.

The rounds alternate between the three, so a slow spell of the shared host hits all alike; each
case keeps its best round. Targets: dispatch within 5 % of native; nothing fails on a miss.

Usage: compare_builds.py <dispatching benchmark> <native benchmark>
"""

import json
import os
import subprocess
import sys

from timing import cpu_name, report_target

ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "3"))
NATIVE_TARGET = 1.05  # dispatch time over native time


def run_cases(executable, environment):
    env = dict(os.environ)
    env.update(environment)
    completed = subprocess.run(
        [executable, "engine"], stdout=subprocess.PIPE, text=True, check=True, env=env
    )
    records = [json.loads(line) for line in completed.stdout.splitlines() if line.strip()]
    machine = next(r for r in records if r["kind"] == "machine")
    cases = {
        (r["kind"], r["n"], r["p"], r["dtype"]): r["median_s"]
        for r in records
        if r["kind"] != "machine" and "error" not in r
    }
    return machine["kernels"], cases


def main(dispatching, native):
    configurations = {
        "dispatch": (dispatching, {}),
        "native": (native, {}),
        "v2 only": (dispatching, {"QUILLFEN_FORCE_TARGET": "x86-64-v2"}),
    }
    best = {name: {} for name in configurations}
    kernels = {}
    for _ in range(ROUNDS):
        for name, (executable, environment) in configurations.items():
            kernels[name], cases = run_cases(executable, environment)
            for case, seconds in cases.items():
                best[name][case] = min(seconds, best[name].get(case, seconds))

    print(f"\nBuilds compared on {cpu_name()}, best of {ROUNDS}")
    print("kernels: " + ", ".join(f"{name} = {target}" for name, target in kernels.items()))
    header = f"{'case':<28}{'dispatch ms':>12}{'native ms':>11}{'v2 only ms':>12}"
    print(header + f"{'dispatch/native':>17}{'v2/dispatch':>13}")
    for case in best["dispatch"]:
        kind, n, p, dtype = case
        dispatch, native_time, baseline = (
            best[name].get(case, float("nan")) for name in configurations
        )
        print(
            f"{f'{kind} {n}x{p} {dtype}':<28}{dispatch * 1e3:>12.3f}{native_time * 1e3:>11.3f}"
            f"{baseline * 1e3:>12.3f}{dispatch / native_time:>17.3f}{baseline / dispatch:>12.2f}x"
        )
    for case in best["dispatch"]:
        kind, n, p, dtype = case
        dispatch, native_time = best["dispatch"][case], best["native"].get(case, float("nan"))
        report_target(
            f"{kind} {n}x{p} {dtype} dispatch / native",
            f"{dispatch * 1e3:.3f} ms / {native_time * 1e3:.3f} ms",
            dispatch / native_time,
            NATIVE_TARGET,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
