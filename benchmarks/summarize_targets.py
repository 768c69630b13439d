"""Prints every target of one `make bench` run together, each with its verdict.

The benchmark scripts add their targets to the file named by QUILLFEN_BENCH_TARGETS (one JSON
object a line, see benchmarks/timing.py); this prints them under the CPU's name and counts the
misses, and the host's load average, since other work on a shared host moves the figures. It exits
0 either way: a benchmark on a shared host reports, it does not gate.

Usage: summarize_targets.py <targets file>
"""

import json
import os
import sys

from timing import cpu_name, format_target


def main(path):
    with open(path) as targets:
        records = [json.loads(line) for line in targets if line.strip()]
    print(f"Targets of this run on {cpu_name()}")
    print(f"  {'target':<46} {'measured':<36} {'figure':>7} {'bound':>8}")
    for r in records:
        print(
            format_target(r["name"], r["measured"], r["ratio"], r["limit"], r["at_most"], r["ok"])
        )
    misses = sum(not r["ok"] for r in records)
    print(f"{len(records) - misses} of {len(records)} targets hold, {misses} MISS")
    # Other work on the host slows the engine's fork-join kernels more than their baselines.
    load = ", ".join(f"{value:.1f}" for value in os.getloadavg())
    print(f"load average over the last 1, 5, 15 minutes: {load} on {os.cpu_count()} logical CPUs")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
