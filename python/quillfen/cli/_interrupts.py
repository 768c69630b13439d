"""Ctrl-C handled where a command can stop cleanly: the first press asks it to stop, a second
one aborts at once.

A first press raises nothing, so it cannot land in the middle of a library's import (which may
swallow it, or leave the interpreter marked to die by SIGINT at exit); the command looks at the
request at its checkpoints, between batches and before it writes its outputs.
"""

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType


class Interrupted(Exception):
    """Raised by a command that stopped at the user's request; the message says where."""


class StopRequest:
    """Set by the first Ctrl-C; commands poll `requested`, or call `check`, at checkpoints."""

    def __init__(self) -> None:
        self.requested = False

    def check(self, consequence: str = "") -> None:
        """Raise Interrupted if a stop was requested, saying "interrupted; `consequence`"."""
        if self.requested:
            raise Interrupted(f"interrupted; {consequence}" if consequence else "interrupted")


_active: StopRequest | None = None


@contextmanager
def stop_on_ctrl_c() -> Iterator[StopRequest]:
    """Within the block, the first SIGINT sets the request; a second raises KeyboardInterrupt.

    A block within another such block shares its request. Outside the main thread signals
    cannot be caught, and Ctrl-C keeps its usual effect.
    """
    global _active
    if _active is not None or threading.current_thread() is not threading.main_thread():
        yield _active or StopRequest()
        return
    request = StopRequest()

    def on_interrupt(signum: int, frame: FrameType | None) -> None:
        if request.requested:
            raise KeyboardInterrupt
        request.requested = True

    previous = signal.signal(signal.SIGINT, on_interrupt)
    _active = request
    try:
        yield request
    finally:
        _active = None
        signal.signal(signal.SIGINT, previous)
