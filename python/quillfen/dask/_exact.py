"""Exact mode: one summary visits the partitions in order, one task per partition.

Each task takes the previous task's summary (a fitted estimator, pickled through its state
arrays) and its own partition, on the worker that holds the partition, and folds the partition
in with `partial_fit`. Only summaries travel between tasks; the result equals `partial_fit` over
the same partitions on one machine.
"""

from __future__ import annotations

import pickle
import uuid
from typing import Any

import dask

from quillfen.dask._partitions import (
    Layout,
    PartitionSource,
    naming_partition,
    split_partition,
)


def fold_partition(
    summary: Any, index: int, layout: Layout, data: Any, target: Any, sample_weight: Any
) -> Any:
    """The summary after partition `index`; the summary it was given is never changed.

    Runs on a worker. The copy keeps the task pure, so when Dask reruns it after losing a worker
    the partition is folded into the same earlier summary again, never into a later one.
    """
    batch = split_partition(index, layout, data, target, sample_weight)
    if batch is None:
        return summary
    estimator = pickle.loads(pickle.dumps(summary, protocol=pickle.HIGHEST_PROTOCOL))
    with naming_partition(index):
        estimator.partial_fit(batch.x, batch.y, sample_weight=batch.sample_weight)
    return estimator


def fit_exact(start: Any, sources: list[PartitionSource], layout: Layout) -> Any:
    """Folds every partition into `start` (an unfitted estimator) in order; returns the result."""
    run = (
        uuid.uuid4().hex
    )  # one key prefix per fit, so concurrent fits never share keys
    summary: Any = start
    for index, source in enumerate(sources):
        summary = dask.delayed(fold_partition, pure=False)(
            summary,
            index,
            layout,
            source.data,
            source.target,
            source.sample_weight,
            dask_key_name=f"quillfen-exact-{run}-{index}",
        )
    (fitted,) = dask.compute(summary)
    return fitted
