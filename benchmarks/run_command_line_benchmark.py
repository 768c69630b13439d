"""Times the `quillfen` command line: its start-up, and its Parquet and CSV throughput.

Measured in one run, each side in its own child process, alternating for QUILLFEN_BENCH_ROUNDS
rounds (default 3) with the best round kept, since the host is shared:
- start-up: `python -m quillfen fit` on a file of one small batch (1000 x 20), from process start
  to the end, less that batch's own first `partial_fit` (timed in a child after its imports);
  against `python -c 'import numpy, pyarrow'`, the floor of any Python reader of Arrow data.
  The fit's imports, heaviest first, are printed from `python -X importtime`;
- Parquet: `quillfen fit` against in-memory `partial_fit` of the same batches
  (run_streaming_benchmark.py's measurement, on a smaller file);
- CSV: `quillfen fit` against what a pandas user would write, `pandas.read_csv(chunksize=...)`
  chunks fed to scikit-learn's `SGDRegressor.partial_fit`, both timed after their imports.
Files are generated once into build/bench/. Targets are printed and recorded (timing.py);
nothing fails here.

Usage: run_command_line_benchmark.py [PARQUET_ROWS [CSV_ROWS]]   (default 1000000 and 500000)
"""

import os
import platform
import re
import subprocess
import sys
from collections import defaultdict

from run_streaming_benchmark import (
    BATCH_ROWS,
    BENCH_DIRECTORY,
    FEATURES,
    N_FEATURES,
    command_line_argv,
    data_file,
    measure_parquet_stream,
    rate,
    report_parquet_stream,
    run_child,
)
from timing import cpu_name, report_target

ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "3"))
START_UP_ROUNDS = 5
START_UP_ROWS = 1000
START_UP_ALLOWANCE_S = 0.3
# Top-level modules whose import the command line's fit should not need.
UNWANTED = ("matplotlib", "tqdm", "pandas", "dask", "distributed", "sklearn", "scipy")

FIRST_BATCH_CHILD = """
import sys, time
import pyarrow.parquet as pq
from quillfen import StreamingHuberRegressor
import numpy as np
table = pq.read_table(sys.argv[1])
x = np.column_stack([table[name].to_numpy() for name in table.column_names if name != "y"])
y = table["y"].to_numpy()
start = time.perf_counter()
StreamingHuberRegressor().partial_fit(x, y)
print(time.perf_counter() - start)
"""

PANDAS_CSV_PEER_CHILD = """
import resource, sys, time
import pandas as pd
from sklearn.linear_model import SGDRegressor
def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
path, batch_rows, features = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(",")
start, start_cpu = time.perf_counter(), cpu()
model = SGDRegressor(loss="huber", random_state=0)
for chunk in pd.read_csv(path, chunksize=batch_rows):
    model.partial_fit(chunk[features], chunk["y"])
print(time.perf_counter() - start, cpu() - start_cpu)
"""


def best_wall(argv, rounds):
    return min(run_child(argv)[0] for _ in range(rounds))


def import_costs(argv):
    """Seconds each top-level package (its modules' own import times summed) takes to import in
    `argv`, a `python -X importtime` command line, heaviest first."""
    done = subprocess.run(argv, capture_output=True, text=True, check=True)
    costs = defaultdict(float)
    for line in done.stderr.splitlines():
        match = re.match(r"import time:\s+(\d+) \|\s+\d+ \|\s*(\S+)", line)
        if match:
            costs[match.group(2).split(".")[0]] += int(match.group(1)) / 1e6
    return sorted(costs.items(), key=lambda item: -item[1])


def start_up():
    path = data_file(START_UP_ROWS)
    model = BENCH_DIRECTORY / "start_up_model.npz"
    fit = ["-m", "quillfen", "fit", str(path), "--target", "y", "--quiet", "--out", str(model)]
    baseline = whole = first_batch = float("inf")
    for _ in range(START_UP_ROUNDS):
        baseline = min(baseline, run_child([sys.executable, "-c", "import numpy, pyarrow"])[0])
        whole = min(whole, run_child([sys.executable, *fit])[0])
        out = run_child([sys.executable, "-c", FIRST_BATCH_CHILD, str(path)])[1]
        first_batch = min(first_batch, float(out))
    to_first_batch = whole - first_batch
    print(
        f"start-up: quillfen fit of one {START_UP_ROWS} x {N_FEATURES} batch {whole:.3f} s, less "
        f"the batch's own partial_fit {first_batch:.3f} s = {to_first_batch:.3f} s; "
        f"python -c 'import numpy, pyarrow' {baseline:.3f} s"
    )
    costs = import_costs([sys.executable, "-X", "importtime", *fit])
    print(
        "  its imports (s, by package): "
        + ", ".join(f"{name} {seconds:.3f}" for name, seconds in costs[:8])
    )
    unwanted = [name for name, _ in costs if name in UNWANTED]
    print(f"  imported though not needed to fit: {', '.join(unwanted) or 'none'}")
    report_target(
        "fit start-up - numpy+pyarrow import, s",
        f"{to_first_batch:.3f} s / {baseline:.3f} s",
        to_first_batch - baseline,
        START_UP_ALLOWANCE_S,
    )


def csv_throughput(rows):
    path = data_file(rows, ".csv")
    cli = cli_cpu = peer = peer_cpu = float("inf")
    peer_argv = [
        sys.executable,
        "-c",
        PANDAS_CSV_PEER_CHILD,
        str(path),
        str(BATCH_ROWS),
        ",".join(FEATURES),
    ]
    for _ in range(ROUNDS):
        seconds, cpu = map(float, run_child(command_line_argv(path))[1].split()[:2])
        cli, cli_cpu = min(cli, seconds), min(cli_cpu, cpu)
        seconds, cpu = map(float, run_child(peer_argv)[1].split()[:2])
        peer, peer_cpu = min(peer, seconds), min(peer_cpu, cpu)
    print(f"quillfen fit (stream from CSV)            {rate(rows, cli)}, {cli_cpu:.1f} CPU s")
    print(f"pandas read_csv chunks + SGDRegressor     {rate(rows, peer)}, {peer_cpu:.1f} CPU s")
    report_target(
        "quillfen fit CSV / pandas + SGDRegressor",
        f"{cli:.2f} s / {peer:.2f} s",
        peer / cli,
        1.0,
        at_most=False,
    )


def main():
    parquet_rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    csv_rows = int(sys.argv[2]) if len(sys.argv) > 2 else 500_000
    print(f"CPU: {cpu_name()} ({platform.python_implementation()} {platform.python_version()})")
    print(f"{N_FEATURES} float64 features + target, batches of {BATCH_ROWS} rows")
    start_up()
    print(f"Parquet: {parquet_rows} rows")
    report_parquet_stream(parquet_rows, measure_parquet_stream(data_file(parquet_rows), ROUNDS))
    print(f"CSV: {csv_rows} rows")
    csv_throughput(csv_rows)


if __name__ == "__main__":
    main()
