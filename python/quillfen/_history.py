"""A fit's per-batch records, kept as one NumPy column per field instead of one dict per batch.

A stream of a million batches has a million records: as dicts they cost hundreds of bytes each and
seconds to build, as columns 42 bytes a batch and no Python object until one is asked for.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, overload

import numpy as np
import numpy.typing as npt

HISTORY_FIELDS: dict[str, type[np.generic]] = {
    "rows": np.int64,
    "iterations": np.int64,
    "converged": np.bool_,
    "objective": np.float64,
    "lambda_value": np.float64,
    "bandwidth": np.float64,
    "used_regularized_fallback": np.bool_,
}
Record = dict[str, Any]
ITERATION_BLOCK = 4096
Records = Sequence[Mapping[str, Any]]


class BatchHistory(Sequence[Record]):
    """The records of a fit's batches, in order: a sequence of dicts with the `HISTORY_FIELDS`.

    Items are built on demand as dicts of Python scalars; `column` gives a field for all batches
    at once. `append` grows the columns by doubling, so a record costs amortised constant time.
    """

    def __init__(self) -> None:
        self._columns = {field: np.empty(0, dtype) for field, dtype in HISTORY_FIELDS.items()}
        self._length = 0

    @classmethod
    def from_columns(
        cls, columns: Mapping[str, npt.ArrayLike], *, copy: bool = True
    ) -> BatchHistory:
        """A history of `columns`, one 1-d array per field, all of one length. With
        ``copy=False`` it takes arrays of the field's dtype as they are, and the caller gives up
        writing to them.

        Raises ValueError for a missing field, a column that is not 1-d or columns of different
        lengths.
        """
        missing = [field for field in HISTORY_FIELDS if field not in columns]
        if missing:
            raise ValueError(f"the history has no {', '.join(missing)} column")
        arrays = {
            field: np.array(columns[field], dtype=dtype, copy=copy or None)
            for field, dtype in HISTORY_FIELDS.items()
        }
        if len({array.shape for array in arrays.values()}) != 1 or arrays["rows"].ndim != 1:
            raise ValueError("the history columns have inconsistent shapes")
        history = cls()
        history._columns = arrays
        history._length = arrays["rows"].shape[0]
        return history

    @classmethod
    def from_records(cls, records: Iterable[Mapping[str, Any]]) -> BatchHistory:
        """A history of `records`, each a mapping with (at least) the `HISTORY_FIELDS`."""
        history = cls()
        for record in records:
            history.append(record)
        return history

    @classmethod
    def concatenate(cls, histories: Iterable[BatchHistory | Records]) -> BatchHistory:
        """One new history of the batches of `histories` in turn (histories or lists of records)."""
        parts = [
            part if isinstance(part, BatchHistory) else cls.from_records(part) for part in histories
        ]
        return cls.from_columns(
            {
                field: np.concatenate([part.column(field) for part in parts])
                if parts
                else np.empty(0, dtype)
                for field, dtype in HISTORY_FIELDS.items()
            },
            copy=False,  # new arrays already
        )

    def append(self, record: Mapping[str, Any]) -> None:
        """Adds the record of the next batch; nothing changes when a field is missing or bad.

        An interrupt (KeyboardInterrupt) anywhere in it leaves the history as it was or with the
        record added: the columns are replaced all at once, the new row is written beyond the
        length (where a partial write is never read) and the length counts last.
        """
        capacity = self._columns["rows"].shape[0]
        if self._length == capacity:
            self._columns = {
                field: np.concatenate(
                    [column[: self._length], np.empty_like(column, shape=capacity or 16)]
                )
                for field, column in self._columns.items()
            }
        row = self._length
        for field, column in self._columns.items():
            column[row] = record[field]
        self._length = row + 1

    def __delitem__(self, index: int | slice) -> None:
        """Removes records as `del` does from a list; ``del history[n:]``, which undoes appends,
        copies nothing. An interrupt leaves the history as it was or with the records removed."""
        if isinstance(index, slice) and index.step in (None, 1) and index.stop is None:
            # Columns cut to the new length: the next append moves to a new buffer instead of
            # writing over what an earlier `column` view shows.
            length = min(self._length, range(self._length)[index].start)
            self._columns, self._length = (
                {field: column[:length] for field, column in self._columns.items()},
                length,
            )
            return
        kept = np.ones(self._length, dtype=np.bool_)
        kept[index] = False
        self._columns, self._length = (
            {field: column[: self._length][kept] for field, column in self._columns.items()},
            int(kept.sum()),
        )

    def column(self, name: str) -> npt.NDArray[Any]:
        """The field `name` of every batch so far, as a read-only array (KeyError if unknown)."""
        view = self._columns[name][: self._length]
        view.flags.writeable = False
        return view

    def columns(self) -> dict[str, npt.NDArray[Any]]:
        """Every field as `column` gives it."""
        return {field: self.column(field) for field in HISTORY_FIELDS}

    def copy(self) -> BatchHistory:
        """A history with the same records that shares no memory with this one."""
        return BatchHistory.from_columns(self.columns())

    def __len__(self) -> int:
        return self._length

    @overload
    def __getitem__(self, index: int) -> Record: ...

    @overload
    def __getitem__(self, index: slice) -> BatchHistory: ...

    def __getitem__(self, index: int | slice) -> Record | BatchHistory:
        if isinstance(index, slice):
            return BatchHistory.from_columns({f: c[index] for f, c in self.columns().items()})
        position = range(self._length)[index]  # IndexError, negative indices, as for a list
        return {field: self._columns[field][position].item() for field in HISTORY_FIELDS}

    def __iter__(self) -> Iterator[Record]:
        # Blocks of columns to Python scalars at once: many times faster than item by item, and
        # without all of a long history's objects alive at the same time.
        for start in range(0, self._length, ITERATION_BLOCK):
            block = slice(start, min(start + ITERATION_BLOCK, self._length))
            values = [self._columns[field][block].tolist() for field in HISTORY_FIELDS]
            for row in zip(*values, strict=True):
                yield dict(zip(HISTORY_FIELDS, row, strict=True))

    def __eq__(self, other: object) -> bool:
        # Equal as the lists of dicts would be: a list of records compares record by record.
        if isinstance(other, BatchHistory):
            return len(self) == len(other) and all(
                np.array_equal(self.column(field), other.column(field)) for field in HISTORY_FIELDS
            )
        if isinstance(other, list | tuple):
            return len(self) == len(other) and all(
                mine == theirs for mine, theirs in zip(self, other, strict=True)
            )
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]  # mutable, like a list

    def __repr__(self) -> str:
        return f"BatchHistory({len(self)} batches)"

    def __reduce__(self) -> tuple[Any, ...]:
        # Only the filled part travels, not the spare room `append` keeps.
        return (BatchHistory.from_columns, (self.columns(),))


def history_column(history: BatchHistory | Records, name: str) -> npt.NDArray[Any]:
    """The field `name` of every record of `history`, a BatchHistory or a list of records."""
    if isinstance(history, BatchHistory):
        return history.column(name)
    return np.array([record[name] for record in history], dtype=HISTORY_FIELDS[name])
