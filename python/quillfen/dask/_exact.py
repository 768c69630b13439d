"""Exact mode: one summary visits the partitions in order, one task per partition.

Each task takes the previous task's summary (a fitted estimator, pickled through its state
arrays) and its own partition, on the worker that holds the partition, and folds the partition
in with `partial_fit`. Only summaries travel between tasks; the result equals `partial_fit` over
the same partitions on one machine.
"""

from __future__ import annotations

import uuid
from typing import Any

from quillfen.dask._partitions import (
    Layout,
    PartitionSource,
    naming_partition,
    split_partition,
)
from quillfen.dask._scheduler import compute_all, task
from quillfen.dask._travel import Packed


def fold_partition(
    summary: Packed, index: int, layout: Layout, data: Any, target: Any, sample_weight: Any
) -> Any:
    """The summary after partition `index`; the summary it was given is never changed.

    Runs on a worker. The copy keeps the task pure, so when Dask reruns it after losing a worker
    the partition is folded into the same earlier summary again, never into a later one.
    """
    batch = split_partition(index, layout, data, target, sample_weight)
    if batch is None:
        return summary
    estimator = summary.copy()
    with naming_partition(index):
        estimator.partial_fit(batch.x, batch.y, sample_weight=batch.sample_weight)
    return Packed(estimator)


def fit_exact(start: Any, sources: list[PartitionSource], layout: Layout) -> Any:
    """Folds every partition into `start` (an unfitted estimator) in order; returns the result."""
    run = uuid.uuid4().hex  # one key prefix per fit, so concurrent fits never share keys
    summary: Any = Packed(start)
    for index, source in enumerate(sources):
        summary = task(
            fold_partition,
            summary,
            index,
            layout,
            source.data,
            source.target,
            source.sample_weight,
            key=f"quillfen-exact-{run}-{index}",
        )
    (fitted,) = compute_all([summary])
    return fitted.estimator
