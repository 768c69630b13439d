"""The helper thread that reads batches ahead of the fit."""

import threading

import pytest

from quillfen.cli._prefetch import prefetched


def counting(n, fail_at=None, made=None):
    for i in range(n):
        if i == fail_at:
            raise ValueError(f"bad item {i}")
        if made is not None:
            made.append(i)
        yield i


def reader_threads():
    return [t for t in threading.enumerate() if t.name == "quillfen-reader"]


def test_items_arrive_in_order_and_a_failure_arrives_where_it_happened():
    assert list(prefetched(counting(50), depth=2)) == list(range(50))
    seen = []
    with pytest.raises(ValueError, match="bad item 7"):
        seen.extend(prefetched(counting(50, fail_at=7)))
    assert seen == list(range(7))
    assert not reader_threads()


def test_an_early_stop_ends_the_reader_after_at_most_depth_plus_one_more_items():
    made = []
    for item in prefetched(counting(1000, made=made), depth=1):
        if item == 3:
            break
    assert not reader_threads()
    assert len(made) <= 3 + 1 + 2
