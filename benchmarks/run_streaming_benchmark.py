"""Streams a large Parquet file through `quillfen fit` and compares it with in-memory fitting.

Measured in one run, on one file (generated once into build/bench/, never committed):
- the command line: `quillfen fit FILE --target y --quiet` in a child process, its wall time and
  peak resident memory (`resource`, ru_maxrss of the child);
- the estimator's in-memory `partial_fit` on the same batches: a child process reads each batch
  (untimed) into a C-ordered float64 array and times only `partial_fit`;
- the peer a pandas user would write: Arrow record batches turned into pandas chunks
  (`to_pandas`), fed to scikit-learn's `SGDRegressor.partial_fit`; read and fit timed together.

Each measurement runs in its own process so that peak memory is its own. The host is shared, so
the command line and the in-memory fit alternate for QUILLFEN_BENCH_ROUNDS rounds (default 1)
and each keeps its best round. Targets are printed next to the results; nothing fails here.

Usage: run_streaming_benchmark.py [ROWS]   (default 10000000 rows of 20 features)
"""

import os
import platform
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from timing import cpu_name, verdict

N_FEATURES = 20
BATCH_ROWS = 100_000
ROW_GROUP_ROWS = 100_000
ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "1"))
THROUGHPUT_TARGET = 0.70
FEATURES = [f"x{j}" for j in range(N_FEATURES)]

# The command as the console script runs it, timed after the imports that any Python program
# using the estimator pays once (the process's total wall time is reported as well).
COMMAND_LINE_CHILD = """
import resource, sys, time
import pyarrow.parquet, quillfen, quillfen.cli
quillfen.StreamingHuberRegressor
def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
start, start_cpu = time.perf_counter(), cpu()
status = quillfen.cli.main(sys.argv[1:])
print(time.perf_counter() - start, cpu() - start_cpu)
sys.exit(status)
"""

IN_MEMORY_CHILD = """
import resource, sys, time
import numpy as np, pyarrow.parquet as pq
from quillfen import StreamingHuberRegressor
def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
path, batch_rows, features = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(",")
estimator = StreamingHuberRegressor()
spent = spent_cpu = 0.0
for records in pq.ParquetFile(path).iter_batches(batch_size=batch_rows):
    x = np.column_stack([records.column(c).to_numpy() for c in features])
    y = records.column("y").to_numpy()
    start, start_cpu = time.perf_counter(), cpu()
    estimator.partial_fit(x, y)
    spent += time.perf_counter() - start
    spent_cpu += cpu() - start_cpu
print(spent, spent_cpu)
"""

PANDAS_PEER_CHILD = """
import sys, time
import pyarrow.parquet as pq
from sklearn.linear_model import SGDRegressor
path, batch_rows, features = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(",")
start = time.perf_counter()
model = SGDRegressor(loss="huber", random_state=0)
rows = 0
for records in pq.ParquetFile(path).iter_batches(batch_size=batch_rows):
    chunk = records.to_pandas()
    model.partial_fit(chunk[features], chunk["y"])
    rows += len(chunk)
print(time.perf_counter() - start, rows)
"""


def generate(path: Path, rows: int) -> None:
    """Heavy-tailed noise and 3% gross errors, written in row groups of ROW_GROUP_ROWS rows."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng(10)
    coef = rng.normal(0.0, 1.0, N_FEATURES)
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(f".{path.name}.partial")
    schema = pa.schema([(name, pa.float64()) for name in [*FEATURES, "y"]])
    with pq.ParquetWriter(partial, schema) as writer:
        for start in range(0, rows, ROW_GROUP_ROWS):
            n = min(ROW_GROUP_ROWS, rows - start)
            x = rng.standard_normal((n, N_FEATURES))
            y = x @ coef + 1.0 + rng.standard_t(2.5, n)
            y[rng.random(n) < 0.03] += 50.0
            columns = [pa.array(x[:, j]) for j in range(N_FEATURES)] + [pa.array(y)]
            writer.write_table(pa.Table.from_arrays(columns, schema=schema))
    partial.replace(path)


def run_child(argv: list[str]) -> tuple[float, str, int]:
    """Wall seconds, standard output and peak RSS in KiB of one child process."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    done = subprocess.run(argv, capture_output=True, text=True, check=True)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    # ru_maxrss of children is the largest child so far: only a new maximum is this child's.
    return seconds, done.stdout, peak if peak > before else -1


def baseline_rss_kib() -> int:
    """Peak RSS of a child that imports what `quillfen fit` imports and reads nothing."""
    code = "import numpy, pyarrow.parquet, sklearn.linear_model, quillfen; quillfen.StreamingHuberRegressor"
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    subprocess.run([sys.executable, "-c", code], check=True)
    return max(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, before)


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    path = Path("build/bench") / f"stream_{rows}x{N_FEATURES}.parquet"
    if not path.exists():
        start = time.perf_counter()
        generate(path, rows)
        print(
            f"generated {path} ({path.stat().st_size / 2**20:.0f} MiB) in {time.perf_counter() - start:.0f} s"
        )
    print(f"CPU: {cpu_name()} ({platform.python_implementation()} {platform.python_version()})")
    print(
        f"data: {rows} rows x {N_FEATURES} float64 features + target, batches of {BATCH_ROWS} rows"
    )

    # The import baseline first: ru_maxrss of children only grows, so smaller children go first.
    baseline = baseline_rss_kib()
    batch_mib = BATCH_ROWS * (N_FEATURES + 1) * 8 / 2**20
    cli_best = cli_wall = cli_cpu = memory_best = memory_cpu = float("inf")
    cli_peak = 0
    model = path.with_name("stream_model.npz")
    for _ in range(ROUNDS):
        wall, out, peak = run_child(
            [
                sys.executable,
                "-c",
                COMMAND_LINE_CHILD,
                "fit",
                str(path),
                "--target",
                "y",
                "--quiet",
                "--batch-rows",
                str(BATCH_ROWS),
                "--out",
                str(model),
            ]
        )
        cli_best = min(cli_best, float(out.split()[0]))
        cli_cpu = min(cli_cpu, float(out.split()[1]))
        cli_wall = min(cli_wall, wall)
        cli_peak = max(cli_peak, peak)
        _, out, _ = run_child(
            [sys.executable, "-c", IN_MEMORY_CHILD, str(path), str(BATCH_ROWS), ",".join(FEATURES)]
        )
        memory_best = min(memory_best, float(out.split()[0]))
        memory_cpu = min(memory_cpu, float(out.split()[1]))
    _, out, _ = run_child(
        [sys.executable, "-c", PANDAS_PEER_CHILD, str(path), str(BATCH_ROWS), ",".join(FEATURES)]
    )
    peer_seconds = float(out.split()[0])

    def rate(seconds: float) -> str:
        return f"{rows / seconds / 1e6:6.2f} M rows/s ({seconds:6.1f} s)"

    ratio = memory_best / cli_best
    print(f"quillfen fit (stream from Parquet)       {rate(cli_best)}")
    print(f"  the same, whole process with imports   {rate(cli_wall)}")
    print(f"partial_fit alone (in-memory batches)    {rate(memory_best)}")
    print(f"pandas chunks + SGDRegressor.partial_fit {rate(peer_seconds)}")
    print(
        f"throughput of quillfen fit / in-memory partial_fit: {ratio:.2f} "
        f"(target >= {THROUGHPUT_TARGET:.2f}: {verdict(ratio >= THROUGHPUT_TARGET)})"
    )
    print(
        f"CPU seconds (all threads): quillfen fit {cli_cpu:.1f}, partial_fit alone {memory_cpu:.1f};"
        f" ratio {memory_cpu / cli_cpu:.2f} (on a shared host, the work each side does)"
    )
    print(f"quillfen fit / pandas + SGDRegressor speed: {peer_seconds / cli_best:.2f} x")
    if cli_peak > 0:
        extra = (cli_peak - baseline) / 1024
        print(
            f"peak RSS of quillfen fit: {cli_peak / 1024:.0f} MiB; after imports ({baseline / 1024:.0f} MiB): "
            f"{extra:.0f} MiB = {extra / batch_mib:.1f} batches of {batch_mib:.1f} MiB "
            f"(the file: {path.stat().st_size / 2**20:.0f} MiB)"
        )


if __name__ == "__main__":
    main()
