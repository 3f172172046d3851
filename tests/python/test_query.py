"""QueryIterator and QueryLengthIterator: stepping, direction, skipping, collecting and closing."""
import pytest

import quelvane

RECORDS = [(ts, bytes([ts]) * ts) for ts in (1, 2, 3, 5, 8)]
LENGTHS = [(ts, len(data)) for ts, data in RECORDS]


@pytest.fixture
def five(ds):
    for ts, data in RECORDS:
        ds.write(ts, data)
    return ds


@pytest.fixture(params=["query", "query_length"])
def kind(request):
    return request.param


def items(kind):
    return RECORDS if kind == "query" else LENGTHS


def raised(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    return info.value


def test_classes(five):
    it = five.query(0, 10)
    lit = five.query_length(0, 10)
    assert type(it).__name__ == "QueryIterator" and type(lit).__name__ == "QueryLengthIterator"
    assert type(it) is quelvane.QueryIterator
    assert not hasattr(quelvane, "QueryLengthIterator") and "QueryLengthIterator" not in quelvane.__all__
    for cls in (type(it), type(lit)):
        assert cls.__module__ == "builtins" and cls.__doc__ is None
        assert cls.skip.__text_signature__ == "($self, count)" and cls.skip.__doc__ is None
        with pytest.raises(TypeError):
            cls()
    assert iter(it) is it


@pytest.mark.parametrize("steps,expected", [
    # each step: a method call before iterating on; the expected items, by index into the five
    ([], [0, 1, 2, 3, 4]),
    ([("reverse",)], [4, 3, 2, 1, 0]),
    ([("skip", 2)], [2, 3, 4]),
    ([("skip", 1), ("skip", 1)], [2, 3, 4]),
    ([("reverse",), ("skip", 1)], [3, 2, 1, 0]),
    ([("skip", 1), ("reverse",)], [4, 3, 2, 1]),
    ([("skip", 1), ("reverse",), ("skip", 1)], [3, 2, 1]),
    ([("skip", 10)], []),
    ([("skip", 2**64 - 1), ("skip", 2**64 - 1)], []),  # saturates
    ([("reverse",), ("reverse",)], [0, 1, 2, 3, 4]),
])
def test_direction_and_skips(five, kind, steps, expected):
    it = getattr(five, kind)(0, 10)
    for name, *args in steps:
        assert getattr(it, name)(*args) is None
    assert list(it) == [items(kind)[i] for i in expected]


def test_turning_midway(five, kind):
    it = getattr(five, kind)(0, 10)
    assert [next(it), next(it)] == items(kind)[:2]
    it.reverse()
    assert list(it) == [items(kind)[4], items(kind)[3], items(kind)[2]]


@pytest.mark.parametrize("start,end,expected", [
    (2, 5, [1, 2, 3]),
    (-1, -1, [4]),   # counted back from the latest
    (-4, 8, [3, 4]),   # -4 is 5
    (-5, 4, []),       # -5 is 4, which holds nothing
    (6, 7, []),
    (9, 2, []),
    (-100, 1, [0]),
])
def test_ranges(five, kind, start, end, expected):
    assert list(getattr(five, kind)(start, end)) == [items(kind)[i] for i in expected]


def test_empty_range_ends_at_once(five, kind):
    it = getattr(five, kind)(6, 7)
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(StopIteration):
        next(it)
    assert it.collect_all() == []


def test_steps_see_later_changes(five):
    it = five.query(0, 100)
    assert next(it) == RECORDS[0]
    five.delete(2)
    five.write(50, b"late")
    assert list(it) == RECORDS[2:] + [(50, b"late")]


@pytest.mark.parametrize("count,expected", [(0, 0), (2, 2), (5, 5), (9, 5)])
def test_collect_take_closes(five, kind, count, expected):
    it = getattr(five, kind)(0, 10)
    assert it.collect_take(count) == items(kind)[:expected]
    with pytest.raises(StopIteration):
        next(it)
    assert it.collect_take(1) == [] and it.collect_all() == []


def test_collect_all_drains_the_rest(five, kind):
    it = getattr(five, kind)(0, 10)
    assert next(it) == items(kind)[0]
    it.skip(1)
    assert it.collect_all() == items(kind)[2:]
    assert it.collect_all() == []
    with pytest.raises(StopIteration):
        next(it)


def test_collect_take_count_is_converted_first(five, kind):
    it = getattr(five, kind)(0, 10)
    err = raised(it.collect_take, -1)
    assert type(err) is OverflowError
    err = raised(it.collect_take, "2")
    assert type(err) is TypeError and str(err).startswith("argument 'count': ")
    assert list(it) == items(kind)  # still open and unchanged


def test_closed_iterator_stays_closed(five, kind):
    it = getattr(five, kind)(0, 10)
    assert it.close() is None
    assert it.close() is None
    it.skip(1)
    it.reverse()
    assert list(it) == [] and it.collect_all() == [] and it.collect_take(3) == []
    # the count is still converted
    err = raised(it.skip, -1)
    assert type(err) is OverflowError


def test_exhausted_iterator_is_closed(five, kind):
    it = getattr(five, kind)(0, 10)
    assert len(list(it)) == 5
    it.reverse()
    it.skip(0)
    assert list(it) == []


def test_collect_all_matches_query_all(five):
    assert five.query(0, 10).collect_all() == five.query_all(0, 10)
    assert five.query_length(0, 10).collect_all() == five.query_length_all(0, 10)


def test_large_scan(ds):
    # Enough records to span several blocks, read back in both directions.
    payloads = [(ts, (b"%08d" % ts) * 12) for ts in range(20_000)]
    for ts, data in payloads:
        ds.write(ts, data)
    assert ds.query_all(0, 2**62) == payloads
    assert ds.query(0, 2**62).collect_all() == payloads
    rev = ds.query(0, 2**62)
    rev.reverse()
    assert list(rev) == payloads[::-1]
    assert ds.query_length_all(100, 199) == [(ts, 96) for ts in range(100, 200)]


# --- running out of memory while records are made --------------------------------------------

def under_a_failing_allocation(n, fn):
    """fn() while the n-th Python allocation from now fails: its result, or its MemoryError."""
    _testcapi = pytest.importorskip("_testcapi")
    _testcapi.set_nomemory(n, n + 1)
    try:
        return fn()
    except MemoryError as e:
        return e
    finally:
        _testcapi.remove_mem_hooks()


# Timestamps that are not cached small ints, payloads that are not cached one-byte strings: every
# object of a record is allocated.
BIG = [(1000 + ts, data * 2) for ts, data in RECORDS]


@pytest.mark.parametrize("call", [
    lambda ds: ds.query_all(0, 2000),
    lambda ds: ds.query(0, 2000).collect_all(),
    lambda ds: ds.query(0, 2000).collect_take(9),
    lambda ds: next(ds.query(0, 2000)),
    lambda ds: ds.read(1005),
    lambda ds: ds.read_latest(),
], ids=["query_all", "collect_all", "collect_take", "next", "read", "read_latest"])
def test_out_of_memory_raises_and_never_shortens(ds, call):
    for ts, data in BIG:
        ds.write(ts, data)
    complete = call(ds)
    assert complete in (BIG, BIG[0], BIG[3], BIG[-1])
    outcomes = set()
    for n in range(40):
        got = under_a_failing_allocation(n, lambda: call(ds))
        if isinstance(got, MemoryError):
            outcomes.add("MemoryError")
        else:
            assert got == complete, n  # never a shorter list, never a StopIteration
            outcomes.add("complete")
    assert outcomes == {"MemoryError", "complete"}
