"""Timing, machine and target helpers shared by the benchmark scripts."""

import json
import os
import platform
import statistics
import subprocess
import time

from threadpoolctl import threadpool_limits

# Where the scripts of one `make bench` run collect their targets for the closing summary
# (benchmarks/summarize_targets.py); unset, targets are only printed.
TARGETS_FILE_VARIABLE = "QUILLFEN_BENCH_TARGETS"

# OpenBLAS's threads keep polling for work for about a tenth of a second after each call, and on a
# small machine they take processor time from whatever runs next (a 2-core machine's engine predict
# measured 1.9 x slower right after numpy's than after a pause). Every measurement starts after
# they have gone back to sleep.
BLAS_SETTLE_S = 0.25


def settle_blas():
    """Waits until the BLAS threads of earlier numpy calls have stopped polling for work."""
    time.sleep(BLAS_SETTLE_S)


def median_seconds(run, setup=None, budget_s=1.0, min_reps=5, max_reps=200):
    """Median wall time of `run`, each call timed alone after an untimed `setup`.

    One untimed call warms up (workspace sizes, worker threads) and sizes the repetition count.
    """
    settle_blas()
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


def numpy_seconds(run, budget_s=1.0, max_reps=200):
    """Median time of a numpy call at its best: with its BLAS's default threads or with one.

    A multithreaded BLAS waits at every call for all its threads, so on a shared host whose other
    work holds a core a small product can take many times its time on one thread. The baseline is
    the faster of the two, which never flatters the engine.
    """
    default = median_seconds(run, budget_s=budget_s / 2, max_reps=max_reps)
    with threadpool_limits(limits=1, user_api="blas"):
        single = median_seconds(run, budget_s=budget_s / 2, max_reps=max_reps)
    return min(default, single)


def verdict(ok):
    return "ok" if ok else "MISS"


def _zen_generation(family, model):
    """AMD's core generation from the CPUID family and model, where it is one of the Zen cores."""
    if family == 23:
        return "Zen 2" if model >= 0x30 else "Zen"
    if family == 25:
        zen4 = 0x10 <= model <= 0x1F or 0x60 <= model <= 0xAF
        return "Zen 4" if zen4 else "Zen 3"
    if family == 26:
        return "Zen 5"
    return None


def _hypervisor():
    """The hypervisor's name as lscpu reports it (e.g. KVM), or None on bare metal."""
    try:
        completed = subprocess.run(["lscpu"], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    for line in completed.stdout.splitlines():
        key, _, value = line.partition(":")
        if key.strip() == "Hypervisor vendor":
            return value.strip()
    return None


def cpu_name():
    """The CPU as the benchmarks name it.

    For example "AMD EPYC (family 25 model 17, Zen 4, AVX-512), 2 logical CPUs, KVM".
    """
    fields = {}
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        return f"{platform.processor() or 'unknown CPU'}, {os.cpu_count()} logical CPUs"
    features = fields.get("flags", "").split()
    widest = "AVX-512" if "avx512f" in features else "AVX2" if "avx2" in features else "SSE"
    family, model = fields.get("cpu family", "?"), fields.get("model", "?")
    details = [f"family {family} model {model}"]
    if fields.get("vendor_id") == "AuthenticAMD" and family.isdigit() and model.isdigit():
        generation = _zen_generation(int(family), int(model))
        if generation:
            details.append(generation)
    details.append(widest)
    name = f"{fields.get('model name', 'unknown CPU')} ({', '.join(details)})"
    name += f", {os.cpu_count()} logical CPUs"
    hypervisor = _hypervisor() if "hypervisor" in features else None
    return f"{name}, {hypervisor}" if hypervisor else name


def report_target(name, measured, ratio, limit, at_most=True):
    """Prints one target's line and adds it to the run's summary.

    `measured` says what was measured against what (e.g. "0.52 ms / numpy 0.47 ms"); `ratio` is
    the figure the target bounds: at most `limit` when `at_most`, else at least `limit`.
    Returns whether the target holds.
    """
    ratio = float(ratio)
    ok = ratio <= limit if at_most else ratio >= limit
    line = format_target(name, measured, ratio, limit, at_most, ok)
    print(line)
    path = os.environ.get(TARGETS_FILE_VARIABLE)
    if path:
        record = dict(
            name=name, measured=measured, ratio=ratio, limit=limit, at_most=at_most, ok=ok
        )
        with open(path, "a") as targets:
            targets.write(json.dumps(record) + "\n")
    return ok


def format_target(name, measured, ratio, limit, at_most, ok):
    bound = f"{'<=' if at_most else '>='} {limit:g}"
    return f"  {name:<46} {measured:<36} {ratio:>7.3g} {bound:>8}  {verdict(ok)}"
