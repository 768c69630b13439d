"""Streams a large Parquet file through `quillfen fit` and compares it with in-memory fitting.

Measured in one run, on one file (generated once into build/bench/, never committed):
- the command line: `quillfen fit FILE --target y --quiet` in a child process, its wall time and
  peak resident memory (the child's own ru_maxrss);
- the estimator's in-memory `partial_fit` on the same batches: a child process reads each batch
  (untimed) into a C-ordered float64 array and times only `partial_fit`;
- the peer a pandas user would write: Arrow record batches turned into pandas chunks
  (`to_pandas`), fed to scikit-learn's `SGDRegressor.partial_fit`; read and fit timed together.

Each measurement runs in its own process so that peak memory is its own. The host is shared, so
the command line and the in-memory fit alternate for QUILLFEN_BENCH_ROUNDS rounds (default 1)
and each keeps its best round. Targets are printed next to the results (and recorded for
`make bench`'s summary, see timing.py); nothing fails here.
benchmarks/run_command_line_benchmark.py runs the same measurement on a smaller file.

Usage: run_streaming_benchmark.py [ROWS]   (default 10000000 rows of 20 features)
"""

import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from timing import cpu_name, report_target

N_FEATURES = 20
BATCH_ROWS = 100_000
ROW_GROUP_ROWS = 100_000
ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "1"))
THROUGHPUT_TARGET = 0.80
FEATURES = [f"x{j}" for j in range(N_FEATURES)]
BENCH_DIRECTORY = Path("build/bench")

# The command as the console script runs it, timed after the imports that any Python program
# using the estimator pays once (the process's total wall time is reported as well). Prints the
# seconds and CPU seconds of the command itself.
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

# What `quillfen fit` imports, reading nothing: the floor of its peak memory.
IMPORTS_CHILD = (
    "import numpy, pyarrow.parquet, sklearn.linear_model, quillfen, quillfen.cli; "
    "quillfen.StreamingHuberRegressor"
)


def synthetic_chunks(rows):
    """(x, y) chunks of ROW_GROUP_ROWS rows: heavy-tailed noise and 3 % gross errors."""
    rng = np.random.default_rng(10)
    coef = rng.normal(0.0, 1.0, N_FEATURES)
    for start in range(0, rows, ROW_GROUP_ROWS):
        n = min(ROW_GROUP_ROWS, rows - start)
        x = rng.standard_normal((n, N_FEATURES))
        y = x @ coef + 1.0 + rng.standard_t(2.5, n)
        y[rng.random(n) < 0.03] += 50.0
        yield x, y


def data_file(rows, suffix=".parquet"):
    """build/bench's file of `rows` synthetic rows (Parquet or CSV), written on first use."""
    import pyarrow as pa
    import pyarrow.csv as pa_csv
    import pyarrow.parquet as pq

    path = BENCH_DIRECTORY / f"stream_{rows}x{N_FEATURES}{suffix}"
    if path.exists():
        return path
    start = time.perf_counter()
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(f".{path.name}.partial")
    schema = pa.schema([(name, pa.float64()) for name in [*FEATURES, "y"]])
    writer_class = pq.ParquetWriter if suffix == ".parquet" else pa_csv.CSVWriter
    with writer_class(partial, schema) as writer:
        for x, y in synthetic_chunks(rows):
            columns = [pa.array(x[:, j]) for j in range(N_FEATURES)] + [pa.array(y)]
            writer.write_table(pa.Table.from_arrays(columns, schema=schema))
    partial.replace(path)
    size = path.stat().st_size / 2**20
    print(f"generated {path} ({size:.0f} MiB) in {time.perf_counter() - start:.0f} s")
    return path


def run_child(argv):
    """Wall seconds, standard output and the child's own peak RSS in KiB."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=errors, text=True)
        out = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        child.stdout.close()
        if child.returncode != 0:
            errors.seek(0)
            message = errors.read().decode(errors="replace")[-2000:]
            raise RuntimeError(f"{argv[:4]} failed with status {child.returncode}:\n{message}")
    return seconds, out, usage.ru_maxrss


def command_line_argv(path, extra=()):
    """The child that runs `quillfen fit PATH --target y --quiet` timed after its imports."""
    model = BENCH_DIRECTORY / "stream_model.npz"
    return [
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
        *extra,
    ]


def measure_parquet_stream(path, rounds):
    """Best seconds (and CPU seconds) of `quillfen fit` and of in-memory partial_fit on `path`,
    alternating for `rounds` rounds, and of the pandas peer once; the command's peak RSS."""
    figures = dict(cli=np.inf, cli_cpu=np.inf, cli_wall=np.inf, memory=np.inf, memory_cpu=np.inf)
    figures["cli_peak"] = 0
    for _ in range(rounds):
        wall, out, peak = run_child(command_line_argv(path))
        seconds, cpu = map(float, out.split()[:2])
        figures["cli"] = min(figures["cli"], seconds)
        figures["cli_cpu"] = min(figures["cli_cpu"], cpu)
        figures["cli_wall"] = min(figures["cli_wall"], wall)
        figures["cli_peak"] = max(figures["cli_peak"], peak)
        _, out, _ = run_child(
            [sys.executable, "-c", IN_MEMORY_CHILD, str(path), str(BATCH_ROWS), ",".join(FEATURES)]
        )
        seconds, cpu = map(float, out.split()[:2])
        figures["memory"] = min(figures["memory"], seconds)
        figures["memory_cpu"] = min(figures["memory_cpu"], cpu)
    _, out, _ = run_child(
        [sys.executable, "-c", PANDAS_PEER_CHILD, str(path), str(BATCH_ROWS), ",".join(FEATURES)]
    )
    figures["peer"] = float(out.split()[0])
    return figures


def rate(rows, seconds):
    return f"{rows / seconds / 1e6:6.2f} M rows/s ({seconds:6.1f} s)"


def report_parquet_stream(rows, figures, name="quillfen fit Parquet / in-memory partial_fit"):
    """Print the Parquet stream's figures and its throughput target."""
    print(f"quillfen fit (stream from Parquet)       {rate(rows, figures['cli'])}")
    print(f"  the same, whole process with imports   {rate(rows, figures['cli_wall'])}")
    print(f"partial_fit alone (in-memory batches)    {rate(rows, figures['memory'])}")
    print(f"pandas chunks + SGDRegressor.partial_fit {rate(rows, figures['peer'])}")
    cli_cpu, memory_cpu = figures["cli_cpu"], figures["memory_cpu"]
    print(
        f"CPU seconds (all threads): quillfen fit {cli_cpu:.1f}, partial_fit alone "
        f"{memory_cpu:.1f}; ratio {memory_cpu / cli_cpu:.2f} (on a shared host, the work each "
        "side does)"
    )
    print(f"quillfen fit / pandas + SGDRegressor speed: {figures['peer'] / figures['cli']:.2f} x")
    ratio = figures["memory"] / figures["cli"]
    measured = f"{rate(rows, figures['cli']).split('(')[0].strip()} / {figures['memory']:.2f} s"
    report_target(name, measured, ratio, THROUGHPUT_TARGET, at_most=False)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    path = data_file(rows)
    print(f"CPU: {cpu_name()} ({platform.python_implementation()} {platform.python_version()})")
    print(
        f"data: {rows} rows x {N_FEATURES} float64 features + target, batches of {BATCH_ROWS} rows"
    )
    baseline = run_child([sys.executable, "-c", IMPORTS_CHILD])[2]
    figures = measure_parquet_stream(path, ROUNDS)
    report_parquet_stream(rows, figures)
    batch_mib = BATCH_ROWS * (N_FEATURES + 1) * 8 / 2**20
    extra = (figures["cli_peak"] - baseline) / 1024
    print(
        f"peak RSS of quillfen fit: {figures['cli_peak'] / 1024:.0f} MiB; after imports "
        f"({baseline / 1024:.0f} MiB): {extra:.0f} MiB = {extra / batch_mib:.1f} batches of "
        f"{batch_mib:.1f} MiB (the file: {path.stat().st_size / 2**20:.0f} MiB)"
    )


if __name__ == "__main__":
    main()
