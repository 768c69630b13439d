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
    at once. `appended` (a new history, as a fitted state keeps one) and `append` (in place) grow
    the columns by doubling, so a record costs amortised constant time.
    """

    def __init__(self) -> None:
        self._columns = {field: np.empty(0, dtype) for field, dtype in HISTORY_FIELDS.items()}
        self._length = 0
        # Rows written to these columns so far, shared by every history that reads them: only a
        # history whose last row is the last one written may write the next row in place.
        self._filled = [0]

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
        return cls._of(arrays, arrays["rows"].shape[0], [arrays["rows"].shape[0]])

    @classmethod
    def _of(
        cls, columns: dict[str, npt.NDArray[Any]], length: int, filled: list[int]
    ) -> BatchHistory:
        history = cls.__new__(cls)  # without __init__'s empty columns: this runs once a batch
        history._columns, history._length, history._filled = columns, length, filled
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

    def appended(self, record: Mapping[str, Any]) -> BatchHistory:
        """A new history of these records and `record` after them; this one does not change.

        The two share their columns' memory while this history's last row is the last one
        written to it (the new row goes beyond every sharing history's length, where none of
        them reads), so a stream that appends batch after batch costs amortised constant time per
        record; otherwise, or when the columns are full, they are copied first. An interrupt
        (KeyboardInterrupt) anywhere in it leaves every history as it was; a missing or bad field
        raises and changes nothing.
        """
        length, columns, filled = self._length, self._columns, self._filled
        if filled[0] != length or columns["rows"].shape[0] == length:
            capacity = max(2 * length, 16)
            columns = {
                field: np.concatenate(
                    [column[:length], np.empty_like(column, shape=capacity - length)]
                )
                for field, column in columns.items()
            }
            filled = [length]
        for field, column in columns.items():
            column[length] = record[field]
        filled[0] = length + 1
        return BatchHistory._of(columns, length + 1, filled)

    def append(self, record: Mapping[str, Any]) -> None:
        """Adds the record of the next batch in place, as `appended` builds it; an interrupt
        leaves the history as it was or with the record added."""
        grown = self.appended(record)
        self._columns, self._length, self._filled = grown._columns, grown._length, grown._filled

    def __delitem__(self, index: int | slice) -> None:
        """Removes records as `del` does from a list. ``del history[n:]`` copies nothing: the
        next append then moves to new columns instead of writing over what an earlier `column`
        view shows. An interrupt leaves the history as it was or with the records removed."""
        if isinstance(index, slice) and index.step in (None, 1) and index.stop is None:
            self._length = min(self._length, range(self._length)[index].start)
            return
        kept = np.ones(self._length, dtype=np.bool_)
        kept[index] = False
        length = int(kept.sum())
        self._columns, self._length, self._filled = (
            {field: column[: self._length][kept] for field, column in self._columns.items()},
            length,
            [length],
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
