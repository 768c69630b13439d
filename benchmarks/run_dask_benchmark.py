"""Rows per second and accuracy of quillfen.dask on a local cluster, against one process.

The baseline is one process running StreamingHuberRegressor.partial_fit over the same partitions
(NumPy arrays already in memory, the process-wide pool on every core). The cluster has two worker
processes with one task thread each. Exact mode runs one partition at a time, so its estimator
keeps the worker's process-wide pool (every core); in parallel mode both workers fit at once, so
each estimator gets one engine thread. Either way every side uses every core. The partitions are generated on the workers and persisted before the clock
starts, so the timed fits read data that already lives where it is used, as on a real cluster.
Each fit is timed in alternating rounds and the median is kept, because the shared host's speed
drifts.

Accuracy: each fit against the full-data fit at the same scale (one StreamingHuberRegressor.fit
of all rows with `scale` fixed at the streaming fits' scale_), as the relative distance of the
coefficient vectors, and as the ratio of their errors to the true coefficients.

Usage: run_dask_benchmark.py   (QUILLFEN_BENCH_ROUNDS sets the number of rounds, default 3)
"""

import os
import platform
import statistics
import time

import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster, wait
from timing import cpu_name

import quillfen.dask
from quillfen import StreamingHuberRegressor
from quillfen.dask import _parallel

ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "3"))
N_PARTITIONS = 8
PARTITION_ROWS = 100_000
N_FEATURES = 20
FEATURES = [f"x{j}" for j in range(N_FEATURES)]
TRUE_COEF = np.linspace(-2.0, 2.0, N_FEATURES)


def make_partition(seed):
    """Heavy-tailed noise and 2 % gross errors; the same seed gives the same partition anywhere."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(rng.standard_normal((PARTITION_ROWS, N_FEATURES)), columns=FEATURES)
    y = frame.to_numpy() @ TRUE_COEF + 1.0 + rng.standard_t(3.0, PARTITION_ROWS)
    bad = rng.random(PARTITION_ROWS) < 0.02
    y[bad] += 50.0
    frame["y"] = y
    return frame


def params(model):
    return np.append(model.coef_, model.intercept_)


def one_process_fit(partitions):
    model = StreamingHuberRegressor()
    for part in partitions:
        model.partial_fit(part[FEATURES].to_numpy(), part["y"].to_numpy())
    return model


class RoundCounter:
    """Counts the refinement's rounds over the data (one gather of O(p^2) terms per partition)."""

    def __init__(self):
        self.count = 0
        self.original = _parallel.Rounds.terms

    def __enter__(self):
        counter = self

        def counting(rounds, coefficients):
            counter.count += 1
            return counter.original(rounds, coefficients)

        _parallel.Rounds.terms = counting
        return self

    def __exit__(self, *exc):
        _parallel.Rounds.terms = self.original


def main():
    rows = N_PARTITIONS * PARTITION_ROWS
    print(f"CPU: {cpu_name()} ({platform.machine()})")
    print(
        f"data: {N_PARTITIONS} partitions x {PARTITION_ROWS} rows x {N_FEATURES} features, "
        f"float64; cluster: 2 worker processes x 1 thread; {ROUNDS} rounds, medians"
    )
    partitions = [make_partition(seed) for seed in range(N_PARTITIONS)]
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
    client = Client(cluster)
    # Partitions made on the workers, spread evenly over them as a cluster's storage would be
    # (Dask itself may put most of them on one worker).
    workers = sorted(client.scheduler_info()["workers"])
    made = [
        client.submit(make_partition, seed, workers=[workers[seed % len(workers)]], pure=False)
        for seed in range(N_PARTITIONS)
    ]
    wait(made)
    frame = dd.from_delayed(made, meta=partitions[0].iloc[:0])
    one_thread = StreamingHuberRegressor(n_threads=1)

    fits = {
        "one process partial_fit": lambda: one_process_fit(partitions),
        "dask exact": lambda: quillfen.dask.fit(frame, target="y"),
        "dask parallel, refine=0": lambda: quillfen.dask.fit(
            frame, target="y", estimator=one_thread, mode="parallel", refine=0
        ),
        "dask parallel, refined": lambda: quillfen.dask.fit(
            frame, target="y", estimator=one_thread, mode="parallel"
        ),
    }
    times = {name: [] for name in fits}
    models = {}
    rounds_used = 0
    for _ in range(ROUNDS + 1):  # the first round warms up (imports, pools) and is not counted
        for name, run in fits.items():
            with RoundCounter() as counter:
                start = time.perf_counter()
                models[name] = run()
                times[name].append(time.perf_counter() - start)
            if name == "dask parallel, refined":
                rounds_used = counter.count
    client.close()
    cluster.close()

    reference_scale = models["dask exact"].scale_
    frame_all = pd.concat(partitions)
    full = StreamingHuberRegressor(scale=reference_scale).fit(
        frame_all[FEATURES].to_numpy(), frame_all["y"].to_numpy()
    )
    truth = np.append(TRUE_COEF, 1.0)
    full_error = np.linalg.norm(params(full) - truth)
    baseline = statistics.median(times["one process partial_fit"][1:])
    print(
        f"{'fit':<26}{'seconds':>9}{'rows/s':>12}{'vs one proc':>13}"
        f"{'rel. dist. to full fit':>24}{'error / full error':>20}"
    )
    for name, samples in times.items():
        seconds = statistics.median(samples[1:])
        model = models[name]
        distance = np.linalg.norm(params(model) - params(full)) / np.linalg.norm(params(full))
        ratio = np.linalg.norm(params(model) - truth) / full_error
        print(
            f"{name:<26}{seconds:>9.3f}{rows / seconds:>12.3g}{baseline / seconds:>13.2f}"
            f"{distance:>24.2e}{ratio:>20.6f}"
        )
    print(f"refined parallel fit: {rounds_used} rounds over the data after the merge")
    print(
        "one process and exact mode use the scale of the first partition; parallel mode too. "
        "The full-data fit uses that scale."
    )


if __name__ == "__main__":
    main()
