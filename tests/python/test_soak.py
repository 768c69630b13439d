"""Soak: long runs of calls and of engine lifetimes leave memory and threads where they started.

`make test` runs a short profile; QUILLFEN_SOAK_SCALE multiplies its lengths (`make soak`: 20).
"""

import gc
import math
import os
import tracemalloc

import numpy as np
from _quillfen_native_cpu import NativeCpuEngine
from conftest import UNDER_ADDRESS_SANITIZER, pool_thread_names, wait_until

SCALE = int(os.environ.get("QUILLFEN_SOAK_SCALE", "1"))
P = 60  # large enough that a lost summary per cycle (about 29 KiB) stands out
MiB = 2**20
# AddressSanitizer holds freed blocks in quarantine (256 MiB), so RSS says nothing under it.
RSS_LIMIT = math.inf if UNDER_ADDRESS_SANITIZER else 8 * MiB


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def cycle(engine: NativeCpuEngine, x: np.ndarray, y: np.ndarray) -> None:
    engine.update(x, y, None, float(len(y)), P - 1, True, 1.345, "l1", 0.5, 1.0, 5, 1e-6, 1e-8)
    engine.predict(x)
    state = engine.state()
    del state["state_is_detached"]
    engine.restore(**state)
    try:
        engine.predict(x[:, :-1])  # a failing call on the way
    except ValueError:
        pass


def test_update_predict_state_restore_cycles_hold_memory_and_threads_steady():
    rng = np.random.default_rng(0)
    x = np.hstack([rng.standard_normal((200, P - 1)), np.ones((200, 1))])
    y = x[:, 0] + rng.standard_t(3, 200)
    assert wait_until(lambda: pool_thread_names() == [])  # earlier tests' pools wind down
    engines = [NativeCpuEngine("float64", P), NativeCpuEngine("float64", P, n_threads=2)]
    for _ in range(1000):  # workspaces, pools and the interpreter's caches settle first
        for engine in engines:
            cycle(engine, x, y)
    start_threads = thread_count()
    tracemalloc.start()
    levels = []
    for _ in range(2):  # a leak grows with the cycles; a one-time cache does not
        for _ in range(500 * SCALE):
            for engine in engines:
                cycle(engine, x, y)
        gc.collect()
        levels.append((tracemalloc.get_traced_memory()[0], resident_bytes(), thread_count()))
    tracemalloc.stop()

    (traced_1, rss_1, threads_1), (traced_2, rss_2, threads_2) = levels
    assert traced_2 - traced_1 < 64 * 1024
    assert rss_2 - rss_1 < RSS_LIMIT
    assert threads_1 == threads_2 == start_threads


def test_private_pool_engines_created_and_dropped_leave_no_threads_or_memory():
    x = np.ones((10, 3))
    assert wait_until(lambda: pool_thread_names() == [])  # earlier tests' pools wind down
    start_threads = thread_count()
    for _ in range(20):  # allocator pools settle first
        NativeCpuEngine("float32", 3, n_threads=2).predict(x.astype(np.float32))
    assert wait_until(lambda: thread_count() == start_threads)
    start_rss = resident_bytes()

    for round_index in range(1000 * SCALE):
        engine = NativeCpuEngine("float64", 3, n_threads=1 + round_index % 3)
        engine.predict(x)
        del engine
        if round_index % 100 == 99:  # exiting workers are not awaited; let them catch up
            assert wait_until(lambda: thread_count() <= start_threads + 3)
    gc.collect()

    assert wait_until(lambda: thread_count() == start_threads)
    assert resident_bytes() - start_rss < 2 * RSS_LIMIT
