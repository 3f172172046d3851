"""Store: opening and closing, handing out datasets, the option merge, the journal and background
methods, the closed state, the writer lock, and a read-only store beside a live writer."""
import gc
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import quelvane
from quelvane import Store, StoreConfig


def raised(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


def expect(err, cls, message):
    assert type(err) is cls, (type(err), str(err))
    assert str(err) == message


QUIET = StoreConfig(enable_background_thread=False)


# --- the closed state ------------------------------------------------------------------------

CLOSED_CALLS = [
    ("create_dataset", ("a", "b")),
    ("open_dataset", ("a", "b")),
    ("open_dataset_by_identifier", (1,)),
    ("journal_latest_sequence", ()),
    ("journal_read", (1,)),
    ("journal_query", (1, 2)),
    ("drop_dataset", ("a", "b")),
    ("tick_background_tasks", ()),
    ("next_background_delay", ()),
    ("get_dataset_names", ()),
    ("get_dataset_types", ("a",)),
    ("inspect_dataset", ("a", "b")),
]


@pytest.mark.parametrize("method,args", CLOSED_CALLS)
def test_a_closed_store_refuses(data_dir, method, args):
    closed = Store.open(data_dir)
    closed.close()
    for store in (Store(), closed):
        expect(raised(getattr(store, method), *args), RuntimeError, "Store is closed")


def test_store_constructor(data_dir):
    s = Store()
    assert type(s) is Store and s.__enter__() is s
    expect(raised(s.close), RuntimeError, "Store is already closed")
    expect(raised(Store, 1), TypeError, "Store.__new__() takes 0 positional arguments but 1 was given")
    expect(raised(Store, x=1), TypeError, "Store.__new__() got an unexpected keyword argument 'x'")
    with pytest.raises(RuntimeError, match="^Store is already closed$"):
        with Store():
            pass


def test_argument_errors_win_over_closed():
    s = Store()
    expect(raised(s.open_dataset, 1, "b"), TypeError, "argument 'name': 'int' object cannot be converted to 'str'")
    expect(raised(s.open_dataset_by_identifier, -1), OverflowError, "can't convert negative int to unsigned")
    expect(raised(s.create_dataset, "a", "b", compress_level=256), OverflowError,
           "out of range integral type conversion attempted")
    expect(raised(s.journal_read), TypeError, "Store.journal_read() missing 1 required positional argument: 'sequence'")
    expect(raised(s.__exit__), TypeError,
           "Store.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_val', and '_exc_tb'")
    expect(raised(s.drop_dataset), TypeError,
           "Store.drop_dataset() missing 2 required positional arguments: 'name' and 'dataset_type'")
    expect(raised(s.create_dataset, "a", "b", 1), TypeError,
           "Store.create_dataset() takes 2 positional arguments but 3 were given")


def test_close_and_context_manager(data_dir):
    s = Store.open(data_dir)
    assert s.close() is None
    expect(raised(s.close), RuntimeError, "Store is already closed")
    with pytest.raises(RuntimeError, match="^Store is already closed$"):
        with Store.open(data_dir) as s:
            assert s.__exit__(None, None, None) is None  # closes; leaving the block finds it closed
    expect(raised(s.get_dataset_names), RuntimeError, "Store is closed")
    with pytest.raises(KeyError):  # __exit__ returns None: the body's exception propagates
        with Store.open(data_dir) as s:
            raise KeyError("x")
    expect(raised(s.get_dataset_names), RuntimeError, "Store is closed")


# --- opening ---------------------------------------------------------------------------------

@pytest.mark.parametrize("data_dir,config,cls,message", [
    (5, None, TypeError, "argument 'data_dir': 'int' object cannot be converted to 'str'"),
    (None, None, TypeError, "argument 'data_dir': 'None' is not an instance of 'str'"),
    (b"/tmp/x", None, TypeError, "argument 'data_dir': 'bytes' object cannot be converted to 'str'"),
    (pathlib.Path("/tmp/x"), None, TypeError, "argument 'data_dir': 'PosixPath' object cannot be converted to 'str'"),
    ("/tmp/x", 1, TypeError, "argument 'config': 'int' object cannot be converted to 'StoreConfig'"),
])
def test_open_argument_errors(data_dir, config, cls, message):
    expect(raised(Store.open, data_dir, config), cls, message)


def test_nul_is_refused_before_any_file(tmp_path):
    target = tmp_path / "d"
    expect(raised(Store.open, str(target) + "\0x"), ValueError, "embedded null byte")
    assert not target.exists()
    with Store.open(str(target)) as s:
        for method, args in [("create_dataset", ("a\0", "b")), ("open_dataset", ("a", "b\0")),
                             ("drop_dataset", ("a\0", "b")), ("inspect_dataset", ("a", "\0")),
                             ("get_dataset_types", ("\0",))]:
            expect(raised(getattr(s, method), *args), ValueError, "embedded null byte")
        assert not (target / "a").exists() and s.get_dataset_names() == []


def test_options_are_checked_at_open(data_dir):
    err = raised(Store.open, data_dir, StoreConfig(data_segment_size=0))
    assert isinstance(err, quelvane.QvanInvalidDataError)


def test_open_on_an_instance_gives_a_store(data_dir):
    s = Store().open(data_dir)
    assert type(s) is Store
    s.close()


# --- handing out datasets --------------------------------------------------------------------

def test_ids_and_identifiers(store, data_dir):
    a = store.create_dataset("a", "b")
    b = store.open_dataset("a", "b")
    c = store.open_dataset_by_identifier(a.identifier)
    assert (a.id, b.id, c.id) == (1, 2, 3)
    assert a.identifier == b.identifier == c.identifier
    assert a.data_dir == b.data_dir == os.path.join(data_dir, "a", "b")
    a.write(1, b"x")
    assert b.read(1) == (1, b"x") and c.read_latest() == (1, b"x")
    other = Store.open(data_dir, StoreConfig(read_only=True))
    assert other.open_dataset("a", "b").id == 1
    other.close()


def test_a_relative_data_dir_is_shown_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "elsewhere").mkdir()
    with Store.open("rel/store", QUIET) as s:
        monkeypatch.chdir(tmp_path / "elsewhere")  # the files stay where the store was opened
        ds = s.create_dataset("a", "b")
        ds.write(1, b"x")
        assert ds.data_dir == "rel/store/a/b"
        assert repr(ds) == f"Dataset(id={ds.id}, dir=rel/store/a/b)"
        assert ds.inspect().info.base_dir == "rel/store/a/b"
        assert s.inspect_dataset("a", "b").info.base_dir == "rel/store/a/b"
        assert s.open_dataset_by_identifier(ds.identifier).data_dir == "rel/store/a/b"
        expect(raised(s.open_dataset, "x", "y"), quelvane.QvanNotFoundError,
               "not found: dataset identifier not found at rel/store/x/y/identifier")
    assert (tmp_path / "rel" / "store" / "a" / "b" / "meta").exists()
    assert not (tmp_path / "elsewhere" / "rel").exists()
    monkeypatch.chdir(tmp_path)
    with Store.open("rel/store", StoreConfig(enable_background_thread=False, enable_journal=True)) as s:
        monkeypatch.chdir(tmp_path / "elsewhere")
        ds = s.create_dataset("j", "k", enable_journal=True)
        queue = s.open_queue(ds.id)
        groups = [(queue.open_consumer("g", running_expired_seconds=0), "rel/store/j/k/queue/g"),
                  (s.open_journal_queue().open_consumer("g", running_expired_seconds=0),
                   "rel/store/.journal/logs/queue/g")]
        for _ in range(227):
            queue.push(b"x")
        for consumer, shown in groups:
            with pytest.raises(quelvane.QvanPendingFullError) as info:
                for _ in range(300):
                    consumer.poll(0)
            assert str(info.value) == f"pending entries full: {shown} (226 entries)"
    monkeypatch.chdir(tmp_path)
    with Store.open("rel/store", QUIET) as s:  # a/b on disk, not open
        expect(raised(s.create_dataset, "a", "b"), quelvane.QvanAlreadyExistsError,
               "already exists: dataset already exists at rel/store/a/b")


def test_core_errors_hand_out_nothing(store):
    expect(raised(store.open_dataset, "a", "b"), quelvane.QvanNotFoundError,
           f"not found: dataset identifier not found at {store.create_dataset('x', 'y').data_dir[:-4]}/a/b/identifier")
    store.create_dataset("a", "b")
    err = raised(store.create_dataset, "a", "b")
    expect(err, quelvane.QvanAlreadyExistsError, "already exists: dataset a/b is already open")
    err = raised(store.create_dataset, "bad name", "b")
    assert type(err) is quelvane.QvanInvalidDataError and str(err).startswith("invalid data: dataset name, must match")
    expect(raised(store.open_dataset_by_identifier, 0), quelvane.QvanInvalidDataError,
           "invalid data: dataset identifier must be > 0")
    expect(raised(store.open_dataset_by_identifier, 99), quelvane.QvanNotFoundError, "not found: dataset identifier 99")
    assert store.open_dataset("a", "b").id == 3  # x/y took 1, a/b 2; the failures took none


@pytest.mark.parametrize("store_level,kwargs,expected", [
    (6, {}, {"compress_level": 6, "index_continuous": 0, "enable_journal": False}),
    (3, {"compress_level": None}, {"compress_level": 3}),
    (6, {"compress_level": 200}, {"compress_level": 9}),
    (6, {"compress_level": 0}, {"compress_level": 0}),
    (6, {"index_continuous": True}, {"index_continuous": 1}),
    (6, {"enable_journal": True}, {"enable_journal": True}),
    (6, {"data_segment_size": 1 << 20, "index_segment_size": 1 << 16},
     {"data_segment_size": 1 << 20, "index_segment_size": 1 << 16}),
    (6, {"initial_data_segment_size": 1 << 16, "initial_index_segment_size": 8192},
     {"initial_data_segment_size": 1 << 16, "initial_index_segment_size": 8192}),
    (6, {"data_segment_size": None}, {"data_segment_size": 67108864, "compress_type": 0, "retention_window": 0}),
])
def test_create_dataset_options(data_dir, store_level, kwargs, expected):
    # The store's own enable_journal (True by default) does not reach the dataset.
    with Store.open(data_dir, StoreConfig(compress_level=store_level, enable_journal=True)) as s:
        info = s.create_dataset("a", "b", **kwargs).inspect().info
        assert {k: getattr(info, k) for k in expected} == expected


@pytest.mark.parametrize("kwargs,cls,message", [
    ({"index_continuous": None}, TypeError, "argument 'index_continuous': 'None' is not an instance of 'bool'"),
    ({"enable_journal": 1}, TypeError, "argument 'enable_journal': 'int' object cannot be converted to 'bool'"),
    ({"compress_level": 256}, OverflowError, "out of range integral type conversion attempted"),
    ({"compress_level": -1}, OverflowError, "out of range integral type conversion attempted"),
    ({"data_segment_size": "1"}, TypeError, "argument 'data_segment_size': 'str' object cannot be interpreted as an integer"),
    ({"level": 1}, TypeError, "Store.create_dataset() got an unexpected keyword argument 'level'"),
])
def test_create_dataset_argument_errors(store, kwargs, cls, message):
    expect(raised(store.create_dataset, "a", "b", **kwargs), cls, message)
    assert store.get_dataset_names() == []


def test_names_types_inspect_and_drop(store):
    for name, kind in [("b", "x"), ("a", "z"), ("a", "y")]:
        store.create_dataset(name, kind).write(1, b"v")
    assert store.get_dataset_names() == ["a", "b"]
    assert store.get_dataset_types("a") == ["y", "z"]
    assert store.get_dataset_types("nope") == []
    result = store.inspect_dataset("a", "y")
    assert type(result) is quelvane.DataSetInspectResult
    assert (result.info.name, result.info.dataset_type, result.state.total_record_count) == ("a", "y", 1)

    ds = store.open_dataset("a", "z")
    it = ds.query(0, 10)
    assert store.drop_dataset("a", "z") is None
    assert store.get_dataset_types("a") == ["y"]
    closed = "invalid data: dataset a/z is closed"
    expect(raised(ds.query_all, 0, 10), quelvane.QvanInvalidDataError, closed)
    expect(raised(next, it), RuntimeError, closed)  # one failure, two reportings
    expect(raised(next, it), RuntimeError, closed)  # a failed step leaves the iterator open
    assert ds.latest_timestamp == 1 and ds.identifier > 0  # the accessors still answer


def test_close_closes_handed_out_datasets(data_dir):
    s = Store.open(data_dir)
    ds = s.create_dataset("a", "b")
    ds.write(1, b"kept")
    it = ds.query(0, 10)
    s.close()
    closed = "invalid data: dataset a/b is closed"
    expect(raised(ds.write, 2, b""), quelvane.QvanInvalidDataError, closed)
    expect(raised(ds.read, 1), quelvane.QvanInvalidDataError, closed)
    expect(raised(it.collect_all), RuntimeError, closed)
    assert it.collect_all() == []  # collecting closed it even so
    with Store.open(data_dir, StoreConfig(read_only=False)) as again:  # the lock went with close()
        assert again.open_dataset("a", "b").read(1) == (1, b"kept")


# --- the writer lock, freeing without close, read-only stores --------------------------------

LOCKED = "invalid data: store is already locked for writing"


def test_freed_store_keeps_the_lock_while_a_dataset_lives(data_dir):
    ds = Store.open(data_dir).create_dataset("a", "b")  # the store is freed at once
    gc.collect()
    expect(raised(Store.open, data_dir, StoreConfig(read_only=False)), quelvane.QvanInvalidDataError, LOCKED)
    ds.write(1, b"still writable")  # the teardown flushed, but did not close
    assert ds.read(1) == (1, b"still writable")
    del ds
    gc.collect()
    with Store.open(data_dir, StoreConfig(read_only=False)) as s:
        assert s.open_dataset("a", "b").read(1) == (1, b"still writable")


def test_freed_store_without_datasets_releases_the_lock(data_dir):
    s = Store.open(data_dir)
    s.create_dataset("a", "b").write(5, b"five")
    del s
    gc.collect()
    with Store.open(data_dir, StoreConfig(read_only=False)) as s:
        assert s.open_dataset("a", "b").read(5) == (5, b"five")


def test_read_only_store_refusals(read_only_ds, data_dir):
    with Store.open(data_dir, StoreConfig(read_only=True)) as s:
        ds = s.open_dataset("a", "b")
        assert ds.inspect().state.read_only is True
        expect(raised(ds.write, 2, b""), RuntimeError, "Dataset is read-only")
        expect(raised(s.create_dataset, "c", "d"), quelvane.QvanInvalidDataError,
               "invalid data: read-only store cannot create dataset")
        expect(raised(s.drop_dataset, "a", "b"), quelvane.QvanInvalidDataError,
               "invalid data: read-only store cannot drop dataset")
        for method in (s.tick_background_tasks, s.next_background_delay):
            expect(raised(method), quelvane.QvanInvalidDataError, "invalid data: read-only store has no background tasks")


WRITER = textwrap.dedent("""
    import sys
    import quelvane
    s = quelvane.Store.open(sys.argv[1], quelvane.StoreConfig(read_only=False))
    ds = s.create_dataset("a", "b")
    for ts in range(100):
        ds.write(ts, b"w%d" % ts)
    ds.flush()
    print("ready", flush=True)
    sys.stdin.readline()
    ds.write(100, b"late")
    ds.flush()
    print("wrote", flush=True)
    sys.stdin.readline()
    s.close()
""")


def test_read_only_beside_a_live_writer(data_dir):
    writer = subprocess.Popen([sys.executable, "-c", WRITER, data_dir], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline().strip() == "ready"
        expect(raised(Store.open, data_dir, StoreConfig(read_only=False)), quelvane.QvanInvalidDataError, LOCKED)
        with Store.open(data_dir) as s:  # read_only unset: falls back to read-only
            ds = s.open_dataset("a", "b")
            assert ds.query_all(0, 99) == [(ts, b"w%d" % ts) for ts in range(100)]
            expect(raised(ds.write, 200, b"x"), RuntimeError, "Dataset is read-only")
            expect(raised(ds.delete, 1), RuntimeError, "Dataset is read-only")
            assert ds.inspect().state.read_only is True
        writer.stdin.write("\n")
        writer.stdin.flush()
        assert writer.stdout.readline().strip() == "wrote"
        with Store.open(data_dir, StoreConfig(read_only=True)) as s:
            assert s.open_dataset("a", "b").read(100) == (100, b"late")
        writer.stdin.write("\n")
        writer.stdin.flush()
        assert writer.wait(timeout=30) == 0
    finally:
        writer.kill()
        writer.wait()


# --- journal and background ------------------------------------------------------------------

def test_journal_methods(data_dir):
    with Store.open(data_dir, QUIET) as s:
        assert s.journal_latest_sequence() is None
        assert s.journal_query(1, 100) == []
        assert s.journal_read(1) is None
        ds = s.create_dataset("a", "b", enable_journal=True)
        ds.write(1, b"x")
        ds.delete(1)
        latest = s.journal_latest_sequence()
        assert latest is not None and latest >= 3  # create, write, delete
        records = s.journal_query(1, latest)
        assert [seq for seq, _ in records] == list(range(1, latest + 1))
        assert all(type(r) is bytes and r for _, r in records)
        assert s.journal_read(latest) == records[-1]
        plain = s.create_dataset("c", "d")
        plain.write(1, b"not journalled")
        assert s.journal_latest_sequence() == latest  # a dataset without journalling records nothing


def test_journal_disabled(data_dir):
    with Store.open(data_dir, StoreConfig(enable_journal=False)) as s:
        err = raised(s.journal_latest_sequence)
        assert isinstance(err, quelvane.QvanError)


def test_background_methods(data_dir):
    with Store.open(data_dir, QUIET) as s:
        s.create_dataset("a", "b").write(1, b"x")
        delay = s.next_background_delay()
        assert type(delay) is int and 0 <= delay <= 15_000
        executed, next_delay = s.tick_background_tasks()
        assert type(executed) is int and 0 <= executed <= 4 and type(next_delay) is int


# --- borrows, the class, leaks ---------------------------------------------------------------

class CallsBack:
    """An int whose conversion calls back into the store while the call holds its borrow."""

    def __init__(self, call):
        self.call = call

    def __index__(self):
        self.call()
        return 1 << 20


@pytest.mark.parametrize("call,message", [
    (lambda s: s.get_dataset_names(), "Already mutably borrowed"),
    (lambda s: s.close(), "Already borrowed"),
    (lambda s: s.open_dataset("a", "b"), "Already borrowed"),
])
def test_reentrant_call_meets_the_borrow(store, call, message):
    err = raised(store.create_dataset, "a", "b", data_segment_size=CallsBack(lambda: call(store)))
    expect(err, RuntimeError, message)
    assert store.get_dataset_names() == []
    assert store.create_dataset("a", "b", data_segment_size=CallsBack(lambda: None)).id == 1


def test_class_surface():
    assert Store.__module__ == "builtins" and Store.__text_signature__ == "()"
    assert Store.create_dataset.__text_signature__ == (
        "($self, name, dataset_type, *, data_segment_size=None, index_segment_size=None, compress_level=None, "
        "index_continuous=False, initial_data_segment_size=None, initial_index_segment_size=None, enable_journal=False)")
    assert Store.open.__text_signature__ == "($cls, data_dir, config=None)"
    assert Store.__exit__.__doc__ == "Context manager exit - calls close()."
    assert Store.drop_dataset.__doc__.splitlines() == [
        "Delete an entire dataset.", "", "WARNING: Irreversible. All data is permanently deleted."]
    with pytest.raises(TypeError):
        type("Sub", (Store,), {})


def test_store_calls_leak_nothing(store):
    store.create_dataset("a", "b")
    def loop():
        for _ in range(100_000):
            store.get_dataset_types("a")
            store.journal_latest_sequence()
    loop()
    before = sys.getallocatedblocks()
    loop()
    assert sys.getallocatedblocks() - before < 1000


# --- a normal interpreter exit ---------------------------------------------------------------

# Run 1 acknowledges what it received and exits without close(); run 2 looks for anything given
# again. A Python function as wake callback keeps its store alive past the end (its globals hold
# the consumer, which holds it where the collector cannot see).
ACKED_AT_EXIT_SCRIPT = r"""
import sys, threading
import quelvane

kind, data_dir, run, daemon = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "daemon"
s = quelvane.Store.open(data_dir)
ds = s.create_dataset("a", "b", enable_journal=True) if run == "1" else s.open_dataset("a", "b")
queue = s.open_queue(ds.id) if kind == "dataset" else s.open_journal_queue()
c = queue.open_consumer("g")
if run == "1":
    c.poll_callback(lambda: None)
    for ts in range(1, 4):
        ds.write(ts, b"x")
    acked = 0
    while (r := c.poll(0)) is not None:
        c.ack(r[0])
        acked += 1
    assert acked == 3, acked
    if daemon:
        # Still waiting in the store when the interpreter exits.
        other = queue.open_consumer("d")
        waiting = threading.Event()
        other.poll_callback(waiting.set)

        def poll_forever():
            while True:
                if (r := other.poll(2**64 - 1)) is not None:
                    other.ack(r[0])

        threading.Thread(target=poll_forever, daemon=True).start()
        ds.write(4, b"y")
        waiting.wait(10)
        c.ack(c.poll(10_000)[0])
else:
    print(c.poll(0))
"""


@pytest.mark.parametrize("daemon", ["", "daemon"])
@pytest.mark.parametrize("kind", ["dataset", "journal"])
def test_a_normal_exit_keeps_acknowledgements_as_close_does(tmp_path, kind, daemon):
    d = str(tmp_path / "d")
    for run in ("1", "2"):
        proc = subprocess.run([sys.executable, "-c", ACKED_AT_EXIT_SCRIPT, kind, d, run, daemon],
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0, (run, proc.stderr[-2000:])
        assert "panic" not in proc.stderr and "terminate" not in proc.stderr, proc.stderr[-2000:]
    assert proc.stdout == "None\n"


# Closing a store at exit lets go of its consumers' callbacks, which here hold the last reference
# to a store: the one being closed (its walk over its datasets must not meet freed memory), or
# one opened later, which the handler's walk still has to reach. A callback let go of may also
# open a store as it is freed (in a new directory, or the closed store's own again), which the
# close must reach too; one that opens another every time must not keep the exit from ending.
# Run 1 prints every store still open once the module's close is over (an exit function
# registered before the import runs after it); run 2 looks for anything given again.
EXIT_CLOSE_FREES_SCRIPT = r"""
import atexit, sys

shape, datasets, data_dir, run = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
opened_late = []

@atexit.register
def after_the_close():
    for name, s in opened_late:
        try:
            s.get_dataset_names()
        except RuntimeError:
            continue
        print("left open:", name)

import quelvane

names = {"a later store": ["a", "b"], "a store opened as it is let go of": ["a", "c"],
         "its own store again as it is let go of": ["a"]}.get(shape, ["a"])

def open_acked(name):
    s = quelvane.Store.open(f"{data_dir}/{name}")
    consumers = []
    for i in range(datasets):
        key = (f"d{i}", "t")
        ds = s.open_dataset(*key) if "t" in s.get_dataset_types(key[0]) else s.create_dataset(*key)
        c = s.open_queue(ds.id).open_consumer("g")
        if run == "1":
            ds.write((ds.latest_timestamp or 0) + 1, b"x")
            c.ack(c.poll(0)[0])
        consumers.append(c)
    return s, consumers

class OpensAStore:
    # Holds its store, as a callback whose globals hold it would; opens `name` once freed.
    def __init__(self, store, name, again):
        self.store, self.name, self.again = store, name, again
    def __call__(self):
        pass
    def __del__(self):
        s, consumers = open_acked(self.name)
        opened_late.append((self.name, s))
        name = f"chain{len(opened_late)}" if self.again else None
        for c in consumers:
            c.poll_callback(OpensAStore(s, name, self.again) if name else (lambda s=s, c=c: None))

def leave_to_exit():
    global a
    if shape == "its own store":
        s, consumers = open_acked("a")
        for c in consumers:
            c.poll_callback(lambda s=s, c=c: None)
    elif shape == "a later store":
        (a, (ca, *_)), (b, _) = open_acked("a"), open_acked("b")
        ca.poll_callback(lambda b=b: None)
    else:
        s, (c, *_) = open_acked("a")
        again = shape == "one more store every time"
        c.poll_callback(OpensAStore(s, {"a store opened as it is let go of": "c"}.get(shape, "a"), again))

if run == "1":
    leave_to_exit()
else:
    opened = [open_acked(name) for name in names]
    print([c.poll(0) for _, consumers in opened for c in consumers])
"""


def run_twice(script, *args):
    """The outputs of the script's run 1 and run 2 (its last argument), each of which must exit 0 with
    nothing on stderr."""
    outputs = []
    for run in ("1", "2"):
        proc = subprocess.run([sys.executable, "-c", script, *args, run], capture_output=True, text=True, timeout=60)
        assert (proc.returncode, proc.stderr) == (0, ""), (run, proc.stderr[-2000:])
        outputs.append(proc.stdout)
    return outputs


@pytest.mark.parametrize("shape, datasets, stores", [
    ("its own store", 1, 1), ("its own store", 5, 1), ("a later store", 2, 2),
    ("a store opened as it is let go of", 1, 2), ("its own store again as it is let go of", 1, 1)])
def test_an_exit_close_that_frees_a_store(tmp_path, shape, datasets, stores):
    assert run_twice(EXIT_CLOSE_FREES_SCRIPT, shape, str(datasets), str(tmp_path)) == [
        "", repr([None] * datasets * stores) + "\n"]


def test_an_exit_close_ends_when_each_store_closed_opens_another(tmp_path):
    # Every round of the close opens one more store; the close gives up after a bounded number
    # of rounds and leaves only the last one open, to its teardown.
    first, _ = run_twice(EXIT_CLOSE_FREES_SCRIPT, "one more store every time", "1", str(tmp_path))
    assert first.count("left open:") == 1, first
    assert len(list(tmp_path.glob("chain*"))) > 1


# The exit handler and the list of open stores serve the whole process, while exit functions are
# each interpreter's: a subinterpreter (a legacy one, which only the module itself can refuse) may
# not load the module, whether it imports it before the main interpreter (which must still close
# its own store at exit) or after (a store of its own would be closed once it had gone).
SUBINTERPRETER_SCRIPT = r"""
import sys
import _testcapi

order, data_dir, run = sys.argv[1], sys.argv[2], sys.argv[3]
SUB = f'''
try:
    import quelvane
except ImportError as e:
    print("ImportError:", e, flush=True)
else:
    s = quelvane.Store.open({data_dir!r} + "/sub")
    c = s.open_queue(s.create_dataset("a", "b").id).open_consumer("g")
    c.poll_callback(lambda s=s, c=c: None)
'''
if run == "1" and order == "subinterpreter first":
    assert _testcapi.run_in_subinterp(SUB) == 0
import quelvane
s = quelvane.Store.open(data_dir + "/main")
ds = s.create_dataset("a", "b") if run == "1" else s.open_dataset("a", "b")
c = s.open_queue(ds.id).open_consumer("g")
if run == "1":
    if order == "main first":
        assert _testcapi.run_in_subinterp(SUB) == 0
    ds.write(1, b"x")
    c.ack(c.poll(0)[0])
    c.poll_callback(lambda s=s, c=c: None)
else:
    print(c.poll(0))
"""


@pytest.mark.parametrize("order", ["subinterpreter first", "main first"])
def test_a_subinterpreter_cannot_load_the_module(tmp_path, order):
    if not hasattr(pytest.importorskip("_testcapi"), "run_in_subinterp"):
        pytest.skip("no _testcapi.run_in_subinterp")
    assert run_twice(SUBINTERPRETER_SCRIPT, order, str(tmp_path)) == [
        "ImportError: module quelvane does not support loading in subinterpreters\n", "None\n"]


# A program's own exit function, registered before it opens its store, still finds the store
# open: the module's closing at exit comes after it.
OWN_EXIT_FUNCTION_SCRIPT = r"""
import atexit, sys
import quelvane

data_dir = sys.argv[1]
def last_words():
    ds.write(2, b"last")
    s.close()
atexit.register(last_words)
s = quelvane.Store.open(data_dir)
ds = s.create_dataset("a", "b")
ds.write(1, b"first")
"""


def test_a_programs_exit_function_finds_its_store_open(tmp_path):
    d = str(tmp_path / "d")
    proc = subprocess.run([sys.executable, "-c", OWN_EXIT_FUNCTION_SCRIPT, d], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr[-2000:]
    with Store.open(d) as again:
        assert [bytes(data) for _, data in again.open_dataset("a", "b").query_all(0, 10)] == [b"first", b"last"]


# A forked child inherits the parent's open store; its exit must leave the store to the parent,
# which goes on writing meanwhile and then ends without a close of its own, so that nothing it
# does could mend what the child did.
FORK_SCRIPT = r"""
import os, subprocess, sys, time, warnings
import quelvane

how, data_dir, held = sys.argv[1], sys.argv[2], sys.argv[3]
warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with the store's worker
s = quelvane.Store.open(data_dir)
ds = s.create_dataset("a", "b", enable_journal=True)
c = s.open_queue(ds.id).open_consumer("g")
if held == "callback":
    c.poll_callback(lambda: None)  # open to the end: closed at exit
# Otherwise the store is freed as the interpreter ends, which flushes what it handed out.
ds.write(1, b"before")
assert c.poll(0)[0] == 1  # the group has changed since its last flush
pid = os.fork()
if pid == 0:
    time.sleep(0.5)
    if how == "sys.exit":
        sys.exit(0)
else:
    # All done before the child ends: records, and their acknowledgements written out.
    for ts in range(2, 300):
        ds.write(ts, b"after" * 100)
    c.ack(1)
    while (r := c.poll(0)) is not None:
        c.ack(r[0])
    c.flush()
    assert os.waitpid(pid, 0)[1] == 0
    probe = "import quelvane, sys; quelvane.Store.open(sys.argv[1], quelvane.StoreConfig(read_only=False))"
    locked = subprocess.run([sys.executable, "-c", probe, data_dir], capture_output=True, text=True)
    print("locked" if "store is already locked for writing" in locked.stderr else locked.stderr, ts, flush=True)
    os._exit(0)
"""


@pytest.mark.parametrize("held", ["callback", "globals"])
@pytest.mark.parametrize("how", ["end of script", "sys.exit"])
def test_a_forked_child_leaves_its_parents_store_alone(tmp_path, how, held):
    d = str(tmp_path / "d")
    proc = subprocess.run([sys.executable, "-c", FORK_SCRIPT, how, d, held], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    locked, latest = proc.stdout.split()
    assert locked == "locked", proc.stdout + proc.stderr[-2000:]
    with Store.open(d) as again:
        ds = again.open_dataset("a", "b")
        assert [ts for ts, _ in ds.query(0, 10**9).collect_all()] == list(range(1, int(latest) + 1))
        assert again.journal_latest_sequence() == int(latest) + 1
        assert again.open_queue(ds.id).open_consumer("g").poll(0) is None
