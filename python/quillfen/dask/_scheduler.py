"""The few Dask calls this package makes, typed once: lazy tasks, computing and persisting them.

They run on the current Dask scheduler: a `dask.distributed.Client` when one is active, which
places each task on the worker holding most of its input, i.e. next to its partition.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from dask.base import compute, persist
from dask.delayed import Delayed, delayed


def task(function: Callable[..., Any], *args: Any, key: str | None = None) -> Delayed:
    """A lazy call of `function`; dask collections among `args` become its dependencies.

    Every call is a new task (never merged with an equal-looking one), named `key` if given.
    """
    lazy = delayed(function, pure=False)
    if key is None:
        return lazy(*args)  # type: ignore[no-any-return]
    return lazy(*args, dask_key_name=key)  # type: ignore[no-any-return]


def compute_all(tasks: Sequence[Any]) -> list[Any]:
    """The results of `tasks`, brought to the client in order."""
    return list(compute(*tasks))  # type: ignore[no-untyped-call]


def persist_all(tasks: Sequence[Any]) -> list[Any]:
    """`tasks` computed and kept in worker memory, as lazy handles on their results."""
    return list(persist(*tasks))  # type: ignore[no-untyped-call]
