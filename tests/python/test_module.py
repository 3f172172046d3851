import gc
import importlib
import inspect
import subprocess
import sys
import weakref

import pytest

import quelvane

EXCEPTIONS = [
    ("QvanError", "Exception", "Base exception for all quelvane errors."),
    ("QvanIoError", "QvanError", "I/O error (file not found, permission denied, etc.)."),
    ("QvanNotFoundError", "QvanError", "Dataset, segment, or handle not found."),
    ("QvanAlreadyExistsError", "QvanError", "Dataset already exists."),
    ("QvanInvalidDataError", "QvanError", "Invalid data: bad timestamp, out-of-order, duplicate, corrupt block."),
    ("QvanSegmentFullError", "QvanError", "Segment file is full (expansion needed)."),
    ("QvanMmapError", "QvanError", "Memory-mapping error."),
    ("QvanCompressionError", "QvanError", "Compression failure."),
    ("QvanDecompressionError", "QvanError", "Decompression failure."),
    ("QvanExpiredError", "QvanError", "Timestamp is outside the retention window."),
    ("QvanQueueAlreadyOpenError", "QvanError", "Queue is already open for this dataset."),
    ("QvanQueueNotOpenError", "QvanError", "Queue is not open for this dataset."),
    ("QvanConsumerGroupNotFoundError", "QvanError", "Consumer group not found."),
    ("QvanConsumerGroupExistsError", "QvanError", "Consumer group already exists."),
    ("QvanQueueClosedError", "QvanError", "Queue has been closed."),
    ("QvanPendingFullError", "QvanError", "Consumer group pending list is full."),
]

CLASSES = [
    "Store", "DataSetInfo", "DataSetState", "DataSetInspectResult", "StoreConfig", "Dataset",
    "QueryIterator", "DatasetQueue", "DatasetQueueConsumer", "DatasetQueueConsumerInfo",
    "DatasetQueueConsumerPendingEntry", "DatasetQueueConsumerState", "DatasetQueueConsumerInspectResult",
    "JournalQueue", "JournalQueueConsumer",
]
FULL_ALL = [name for name, _, _ in EXCEPTIONS] + CLASSES


def test_module_object():
    assert quelvane.__name__ == "quelvane"
    assert quelvane.__doc__ == ""
    assert quelvane.__file__.endswith(".abi3.so")


def test_all_lists_the_names_in_order():
    # Classes join __all__ as they are built; whichever exist must keep the fixed order.
    present = [name for name in FULL_ALL if hasattr(quelvane, name)]
    assert quelvane.__all__ == present
    assert quelvane.__all__[:16] == [name for name, _, _ in EXCEPTIONS]
    assert "StoreConfig" in quelvane.__all__
    for hidden in ("QueryLengthIterator", "PanicException"):
        assert hidden not in quelvane.__all__
        assert not hasattr(quelvane, hidden)


@pytest.mark.parametrize("name,base,doc", EXCEPTIONS)
def test_exception_class(name, base, doc):
    cls = getattr(quelvane, name)
    assert cls.__module__ == "quelvane"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__ == doc
    assert cls.__bases__ == (getattr(quelvane, base) if base == "QvanError" else Exception,)
    # Ordinary exception classes: subclassable, one message argument.
    sub = type("Sub", (cls,), {})
    err = sub("text")
    assert isinstance(err, quelvane.QvanError) and str(err) == "text" and err.args == ("text",)


def test_io_error_mro():
    assert [c.__name__ for c in quelvane.QvanIoError.__mro__] == [
        "QvanIoError", "QvanError", "Exception", "BaseException", "object"]


def test_reimport_gives_the_same_class_objects():
    first = quelvane
    del sys.modules["quelvane"]
    try:
        second = importlib.import_module("quelvane")
        assert second is not first
        for name in first.__all__:
            assert getattr(second, name) is getattr(first, name), name
        assert second.__all__ == first.__all__
    finally:
        sys.modules["quelvane"] = first


def test_store_config_class_shape():
    cls = quelvane.StoreConfig
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == "StoreConfig"
    assert cls.__doc__ == ""
    with pytest.raises(TypeError, match=r"^type 'builtins.StoreConfig' is not an acceptable base type$"):
        type("Sub", (cls,), {})
    obj = cls()
    assert not gc.is_tracked(obj)
    with pytest.raises(TypeError, match=r"^cannot create weak reference to 'builtins.StoreConfig' object$"):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(AttributeError, match=r"^attribute 'flush_interval' of 'builtins.StoreConfig' objects is not writable$"):
        obj.flush_interval = 1
    # No comparison or hashing of its own: equality is identity.
    assert cls() != cls() and obj == obj
    assert inspect.signature(cls.default) == inspect.Signature()


# --- daemon threads inside a module call at interpreter exit ---------------------------------

EXIT_SCRIPT = r"""
import itertools, sys, threading, time
import quelvane

kind, data_dir = sys.argv[1], sys.argv[2]
s = quelvane.Store.open(data_dir)
ds = s.create_dataset("a", "b", enable_journal=True)
q = s.open_queue(ds.id)
started = threading.Semaphore(0)
names = itertools.count()


class Items:
    # A sequence whose items come from Python code, run inside the write's conversion.
    def __len__(self):
        return 64

    def __getitem__(self, i):
        if i >= 64:
            raise IndexError(i)
        return sum(range(i)) % 256


def poll_with(c):
    while True:
        r = c.poll(1)
        if r:
            c.ack(r[0])
        started.release()


def poll():
    poll_with(q.open_consumer(f"g{next(names)}"))


def journal_poll():
    poll_with(s.open_journal_queue().open_consumer(f"j{next(names)}"))


def push_with_callback():
    c = q.open_consumer(f"w{next(names)}")
    c.poll_callback(lambda: sum(range(100)))
    while True:
        q.push(b"x" * 10)
        started.release()


def write_sequence():
    mine = s.open_dataset("a", "b")
    while True:
        mine.write_now(Items())
        started.release()


threads = [threading.Thread(target=globals()[kind], daemon=True) for _ in range(3)]
for t in threads:
    t.start()
# Every thread has made its call at least once and is still in its loop.
for _ in range(3 * len(threads)):
    if not started.acquire(timeout=10):
        sys.exit(3)
if not all(t.is_alive() for t in threads):
    sys.exit(4)
time.sleep(0.05)
sys.exit(7)
"""


@pytest.mark.parametrize("kind", ["poll", "journal_poll", "push_with_callback", "write_sequence"])
def test_daemon_threads_inside_a_call_at_exit(tmp_path, kind):
    # At exit the interpreter ends such threads with a forced unwind as they take its lock back;
    # the process must still end with the status it asked for, every time.
    for run in range(5):
        proc = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, kind, str(tmp_path / f"d{run}")],
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == 7, (run, proc.returncode, proc.stderr[-2000:])
        assert "terminate" not in proc.stderr and "panic" not in proc.stderr, proc.stderr[-2000:]
