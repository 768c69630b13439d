import threading
import time

import numpy as np
import pytest
from _quillfen_native_cpu import NativeCpuEngine
from batches import assert_same_state, restore_arguments, update_arguments
from conftest import wait_until


def wide_batch(rows, p, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, p))
    x[:, -1] = 1.0
    y = x @ rng.standard_normal(p) + rng.standard_t(3, rows)
    return x, y


def run_in_thread(call):
    """Starts `call` on a new thread; returns the thread and a dict that receives its outcome."""
    outcome = {}

    def target():
        outcome["start"] = time.perf_counter()
        try:
            outcome["result"] = call()
        except BaseException as error:  # reported by the test, not lost in the thread
            outcome["error"] = error
        outcome["end"] = time.perf_counter()

    thread = threading.Thread(target=target)
    thread.start()
    return thread, outcome


def is_busy(engine):
    try:
        _ = engine.n_parameters  # a property read takes shared access
    except RuntimeError:
        return True
    return False


def test_a_busy_engine_refuses_other_calls_at_once_while_other_threads_run():
    p = 300
    x, y = wide_batch(30_000, p)
    engine = NativeCpuEngine("float64", p, n_threads=2)
    saved = engine.state()
    small_x, small_y = wide_batch(10, p)
    refused_calls = {
        "update": (lambda: engine.update(**update_arguments(small_x, small_y)), "Already borrowed"),
        "predict": (lambda: engine.predict(small_x), "Already borrowed"),
        "restore": (lambda: engine.restore(**restore_arguments(saved)), "Already borrowed"),
        "state": (engine.state, "Already mutably borrowed"),
        "dtype": (lambda: engine.dtype, "Already mutably borrowed"),
        "has_dedicated_thread_pool": (
            lambda: engine.has_dedicated_thread_pool,
            "Already mutably borrowed",
        ),
    }

    thread, outcome = run_in_thread(lambda: engine.update(**update_arguments(x, y)))
    assert wait_until(lambda: is_busy(engine) or not thread.is_alive())
    # A call that waited for the engine would succeed once the update ended; these must raise.
    for name, (call, message) in refused_calls.items():
        with pytest.raises(RuntimeError) as raised:
            call()
        assert str(raised.value) == message, name
    assert thread.is_alive(), "the update ended before every call was tried"

    progress = 0
    while thread.is_alive():  # this thread keeps running while the update computes
        progress += 1
        time.sleep(0.002)
    thread.join()
    assert "error" not in outcome, outcome.get("error")
    assert progress > 10
    assert outcome["result"]["batch_count"] == 1
    assert not is_busy(engine) and engine.state()["batch_count"] == 1


def test_two_engines_update_at_the_same_time_from_two_threads():
    p = 100
    batches = [wide_batch(50_000, p, seed) for seed in (1, 2)]
    engines = [NativeCpuEngine("float64", p) for _ in batches]

    def update(engine, batch):
        return lambda: engine.update(**update_arguments(*batch))

    running = [run_in_thread(update(e, b)) for e, b in zip(engines, batches, strict=False)]
    for thread, _ in running:
        thread.join()
    outcomes = [outcome for _, outcome in running]
    assert all("error" not in outcome for outcome in outcomes)
    assert max(o["start"] for o in outcomes) < min(o["end"] for o in outcomes)

    # Alone, each engine gets exactly the same summary.
    for batch, outcome in zip(batches, outcomes, strict=False):
        alone = NativeCpuEngine("float64", p).update(**update_arguments(*batch))
        assert_same_state(alone, outcome["result"])
