"""Ctrl-C handled between batches: the first press asks the loop to stop, a second one aborts."""

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType


class StopRequest:
    """Set by the first Ctrl-C; the batch loop polls `requested` between batches."""

    def __init__(self) -> None:
        self.requested = False


class Interrupted(Exception):
    """Raised by a command loop that stopped at the user's request; the message says where."""


@contextmanager
def stop_on_ctrl_c() -> Iterator[StopRequest]:
    """Within the block, the first SIGINT sets the request; a second raises KeyboardInterrupt.

    Outside the main thread signals cannot be caught, and Ctrl-C keeps its usual effect.
    """
    request = StopRequest()
    if threading.current_thread() is not threading.main_thread():
        yield request
        return

    def on_interrupt(signum: int, frame: FrameType | None) -> None:
        if request.requested:
            raise KeyboardInterrupt
        request.requested = True

    previous = signal.signal(signal.SIGINT, on_interrupt)
    try:
        yield request
    finally:
        signal.signal(signal.SIGINT, previous)
