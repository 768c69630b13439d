"""Engines inherited by a forked child keep working: their pools restart in the child."""

import multiprocessing
import os
import pickle
import select

import numpy as np
import pytest
from _quillfen_native_cpu import NativeCpuEngine
from conftest import pool_thread_names

UPDATE_SETTINGS = (None, 10.0, 1, True, 1.345, "none", 1.0, 1.0, 50, 1e-8, 1e-8)
# 500000 × 2 elements is above the sequential limit, so prediction uses the pool.
LARGE_DESIGN = np.random.default_rng(3).standard_normal((500_000, 2))
SMALL_DESIGN = np.ones((10, 2))
SMALL_TARGET = np.ones(10)

pytestmark = pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")


def exercise(engine: NativeCpuEngine) -> dict:
    """The calls of the reproducer, plus a predict that runs in parallel."""
    result = engine.update(SMALL_DESIGN, SMALL_TARGET, *UPDATE_SETTINGS)
    return {
        "coefficients": result["coefficients"],
        "large_predict": engine.predict(LARGE_DESIGN),
        "workers": pool_thread_names(),
    }


def run_in_forked_child(function, timeout: float = 60.0):
    """function() in an os.fork child; its pickled result, or a failure if it hangs."""
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.close(read_end)
            with os.fdopen(write_end, "wb") as out:
                pickle.dump(function(), out)
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as source:
        ready, _, _ = select.select([source], [], [], timeout)
        if not ready:
            os.kill(child, 9)
            os.waitpid(child, 0)
            pytest.fail("the forked child hung")
        payload = source.read()
    os.waitpid(child, 0)
    return pickle.loads(payload)


@pytest.mark.parametrize("n_threads", [2, None], ids=["private-pool", "process-pool"])
def test_forked_child_runs_the_reproducer_with_the_same_bits(n_threads):
    engine = NativeCpuEngine("float64", 2, n_threads=n_threads)
    exercise(engine)  # pools running in the parent before the fork

    in_child = run_in_forked_child(lambda: exercise(engine))
    in_parent = exercise(engine)  # the same summary and inputs as the child had

    np.testing.assert_array_equal(in_child["coefficients"], in_parent["coefficients"])
    np.testing.assert_array_equal(in_child["large_predict"], in_parent["large_predict"])
    if n_threads is not None:
        assert in_child["workers"] == ["quillfen-cpu-0", "quillfen-cpu-1"]


def test_child_that_never_uses_an_inherited_engine_can_drop_it():
    engine = NativeCpuEngine("float64", 2, n_threads=2)
    exercise(engine)

    def drop():
        nonlocal engine
        del engine
        return "dropped"

    assert run_in_forked_child(drop) == "dropped"


inherited_engine: NativeCpuEngine | None = None


def predict_with_inherited_engine(rows: int) -> np.ndarray:
    assert inherited_engine is not None
    return inherited_engine.predict(LARGE_DESIGN[:rows])


@pytest.mark.parametrize("n_threads", [2, None], ids=["private-pool", "process-pool"])
def test_multiprocessing_fork_pool_uses_inherited_engine(n_threads):
    global inherited_engine
    inherited_engine = NativeCpuEngine("float64", 2, n_threads=n_threads)
    inherited_engine.restore(np.array([0.5, -2.0]), np.eye(2), 10, 1, 0.0, 10.0)
    expected = inherited_engine.predict(LARGE_DESIGN)
    try:
        with multiprocessing.get_context("fork").Pool(2) as workers:
            outputs = workers.map_async(predict_with_inherited_engine, [500_000, 10, 500_000])
            results = outputs.get(timeout=120)  # raises instead of hanging
    finally:
        inherited_engine = None
    np.testing.assert_array_equal(results[0], expected)
    np.testing.assert_array_equal(results[1], expected[:10])
    np.testing.assert_array_equal(results[2], expected)
