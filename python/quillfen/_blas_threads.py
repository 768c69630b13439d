"""One BLAS thread for the layer's own linear algebra.

The layer computes a few things with NumPy's BLAS: the first batch's least-squares pilot fit, the
score Gram of the standard errors, the stall test and the sandwich. A threaded BLAS splits its sums
by thread count, so the same batch gives other last bits with 1 thread (as Dask's workers run
it) than with 2. Held to one thread, these results depend only on the data and the CPU, and a fit
in a worker process equals the same fit here bit for bit.
"""

from __future__ import annotations

import threading
from typing import Any

_lock = threading.RLock()  # re-entered if a Ctrl-C's clean-up runs inside a use
_depth = 0
_saved: list[tuple[Any, int]] = []
_controllers: list[Any] | None = None


def _blas_controllers() -> list[Any]:
    """threadpoolctl's controllers of the BLAS libraries loaded now (NumPy's among them)."""
    global _controllers
    if _controllers is None:
        from threadpoolctl import ThreadpoolController  # type: ignore[import-untyped]

        _controllers = list(ThreadpoolController().select(user_api="blas").lib_controllers)
    return _controllers


def reset() -> None:
    """Gives the BLAS libraries back their counts and forgets every hold. For tests that inject
    interrupts at every line: one that lands inside the bookkeeping below leaves a hold behind
    (the libraries then stay at one thread in this process; no fitted state is affected), and
    one raised as a `with _lock:` block runs its exit skips the lock's release, which this gives
    back too when the calling thread still holds it."""
    global _depth
    with _lock:
        for controller, count in _saved:
            controller.set_num_threads(count)
        _saved.clear()
        _depth = 0
    while _lock._is_owned():  # type: ignore[attr-defined]
        _lock.release()


class one_blas_thread:  # noqa: N801 - used as a function, like contextlib's managers
    """Runs the body with every BLAS library held to one thread, then restores their counts.

    Nested and concurrent uses share one hold: the first to enter sets it, the last to leave
    restores what the libraries had before. A class rather than a generator: a generator left
    unfinished by a Ctrl-C ran its exit when collected, possibly inside another use's lock.
    """

    def __enter__(self) -> None:
        global _depth
        with _lock:
            if _depth == 0:
                for controller in _blas_controllers():
                    _saved.append((controller, controller.get_num_threads()))
                    controller.set_num_threads(1)
            _depth += 1

    def __exit__(self, *exception: object) -> None:
        global _depth
        with _lock:
            _depth -= 1
            if _depth == 0:
                for controller, count in _saved:
                    controller.set_num_threads(count)
                _saved.clear()
