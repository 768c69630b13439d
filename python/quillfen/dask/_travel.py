"""Packing a fitted estimator for the trip between Dask processes.

Dask pickles with protocol 5 and sends large array buffers out of band, and the buffers it
unpacks need not be aligned, which the engine's `restore` refuses. A summary packed here
pickles the estimator in band (protocol 4) into one byte string, so every array it carries is
rebuilt in an aligned buffer of its own on arrival.
"""

from __future__ import annotations

import pickle
from typing import Any

IN_BAND_PROTOCOL = 4


class Packed:
    """An estimator that crosses process boundaries as one in-band pickle."""

    __slots__ = ("estimator",)

    def __init__(self, estimator: Any) -> None:
        self.estimator = estimator

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return (_unpack, (pickle.dumps(self.estimator, protocol=IN_BAND_PROTOCOL),))

    def copy(self) -> Any:
        """A copy of the estimator that shares nothing with it."""
        return pickle.loads(pickle.dumps(self.estimator, protocol=IN_BAND_PROTOCOL))


def _unpack(blob: bytes) -> Packed:
    return Packed(pickle.loads(blob))
