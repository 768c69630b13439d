"""Reading the next batch on a helper thread while the current one is being fitted.

Arrow's decoding and NumPy's copies release the interpreter lock, and so does the engine while
it computes, so reading and fitting overlap.
"""

import queue
import threading
from collections.abc import Iterable, Iterator
from typing import TypeVar

Item = TypeVar("Item")

# How long a blocked put waits before it looks again whether the consumer has gone.
_POLL_SECONDS = 0.1


class _End:
    """Marks the end of the items, carrying the producer's exception if it failed."""

    def __init__(self, error: BaseException | None) -> None:
        self.error = error


def prefetched(items: Iterable[Item], *, depth: int = 1) -> Iterator[Item]:
    """Yield the items of `items`, produced on a helper thread up to `depth` items ahead.

    An exception raised while producing is re-raised here, in the consumer, at the point where
    the failed item would have come. When the consumer stops early (break, exception, close),
    the helper thread stops after its current item. Items must stay valid while up to `depth` + 1
    later items are produced (e.g. a rotation of `depth` + 2 buffers).
    """
    handoff: queue.Queue[object] = queue.Queue(maxsize=depth)
    consumer_gone = threading.Event()

    def hand_over(item: object) -> bool:
        while not consumer_gone.is_set():
            try:
                handoff.put(item, timeout=_POLL_SECONDS)
                return True
            except queue.Full:
                continue
        return False

    def produce() -> None:
        try:
            for item in items:
                if not hand_over(item):
                    return
        except BaseException as error:  # noqa: BLE001 -- re-raised in the consumer
            hand_over(_End(error))
            return
        hand_over(_End(None))

    worker = threading.Thread(target=produce, name="quillfen-reader", daemon=True)
    worker.start()
    try:
        while True:
            item = handoff.get()
            if isinstance(item, _End):
                if item.error is not None:
                    raise item.error
                return
            yield item  # type: ignore[misc]
    finally:
        consumer_gone.set()
        worker.join()
