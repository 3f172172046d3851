"""Dataset: record changes, reads, range reads, the read-only refusal, argument handling, borrows."""
import array
import sys
import time

import pytest

import quelvane


def raised(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


class Bytes(bytes):
    pass


class Buffer(bytearray):
    pass


# --- writing and reading ---------------------------------------------------------------------

@pytest.mark.parametrize("data,stored", [
    (b"abc", b"abc"),
    (b"", b""),
    (Bytes(b"sub"), b"sub"),
    (bytearray(b"\x00\xff"), b"\x00\xff"),
    (Buffer(b"ba"), b"ba"),
    ([1, 2, 3], b"\x01\x02\x03"),
    ((0, 255), b"\x00\xff"),
    (array.array("B", [7, 8]), b"\x07\x08"),
    (range(3), b"\x00\x01\x02"),
    (bytes(4 << 20), bytes(4 << 20)),
])
def test_write_then_read(ds, data, stored):
    assert ds.write(5, data) is None
    got = ds.read(5)
    assert got == (5, stored) and type(got[1]) is bytes
    assert ds.read_length(5) == len(stored)


@pytest.mark.parametrize("data,cls,message", [
    ("text", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    (None, TypeError, "argument 'data': 'None' is not an instance of 'Sequence'"),
    ([1, 256], OverflowError, "out of range integral type conversion attempted"),
    ([1, -1], OverflowError, "out of range integral type conversion attempted"),
    ([1, "x"], TypeError, "argument 'data': 'str' object cannot be interpreted as an integer"),
])
@pytest.mark.parametrize("method", ["write", "append"])
def test_data_conversion_errors(ds, method, data, cls, message):
    err = raised(getattr(ds, method), 1, data)
    assert type(err) is cls and str(err) == message
    assert ds.latest_timestamp is None


def test_payload_limit(ds):
    err = raised(ds.write, 1, bytes((4 << 20) + 1))
    assert type(err) is quelvane.QvanInvalidDataError
    assert ds.read(1) is None


@pytest.mark.parametrize("method,args", [("write", (-1, b"x")), ("append", (-2**63, b"x")), ("delete", (-1,))])
def test_negative_timestamps_are_refused(ds, method, args):
    message = "invalid data: write timestamp must be non-negative"
    err = raised(getattr(ds, method), *args)
    assert type(err) is quelvane.QvanInvalidDataError and str(err) == message
    assert isinstance(err, quelvane.QvanError) and err.args == (message,)


def test_reads_of_a_small_dataset(ds):
    for ts, data in [(1, b"a"), (2, b"bb"), (4, b"dddd")]:
        ds.write(ts, data)
    assert ds.latest_timestamp == 4
    assert ds.read(3) is None
    assert ds.read(-1) == (4, b"dddd")  # counts back from the latest
    assert ds.read(-3) == (2, b"bb")
    assert ds.read(-10) is None
    assert ds.read_latest() == (4, b"dddd")
    assert [ds.read_exist(t) for t in (0, 1, 2, 3, 4, 5, -1)] == [False, True, True, False, True, False, True]
    assert [ds.read_length(t) for t in (1, 3, -1)] == [1, None, 4]
    assert ds.query_all(0, 10) == [(1, b"a"), (2, b"bb"), (4, b"dddd")]
    assert ds.query_all(2, 3) == [(2, b"bb")]
    assert ds.query_all(-2, -1) == [(4, b"dddd")]
    assert ds.query_all(5, 1) == []
    assert ds.query_length_all(0, 10) == [(1, 1), (2, 2), (4, 4)]
    assert ds.query_exist(0, 9) == bytes([0b00010110, 0])
    assert ds.query_exist(1, 4) == bytes([0b1011])
    assert ds.query_exist(9, 1) == b""


def test_changes(ds):
    ds.write(1, b"one")
    ds.write(2, b"two")
    ds.append(2, b"+more")
    ds.append(3, b"new")
    ds.write(1, b"ONE")  # a correction replaces the record
    assert ds.query_all(0, 5) == [(1, b"ONE"), (2, b"two+more"), (3, b"new")]
    assert ds.delete(2) is None
    assert ds.read(2) is None and not ds.read_exist(2)
    assert ds.query_all(0, 5) == [(1, b"ONE"), (3, b"new")]
    ds.flush()
    assert ds.query_all(0, 5) == [(1, b"ONE"), (3, b"new")]


def test_now_methods_use_unix_seconds(ds):
    before = int(time.time())
    ds.write_now(b"w")
    ds.append_now(b"a")
    after = int(time.time())
    latest = ds.latest_timestamp
    assert before <= latest <= after
    got = ds.read_latest()
    assert got[1] in (b"wa", b"a")  # a second boundary between the calls makes two records


def test_bytes_payload_is_not_kept(ds):
    payload = b"x" * 100
    before = sys.getrefcount(payload)
    for i in range(100_000):
        ds.write(i, payload)
    assert sys.getrefcount(payload) == before
    assert ds.read(99_999) == (99_999, payload)


# --- the read-only refusal -------------------------------------------------------------------

@pytest.mark.parametrize("method,args", [
    ("write", (2, b"x")),
    ("write", (-1, b"")),  # the refusal comes before the core's own checks
    ("append", (1, b"x")),
    ("write_now", (b"x",)),
    ("append_now", ([1, 2],)),
    ("delete", (1,)),
])
def test_read_only_dataset_refuses_changes(read_only_ds, method, args):
    err = raised(getattr(read_only_ds, method), *args)
    assert type(err) is RuntimeError and str(err) == "Dataset is read-only"
    assert read_only_ds.query_all(0, 10) == [(1, b"one")]


def test_read_only_argument_errors_come_first(read_only_ds):
    err = raised(read_only_ds.write, 1, "text")
    assert type(err) is TypeError and str(err) == "argument 'data': Can't extract `str` to `Vec`"
    err = raised(read_only_ds.delete, "1")
    assert type(err) is TypeError
    assert read_only_ds.read(1) == (1, b"one")
    assert read_only_ds.read_latest() == (1, b"one")
    read_only_ds.flush()
    assert read_only_ds.inspect().state.total_record_count == 1


# --- argument matching -----------------------------------------------------------------------

@pytest.mark.parametrize("method,args,kwargs,message", [
    ("write", (1, b"x", 3), {}, "Dataset.write() takes 2 positional arguments but 3 were given"),
    ("write", (), {}, "Dataset.write() missing 2 required positional arguments: 'timestamp' and 'data'"),
    ("write", (1,), {}, "Dataset.write() missing 1 required positional argument: 'data'"),
    ("write", (1,), {"timestamp": 2}, "Dataset.write() got multiple values for argument 'timestamp'"),
    ("write", (1, b""), {"ts": 2}, "Dataset.write() got an unexpected keyword argument 'ts'"),
    ("query", (1,), {}, "Dataset.query() missing 1 required positional argument: 'end_ts'"),
    ("delete", (), {"timestamp": 1, "x": 2}, "Dataset.delete() got an unexpected keyword argument 'x'"),
])
def test_argument_matching(ds, method, args, kwargs, message):
    err = raised(getattr(ds, method), *args, **kwargs)
    assert type(err) is TypeError and str(err) == message


def test_keywords_and_conversions(ds):
    ds.write(data=b"k", timestamp=7)
    assert ds.query_all(end_ts=10, start_ts=0) == [(7, b"k")]
    assert ds.read(timestamp=True) is None  # a bool is an int to the signed conversion
    err = raised(ds.read, 1.5)
    assert type(err) is TypeError and str(err) == "argument 'timestamp': 'float' object cannot be interpreted as an integer"
    err = raised(ds.read, 2**63)
    assert type(err) is OverflowError
    err = raised(ds.flush, 1)
    assert type(err) is TypeError


# --- borrows ---------------------------------------------------------------------------------

class Reentrant:
    """A sequence whose item access calls back into the dataset while the write converts it."""

    def __init__(self, call):
        self.call = call

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError
        self.call()
        return 0


@pytest.mark.parametrize("call,message", [
    (lambda ds: ds.read(1), "Already borrowed"),
    (lambda ds: ds.write(2, b""), "Already borrowed"),
    (lambda ds: ds.inspect(), "Already mutably borrowed"),
    (lambda ds: ds.id, "Already mutably borrowed"),
    (lambda ds: repr(ds), "Already mutably borrowed"),
])
def test_reentrant_call_meets_the_borrow(ds, call, message):
    err = raised(ds.write, 1, Reentrant(lambda: call(ds)))
    assert type(err) is RuntimeError and str(err) == message
    assert ds.latest_timestamp is None
    ds.write(1, Reentrant(lambda: None))  # the borrow was released
    assert ds.read(1) == (1, b"\x00")


# --- the object ------------------------------------------------------------------------------

def test_properties_and_repr(ds):
    assert type(ds) is quelvane.Dataset and type(ds).__module__ == "builtins"
    assert ds.data_dir.endswith("/a/b")
    assert isinstance(ds.id, int) and isinstance(ds.identifier, int)
    assert repr(ds) == f"Dataset(id={ds.id}, dir={ds.data_dir})"
    assert ds.latest_timestamp is None
    ds.write(3, b"")
    assert ds.latest_timestamp == 3
    for name in ("data_dir", "id", "identifier", "latest_timestamp"):
        with pytest.raises(AttributeError):
            setattr(ds, name, 1)
    with pytest.raises(TypeError):
        type(ds)()
    with pytest.raises(TypeError):
        type("Sub", (type(ds),), {})


def test_docstrings(ds):
    cls = type(ds)
    assert cls.__doc__ is None
    assert cls.write.__text_signature__ == "($self, timestamp, data)"
    assert cls.write.__doc__.startswith("Write a record (timestamp, data).")
    assert cls.read.__doc__.splitlines()[0] == "Read a single record by timestamp."
    assert "timestamp: Exact timestamp when non-negative; latest-relative offset when negative." in cls.read.__doc__
    assert cls.query_length_all.__text_signature__ == "($self, start_ts, end_ts)"
    assert cls.flush.__doc__ == "Flush pending data to disk."
    assert cls.data_dir.__doc__ == "Base directory of this dataset."


def test_read_loops_leak_nothing(ds):
    for i in range(100):
        ds.write(i, b"r" * 50)
    def loop():
        for i in range(100_000):
            ds.read(i % 100)
            ds.read_length(i % 100)
    loop()
    before = sys.getallocatedblocks()
    loop()
    assert sys.getallocatedblocks() - before < 1000
    def queries():
        for _ in range(1000):
            ds.query_all(0, 99)
            ds.query_length_all(0, 99)
            list(ds.query(0, 99))
    queries()
    before = sys.getallocatedblocks()
    queries()
    assert sys.getallocatedblocks() - before < 1000
