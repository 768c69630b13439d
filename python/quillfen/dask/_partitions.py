"""Turning a Dask collection into one batch of features, target and weights per partition.

The client only builds the per-partition task inputs (`PartitionSource`) from the collection's
metadata; `split_partition` runs on the worker that holds the partition and never leaves it.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
from dask.delayed import Delayed


@dataclass(frozen=True)
class FrameLayout:
    """What every partition of a Dask DataFrame must hold, taken from the collection's metadata."""

    columns: tuple[Any, ...]
    features: tuple[Any, ...]
    target: Any | None  # None when the target is a collection of its own
    sample_weight: Any | None  # a column name, or None


@dataclass(frozen=True)
class ArrayLayout:
    """What every block of a Dask Array must hold: all feature columns in one block."""

    n_features: int


Layout = FrameLayout | ArrayLayout


@dataclass(frozen=True)
class PartitionSource:
    """The lazy inputs of one partition: its data, and its target and weights when separate."""

    data: Delayed
    target: Delayed | None
    sample_weight: Delayed | None


@dataclass
class PartitionBatch:
    """One non-empty partition as the estimator takes it; lives on the worker that made it."""

    index: int
    x: Any  # a pandas DataFrame of the feature columns, or a 2-d NumPy array
    y: npt.NDArray[Any]
    sample_weight: npt.NDArray[Any] | None
    # Arrays derived from the batch and kept next to it on its worker; never sent anywhere.
    cache: dict[Any, Any] = field(default_factory=dict)

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state["cache"] = {}
        return state


def _is_dask_frame(obj: object) -> bool:
    try:
        import dask.dataframe as dd
    except ImportError:  # dask without its dataframe extra: no Dask DataFrame can exist
        return False
    return isinstance(obj, dd.DataFrame)


def _is_dask_series(obj: object) -> bool:
    try:
        import dask.dataframe as dd
    except ImportError:
        return False
    return isinstance(obj, dd.Series)


def _is_dask_array(obj: object) -> bool:
    import dask.array as da

    return isinstance(obj, da.Array)


def _blocks(collection: Any, name: str, row_chunks: tuple[float, ...] | None) -> list[Delayed]:
    """One delayed block per row partition of a 1-d Dask Array or a Dask Series."""
    if _is_dask_series(collection):
        return list(collection.to_delayed())
    if _is_dask_array(collection):
        if collection.ndim != 1:
            raise ValueError(f"{name} must be 1-dimensional, got {collection.ndim} dimensions")
        if row_chunks is not None and collection.chunks[0] != row_chunks:
            known = not any(np.isnan(c) for c in row_chunks + collection.chunks[0])
            if known and collection.shape[0] == sum(row_chunks):
                collection = collection.rechunk({0: row_chunks})
        return list(collection.to_delayed())
    raise TypeError(
        f"{name} must be a Dask Array or Dask Series partitioned like X, got "
        f"{type(collection).__name__}; a local array would have to travel from the client"
    )


def _check_numeric(dtypes: Any, columns: tuple[Any, ...]) -> None:
    from pandas.api.types import is_bool_dtype, is_numeric_dtype  # type: ignore[import-untyped]

    for column in columns:
        dtype = dtypes[column]
        if not (is_numeric_dtype(dtype) or is_bool_dtype(dtype)) or dtype.kind == "c":
            raise ValueError(
                f"column {column!r} has the non-numeric dtype {dtype}; features, target and "
                "sample weights must be real numbers"
            )


def _is_collection(value: Any) -> bool:
    return hasattr(value, "to_delayed")


def _frame_sources(
    frame: Any, y: Any, target: Any | None, sample_weight: Any | None
) -> tuple[list[PartitionSource], FrameLayout]:
    columns = tuple(frame.columns)
    if target is not None and y is not None:
        raise ValueError("give either y or target, not both")
    if target is None and y is None:
        raise ValueError("a Dask DataFrame X needs target=<column name> or y")
    weight_column = (
        None if sample_weight is None or _is_collection(sample_weight) else sample_weight
    )
    for role, column in (("target", target), ("sample_weight", weight_column)):
        if column is not None and column not in columns:
            raise ValueError(f"{role} column {column!r} is not a column of X: {list(columns)}")
    features = tuple(c for c in columns if c != target and c != weight_column)
    if not features:
        raise ValueError("X has no feature columns besides the target and sample_weight")
    _check_numeric(frame.dtypes, columns)
    data = list(frame.to_delayed())
    targets = _separate_blocks(y, "y", len(data))
    weights = _separate_blocks(
        None if weight_column is not None else sample_weight, "sample_weight", len(data)
    )
    layout = FrameLayout(columns, features, target, weight_column)
    return [
        PartitionSource(d, t, w) for d, t, w in zip(data, targets, weights, strict=False)
    ], layout


def _separate_blocks(collection: Any, name: str, n_partitions: int) -> list[Delayed | None]:
    if collection is None:
        return [None] * n_partitions
    blocks: list[Delayed | None] = list(_blocks(collection, name, None))
    if len(blocks) != n_partitions:
        raise ValueError(
            f"{name} has {len(blocks)} partitions but X has {n_partitions}; partition them alike"
        )
    return blocks


def _array_sources(
    array: Any, y: Any, target: Any | None, sample_weight: Any | None
) -> tuple[list[PartitionSource], ArrayLayout]:
    if target is not None:
        raise ValueError("target names a column; with a Dask Array X give y instead")
    if y is None:
        raise ValueError("a Dask Array X needs y")
    if array.ndim != 2:
        raise ValueError(f"X must be 2-dimensional, got {array.ndim} dimensions")
    if isinstance(sample_weight, str):
        raise TypeError("sample_weight names a column; with a Dask Array X give a Dask Array")
    if len(array.chunks[1]) > 1:  # every block must carry all feature columns
        array = array.rechunk({1: -1})
    row_chunks = tuple(array.chunks[0])
    data = [block[0] for block in array.to_delayed()]
    targets = _blocks(y, "y", row_chunks)
    weights: list[Delayed | None] = (
        [None] * len(data)
        if sample_weight is None
        else list(_blocks(sample_weight, "sample_weight", row_chunks))
    )
    for name, blocks in (("y", targets), ("sample_weight", weights)):
        if len(blocks) != len(data):
            raise ValueError(
                f"{name} has {len(blocks)} partitions but X has {len(data)}; partition them alike"
            )
    sources = [PartitionSource(d, t, w) for d, t, w in zip(data, targets, weights, strict=False)]
    return sources, ArrayLayout(int(array.shape[1]))


def partition_sources(
    X: Any, y: Any, target: Any | None, sample_weight: Any | None
) -> tuple[list[PartitionSource], Layout]:
    """Lazy per-partition inputs of `X`, `y` and the weights, checked against their metadata.

    Raises TypeError for an X that is not a Dask DataFrame or Array, and ValueError for a missing
    target, a column that is not numeric, or a target or weight partitioned unlike X.
    """
    if _is_dask_frame(X):
        return _frame_sources(X, y, target, sample_weight)
    if _is_dask_array(X):
        return _array_sources(X, y, target, sample_weight)
    raise TypeError(
        f"X must be a Dask DataFrame or a Dask Array, got {type(X).__name__}; "
        "fit local data with StreamingHuberRegressor.fit"
    )


def _aligned(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """`array`, copied only when misaligned: buffers Dask deserialises need not be aligned, and
    the engine takes aligned arrays only."""
    return array if array.flags.aligned else np.array(array)


def _as_vector(values: Any, index: int, name: str, rows: int) -> npt.NDArray[Any]:
    vector = _aligned(np.asarray(values))
    if vector.ndim == 2 and vector.shape[1] == 1:
        vector = vector[:, 0]
    if vector.ndim != 1 or vector.shape[0] != rows:
        raise ValueError(
            f"partition {index}: {name} has shape {vector.shape} but the partition has {rows} rows"
        )
    return vector


def split_partition(
    index: int, layout: Layout, data: Any, target: Any, sample_weight: Any
) -> PartitionBatch | None:
    """The batch of partition `index`, or None when it has no rows. Runs on the worker.

    Checks what the metadata cannot promise: the partition's columns (or width), and the length
    of a separate target or weight. Value checks (NaN, infinity) are the estimator's.
    """
    if isinstance(layout, FrameLayout):
        present = tuple(data.columns)
        if layout.target is not None and layout.target not in present:
            raise ValueError(f"partition {index} has no target column {layout.target!r}")
        if present != layout.columns:
            raise ValueError(
                f"partition {index} has the columns {list(present)}, expected {list(layout.columns)}"
            )
        rows = len(data)
        if rows == 0:
            return None
        if layout.target is not None:
            target = data[layout.target]
        if layout.sample_weight is not None:
            sample_weight = data[layout.sample_weight]
        x = data if layout.features == present else data[list(layout.features)]
    else:
        x = _aligned(np.asarray(data))
        if x.ndim != 2 or x.shape[1] != layout.n_features:
            raise ValueError(
                f"partition {index} has shape {x.shape}, expected {layout.n_features} columns"
            )
        rows = x.shape[0]
        if rows == 0:
            return None
    y = _as_vector(target, index, "y", rows)
    weights = (
        None if sample_weight is None else _as_vector(sample_weight, index, "sample_weight", rows)
    )
    return PartitionBatch(index, x, y, weights)


@contextlib.contextmanager
def naming_partition(index: int) -> Iterator[None]:
    """Re-raises the estimator's ValueError or TypeError with the partition's number in front."""
    try:
        yield
    except (ValueError, TypeError) as exc:
        try:
            named = type(exc)(f"partition {index}: {exc}")
        except TypeError:  # an exception type that cannot be built from a message alone
            raise exc from None
        raise named from exc
