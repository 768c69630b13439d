"""Timing helpers shared by the benchmark scripts."""

import statistics
import time


def median_seconds(run, setup=None, budget_s=1.0, min_reps=5, max_reps=200):
    """Median wall time of `run`, each call timed alone after an untimed `setup`.

    One untimed call warms up (workspace sizes, worker threads) and sizes the repetition count.
    """
    if setup:
        setup()
    start = time.perf_counter()
    run()
    first = max(time.perf_counter() - start, 1e-9)
    reps = min(max(int(budget_s / first), min_reps), max_reps)
    samples = []
    for _ in range(reps):
        if setup:
            setup()
        start = time.perf_counter()
        run()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def verdict(ok):
    return "ok" if ok else "MISS"
