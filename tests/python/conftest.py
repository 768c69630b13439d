import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest


def run_python(
    code: str, env_overrides: dict[str, str] | None = None
) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, so that process-wide state starts from scratch."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.update(env_overrides or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


def thread_names() -> list[str]:
    names = []
    for comm in Path("/proc/self/task").glob("*/comm"):
        try:
            names.append(comm.read_text().strip())
        except FileNotFoundError:  # the thread exited while we listed them
            pass
    return names


def pool_thread_names() -> list[str]:
    return sorted(name for name in thread_names() if name.startswith("quillfen-cpu-"))


def wait_until(predicate, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


@pytest.fixture
def python_subprocess():
    return run_python


# `make sanitize-address` runs the suite against an AddressSanitizer build of the extension.
UNDER_ADDRESS_SANITIZER = os.environ.get("QUILLFEN_SANITIZER") == "address"

# Tests that need an allocation, or a thread start, to fail inside the process: AddressSanitizer
# ends the process on an unsatisfiable request instead of letting operator new throw, and its
# shadow memory does not fit under a lowered address-space limit.
NEEDS_FAILING_ALLOCATION = {
    "test_unsatisfiable_allocation_raises_memory_error",
    "test_failed_pool_creation_raises_and_leaves_no_thread",
    "test_unusable_global_pool_is_an_internal_fault_not_an_exception",
}


def pytest_collection_modifyitems(config, items):
    if not UNDER_ADDRESS_SANITIZER:
        return
    skip = pytest.mark.skip(
        reason="AddressSanitizer aborts on a failed allocation instead of throwing std::bad_alloc"
    )
    # GCC 12's AddressSanitizer does not hold its allocator's lock across fork(), so a child can
    # inherit it locked by a worker thread and hang in its first allocation; the regular build
    # and ThreadSanitizer run the fork tests.
    skip_fork = pytest.mark.skip(
        reason="AddressSanitizer's allocator is not fork-safe with threads"
    )
    for item in items:
        if item.originalname in NEEDS_FAILING_ALLOCATION:
            item.add_marker(skip)
        elif item.module.__name__.endswith("test_fork_safety"):
            item.add_marker(skip_fork)
