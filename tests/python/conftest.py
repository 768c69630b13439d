import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest


def run_python(code: str, env_overrides: dict[str, str] | None = None) -> subprocess.CompletedProcess:
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
