"""A CSV file's rows as Arrow record batches, parsed on several threads at once.

Arrow's streaming CSV reader parses one block after another on one core, and parsing text is
most of what reading CSV costs. Here the file is cut into blocks of whole lines, Arrow parses
each one on a thread of a pool (it releases the interpreter lock while it parses), and the blocks
come out in file order. As in Arrow's reader by default (`newlines_in_values=False`), a line end
always ends a row. Memory: at most one block per thread, plus one, is read ahead.
"""

import re
from collections import deque
from collections.abc import Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from typing import Any

from quillfen.cli._command_error import CommandError
from quillfen.cli._extras import require

# Bytes of text per block: large enough that a thread's hand-over costs little, small enough
# that the blocks in flight stay well below a batch's memory.
BLOCK_BYTES = 8 << 20
# Bytes Arrow parses at a time within a block: parsing in pieces that stay in the cache is faster
# than a block at once. A row longer than this is refused, as by Arrow's own reader.
ARROW_BLOCK_BYTES = 4 << 20


def csv_record_batches(
    path: Path,
    *,
    column_names: Sequence[str],
    column_types: dict[str, Any],
    command: str,
) -> Iterator[Any]:
    """The rows after the header line of the CSV file at `path`, as Arrow record batches.

    Parameters
    ----------
    path : Path
        A CSV file, compressed when its name ends in .gz or .bz2.
    column_names : sequence of str
        The names of all the file's columns, in order (its header, already read).
    column_types : dict of str to Arrow type
        The columns to read and the type each value is converted to; the others are skipped.
    command : str
        The command reading, for the message about a missing pyarrow.

    Yields
    ------
    pyarrow.RecordBatch
        The rows in file order.

    Raises
    ------
    CommandError
        Naming the file and the row (counted from 1 without the header and empty lines) of a
        value its column's type cannot hold or a row with the wrong number of values.
        Errors of reading the file (OSError, Arrow's errors) pass through.
    """
    pa = require("pyarrow", command)
    csv = require("pyarrow.csv", command)
    convert_options = csv.ConvertOptions(
        include_columns=list(column_types), column_types=column_types
    )
    read_options = csv.ReadOptions(
        column_names=list(column_names), use_threads=False, block_size=ARROW_BLOCK_BYTES
    )

    def parse(block: memoryview) -> Any:
        return csv.read_csv(
            pa.BufferReader(pa.py_buffer(block)),
            read_options=read_options,
            convert_options=convert_options,
        )

    threads = max(1, pa.cpu_count())
    pool = ThreadPoolExecutor(threads, thread_name_prefix="quillfen-csv")
    pending: deque[Future[Any]] = deque()
    rows_before = 0

    def next_table() -> Any:
        nonlocal rows_before
        try:
            table = pending.popleft().result()
        except pa.ArrowInvalid as error:
            problem = describe_parse_error(str(error), rows_before, column_names)
            raise CommandError(f"{path}: {problem}") from None
        rows_before += table.num_rows
        return table

    try:
        with pa.input_stream(str(path), compression="detect") as stream:
            for block in line_blocks(stream, BLOCK_BYTES):
                pending.append(pool.submit(parse, block))
                if len(pending) > threads:
                    yield from next_table().to_batches()
        while pending:
            yield from next_table().to_batches()
    finally:
        # Also when the reader stops early: blocks not yet begun are dropped.
        pool.shutdown(wait=True, cancel_futures=True)


def line_blocks(stream: Any, size: int) -> Iterator[memoryview]:
    """The text of `stream` after its first line, in blocks of whole lines of about `size` bytes.

    A block ends with a line end, except perhaps the last; a line longer than `size` makes a
    longer block. The stream reads straight into each block's buffer, so the text is copied once.
    `stream` needs only readinto, as Arrow's input streams have.
    """
    carry = b""  # the start of a line the last read cut off
    past_header = False
    while True:
        # A new buffer each time: the blocks before it may still be being parsed.
        buffer = bytearray(len(carry) + size)
        buffer[: len(carry)] = carry
        filled = len(carry) + stream.readinto(memoryview(buffer)[len(carry) :])
        if filled == len(carry):
            break
        start = 0
        if not past_header:
            start = buffer.find(b"\n", 0, filled) + 1
            if start == 0:
                carry = bytes(buffer[:filled])
                continue
            past_header = True
        cut = buffer.rfind(b"\n", start, filled) + 1
        if cut == 0:
            carry = bytes(buffer[start:filled])
            continue
        carry = bytes(buffer[cut:filled])
        yield memoryview(buffer)[start:cut]
    if past_header and carry:
        yield memoryview(carry)


def describe_parse_error(message: str, rows_before: int, column_names: Sequence[str]) -> str:
    """Arrow's message about a block that failed to parse, in the user's terms.

    Arrow counts rows from the block's start ("Row #3"), so the file's row is `rows_before`
    more; a column is named, not numbered.
    """
    message = message.strip().splitlines()[0] if message.strip() else "cannot parse the file"
    row = ""
    row_match = re.search(r"Row #(\d+): ", message)
    if row_match:
        row = f"row {rows_before + int(row_match.group(1))}: "
        message = message[: row_match.start()] + message[row_match.end() :]
    conversion = re.search(r"CSV column #(\d+): CSV conversion error to \w+: (.*)", message)
    if conversion:
        index = int(conversion.group(1))
        column = column_names[index] if index < len(column_names) else f"#{index}"
        return f"{row}column '{column}' is not numeric: {conversion.group(2)}"
    return f"{row}{message}"
