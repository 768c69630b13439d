"""A long update can be interrupted with Ctrl-C and leaves the engine as it was."""

import pytest

# Runs in a fresh interpreter, where SIGINT reaches the main thread as it would in a terminal. An
# l1 update with an unreachable tol and a huge max_iter runs until it is stopped.
LONG_UPDATE = """
    import os, signal, threading
    import numpy as np
    from _quillfen_native_cpu import NativeCpuEngine

    rng = np.random.default_rng(0)
    x = np.hstack([rng.standard_normal((20000, 20)), np.ones((20000, 1))])
    y = x[:, 0] - x[:, 1] + rng.standard_t(3, 20000)
    engine = NativeCpuEngine("float64", 21, n_threads={n_threads})

    def update(max_iter, tol):
        return engine.update(x, y, None, 20000.0, 20, True, 1.345, "l1", 0.5, 1.0, max_iter, tol,
                             1e-8)

    update(50, 1e-6)
    before = engine.state()
    {handler}
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        result = update({max_iter}, 1e-300)
        print("returned", result["iterations"])
    except KeyboardInterrupt:
        print("interrupted")
    after = engine.state()
    same = all(np.array_equal(before[key], after[key]) for key in before)
    print("unchanged" if same else "changed")
    print(update(50, 1e-6)["batch_count"])
"""


@pytest.mark.parametrize("n_threads", [None, 2], ids=["process-pool", "private-pool"])
def test_sigint_interrupts_a_long_update_and_keeps_the_summary(python_subprocess, n_threads):
    result = python_subprocess(LONG_UPDATE.format(n_threads=n_threads, handler="", max_iter=10**15))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted", "unchanged", "2"]


def test_handler_that_does_not_raise_lets_the_update_finish(python_subprocess):
    # A few seconds of iterations; the signal arrives in the middle of them.
    handler = "signal.signal(signal.SIGINT, lambda *_: print('handled'))"
    result = python_subprocess(LONG_UPDATE.format(n_threads=None, handler=handler, max_iter=3000))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["handled", "returned", "3000", "changed", "3"]
