"""A rows-per-second progress bar on standard error, shown only to a person at a terminal."""

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Protocol

from quillfen.cli._extras import require


class Progress(Protocol):
    """What a command loop needs from a progress display."""

    def update(self, n: int) -> object: ...

    def write(self, message: str) -> None: ...


class _Silent:
    def update(self, n: int) -> object:
        return None

    def write(self, message: str) -> None:
        print(message, file=sys.stderr)


class _Bar:
    def __init__(self, bar: object) -> None:
        self._bar = bar

    def update(self, n: int) -> object:
        return self._bar.update(n)  # type: ignore[attr-defined]

    def write(self, message: str) -> None:
        self._bar.write(message, file=sys.stderr)  # type: ignore[attr-defined]


@contextmanager
def progress(total_rows: int | None, *, quiet: bool, command: str) -> Iterator[Progress]:
    """A bar counting rows (with an ETA when `total_rows` is known), or a silent stand-in.

    The bar is off with `quiet` or when standard error is not a terminal; only then is tqdm
    not needed. Messages go through `write` so that they do not tear the bar.
    """
    if quiet or not sys.stderr.isatty():
        yield _Silent()
        return
    tqdm = require("tqdm", command)
    bar = tqdm.tqdm(
        total=total_rows,
        unit=" rows",
        unit_scale=True,
        file=sys.stderr,
        dynamic_ncols=True,
    )
    try:
        yield _Bar(bar)
    finally:
        bar.close()
