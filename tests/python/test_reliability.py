"""Unhappy paths of the whole system from Python: a full disk at each kind of file, a data
directory with a damaged file, and threads sharing one store with wake callbacks."""

import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import quelvane
from quelvane import Store, StoreConfig

# --- a full disk ------------------------------------------------------------------------------
#
# Each case runs in a child process whose file-size limit (RLIMIT_FSIZE, SIGXFSZ ignored) makes
# the writes of one kind of file fail with EFBIG: the store must answer QvanIoError, keep every
# record flushed before, and work again once the limit is lifted.

CHILD = textwrap.dedent(
    """
    import json, resource, signal, sys
    import quelvane
    from quelvane import Store, StoreConfig

    case, data_dir = sys.argv[1], sys.argv[2]
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    unlimited = resource.getrlimit(resource.RLIMIT_FSIZE)

    def limit(n):
        resource.setrlimit(resource.RLIMIT_FSIZE, (n, unlimited[1]))

    def lift():
        resource.setrlimit(resource.RLIMIT_FSIZE, unlimited)

    def record(i, n):
        return bytes((i * 7 + k) % 251 for k in range(n))

    small = dict(data_segment_size=1 << 20, initial_data_segment_size=4096, index_segment_size=1 << 16,
                 initial_index_segment_size=128 + 14 * 8)
    # The journal's segments take the store's sizes: small, so that they grow past the limit.
    store = Store.open(data_dir, StoreConfig(enable_background_thread=False, enable_journal=True,
                                             data_segment_size=1 << 20, initial_data_segment_size=4096))
    out = {"errors": []}
    if case == "journal":  # the dataset's own files roll over below the limit; only the journal grows
        ds = store.create_dataset("ds", "t", enable_journal=True, data_segment_size=32 << 10,
                                  initial_data_segment_size=4096, index_segment_size=128 + 14 * 500,
                                  initial_index_segment_size=128 + 14 * 8)
    else:
        ds = store.create_dataset("ds", "t", **small)
    written = 0
    for i in range(1, 4):
        ds.write(i, record(i, 50))
        written = i
    ds.flush()
    flushed = written

    def until_refused(make):
        # Writes until the limit refuses one: every refusal must be QvanIoError.
        global written
        for i in range(written + 1, written + 200000):
            try:
                make(i)
            except quelvane.QvanIoError as e:
                out["errors"].append(str(e))
                return
            written = i
        out["errors"].append("never refused")

    if case == "data":  # large records: the data segment must grow past the limit
        limit(16 << 10)
        until_refused(lambda i: ds.write(i, record(i, 3000)))
    elif case == "index":  # tiny records that compress well: the index file grows first
        limit(8 << 10)
        until_refused(lambda i: ds.write(i, b"x"))
    elif case == "journal":
        limit(48 << 10)
        until_refused(lambda i: ds.write(i, record(i, 8)))
    elif case == "create":  # a new dataset's meta (the largest file a create writes)
        for n in (0, 40, 80):
            limit(n)
            try:
                store.create_dataset(f"new{n}", "t", **small)
                out["errors"].append(f"created under {n}")
            except quelvane.QvanIoError as e:
                out["errors"].append(str(e))
            lift()
    elif case == "first-segment":  # the files a dataset's first write creates
        limit(200)
        fresh = store.create_dataset("fresh", "t", **small)
        try:
            fresh.write(1, b"first")
            out["errors"].append("written under the limit")
        except quelvane.QvanIoError as e:
            out["errors"].append(str(e))
        lift()
        fresh.write(1, b"first")
        out["fresh_ok"] = fresh.read(1) == (1, b"first")
    elif case == "group":  # a consumer group's 4096-byte state file
        queue = store.open_queue(ds.id)
        limit(1000)
        try:
            queue.open_consumer("g", 1, 0)
            out["errors"].append("opened under the limit")
        except quelvane.QvanIoError as e:
            out["errors"].append(str(e))
        lift()
        consumer = queue.open_consumer("g", 1, 0)
        pos = queue.push(b"queued")
        out["polled"] = consumer.poll(0) == (pos, b"queued")
        queue.close()
    lift()

    # Everything flushed reads back, and the store works again now that there is room.
    out["flushed_ok"] = all(ds.read(i) == (i, record(i, 50)) for i in range(1, flushed + 1))
    nxt = max(written, ds.latest_timestamp or 0) + 1
    ds.write(nxt, b"after")
    ds.flush()
    out["after_ok"] = ds.read(nxt) == (nxt, b"after")
    store.close()
    again = Store.open(data_dir)
    again_ds = again.open_dataset("ds", "t")
    out["reopen_ok"] = again_ds.read(nxt) == (nxt, b"after") and again_ds.read(1) == (1, record(1, 50))
    again.close()
    print(json.dumps(out))
    """
)


@pytest.mark.parametrize("case", ["data", "index", "journal", "create", "first-segment", "group"])
def test_full_disk_gives_io_errors_and_loses_nothing(tmp_path, case):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, case, str(tmp_path / "data")], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout.strip().splitlines()[-1])
    assert out["errors"], out
    for text in out["errors"]:
        assert text.startswith("I/O error: ") and "File too large (os error 27)" in text, text
    assert out["flushed_ok"] and out["after_ok"] and out["reopen_ok"], out
    assert out.get("polled", True) and out.get("fresh_ok", True), out


# --- running out of memory ---------------------------------------------------------------------
#
# A child whose address space cannot grow (RLIMIT_AS) reads a large compressed record: the block's
# decompression finds no memory, which is the call's MemoryError, never a PanicException, and the
# dataset answers again once the limit is lifted; its writes are kept by the close.

MEMORY_CHILD = textwrap.dedent(
    """
    import json, resource, sys
    from quelvane import Store, StoreConfig

    data_dir = sys.argv[1]
    config = StoreConfig(enable_background_thread=False)
    big = bytes(range(256)) * (12 << 10)  # 3 MiB that compress well
    store = Store.open(data_dir, config)
    ds = store.create_dataset("ds", "t")
    ds.write(1, big)
    ds.write(2, b"next")  # seals the block of the first
    store.close()

    store = Store.open(data_dir, config)
    ds = store.open_dataset("ds", "t")
    unlimited = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    errors = []
    resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 20), unlimited[1]))
    for _ in range(3):
        try:
            ds.read(1)
            errors.append("read")
        except BaseException as e:
            errors.append(type(e).__name__)
    resource.setrlimit(resource.RLIMIT_AS, unlimited)
    out = {"errors": errors}
    out["after"] = ds.read(1) == (1, big)
    ds.write(3, b"after")
    store.close()
    again = Store.open(data_dir, config).open_dataset("ds", "t")
    out["kept"] = again.read(3) == (3, b"after") and again.read(2) == (2, b"next")
    print(json.dumps(out))
    """
)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator cannot work under an address-space limit")
def test_running_out_of_memory_is_a_memory_error_and_the_dataset_recovers(tmp_path):
    done = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(tmp_path / "data")], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout.strip().splitlines()[-1])
    assert out == {"errors": ["MemoryError"] * 3, "after": True, "kept": True}, out


# --- a failed allocation at the module's boundary ----------------------------------------------
#
# Each call runs in a child under _testcapi.set_nomemory(start): every Python allocation from the
# start-th on fails, for start = 0, 1, ... until the call completes. Each attempt must end in the
# call's result, MemoryError, or the call's own error (never PanicException, never an abort), and
# a record a failed poll took must be the next poll's. Timestamps are large so that their ints are
# allocated, not the interpreter's cached small ones.

NOMEMORY_CHILD = textwrap.dedent(
    """
    import itertools, json, sys
    import _testcapi
    import quelvane
    from quelvane import Store, StoreConfig

    name, data_dir = sys.argv[1], sys.argv[2]
    store = Store.open(data_dir, StoreConfig(enable_background_thread=False))
    ds = store.create_dataset("ds", "t", enable_journal=True)
    stamps = itertools.count(10**9)
    ds.write(next(stamps), b"first")
    queue = store.open_queue(ds.id)
    consumer = queue.open_consumer("g", max_retry_count=1)
    journal = store.open_journal_queue().open_consumer("j", max_retry_count=1)
    while (r := journal.poll(0)) is not None:
        journal.ack(r[0])


    def under_nomemory(start, fn):
        _testcapi.set_nomemory(start)
        try:
            got = fn()
        except BaseException as e:
            _testcapi.remove_mem_hooks()
            return e
        _testcapi.remove_mem_hooks()
        return got


    def delivered(poller, got, expected):
        # The record a failed poll took must be the next one; acknowledged for the next attempt.
        record = poller.poll(0) if isinstance(got, BaseException) else got
        if record is not None:
            poller.ack(record[0])
        return record is not None and expected in (None, record)


    def dataset_poll():
        data = b"d" * 100
        ts = queue.push(data)
        return lambda: consumer.poll(0), lambda got: delivered(consumer, got, (ts, data))


    def journal_poll():
        ds.write(next(stamps), b"j" * 100)
        return lambda: journal.poll(0), lambda got: delivered(journal, got, None)


    def push():
        after = ds.read_latest()[0] + 1
        # Stored whether or not its timestamp could be returned.
        return lambda: queue.push(b"p" * 100), lambda got: ds.read_latest()[0] == after and (isinstance(got, MemoryError) or got == after)


    def plain(fn):
        return lambda: (fn, None)


    CALLS = {
        "DatasetQueueConsumer.poll": dataset_poll,
        "JournalQueueConsumer.poll": journal_poll,
        "DatasetQueue.push": push,
        "get_consumer_group_names": plain(queue.get_consumer_group_names),
        "journal_query": plain(lambda: store.journal_query(0, 10**12)),
        "journal_read": plain(lambda: store.journal_read(store.journal_latest_sequence())),
        "next_background_delay": plain(store.next_background_delay),
        "query_length": plain(lambda: ds.query_length(0, 10**12).collect_all()),
        "write_refused": plain(lambda: ds.write(-5, b"x")),
        "open_dataset_missing": plain(lambda: store.open_dataset("missing", "t")),
    }

    outcomes, kept = [], []
    for start in range(400):
        call, check = CALLS[name]()
        got = under_nomemory(start, call)
        outcomes.append(type(got).__name__ if isinstance(got, BaseException) else "result")
        if check is not None:
            kept.append(check(got))
        if outcomes[-1] != "MemoryError":
            break  # from here on the call has all the memory it needs
    print(json.dumps({"outcomes": outcomes, "kept": kept}))
    """
)


@pytest.mark.parametrize("name,own_error", [
    ("DatasetQueueConsumer.poll", None),
    ("JournalQueueConsumer.poll", None),
    ("DatasetQueue.push", None),
    ("get_consumer_group_names", None),
    ("journal_query", None),
    ("journal_read", None),
    ("next_background_delay", None),
    ("query_length", None),
    ("write_refused", "QvanInvalidDataError"),
    ("open_dataset_missing", "QvanNotFoundError"),
])
def test_a_failed_allocation_is_a_memory_error_and_loses_nothing(tmp_path, name, own_error):
    pytest.importorskip("_testcapi")
    done = subprocess.run([sys.executable, "-c", NOMEMORY_CHILD, name, str(tmp_path / "data")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    out = json.loads(done.stdout.strip().splitlines()[-1])
    outcomes = out["outcomes"]
    assert "MemoryError" in outcomes and set(outcomes) <= {"MemoryError", own_error or "result"}, outcomes
    assert outcomes[-1] == (own_error or "result"), outcomes
    assert all(out["kept"]), out


# --- a create cut short ------------------------------------------------------------------------


def test_a_create_cut_short_before_the_identifier_is_made_again(data_dir):
    # A kill between a dataset's files and its identifier file leaves this directory; nothing was
    # ever written to the dataset, and creating it again must work.
    with Store.open(data_dir) as s:
        s.create_dataset("cut", "short").write(1, b"never handed out in the real case")
    os.remove(os.path.join(data_dir, "cut", "short", "identifier"))
    with Store.open(data_dir) as s:
        with pytest.raises(quelvane.QvanNotFoundError):
            s.open_dataset("cut", "short")
        ds = s.create_dataset("cut", "short")
        assert ds.read(1) is None
        ds.write(2, b"new")
    with Store.open(data_dir) as s:
        assert s.open_dataset("cut", "short").read(2) == (2, b"new")
        with pytest.raises(quelvane.QvanAlreadyExistsError):
            s.create_dataset("cut", "short")


# --- damaged files ----------------------------------------------------------------------------
#
# One store is made, then copied once per case with one file damaged. A child process opens each
# copy read-only and then writable and reads everything: every failure must be one of the
# module's exceptions (never a crash or another exception), a read-only open never changes the
# damaged file, and a writable one changes none of the files it validates without repairing.

FILES = {
    "meta": "ds/t/meta",
    "identifier": "ds/t/identifier",
    "max_identifier": "max_identifier",
    "state": "ds/t/state",
    "data": "ds/t/data/00000000000000000000",
    "index": "ds/t/index/*",
    "journal": ".journal/logs/data/*",
    "group": "ds/t/queue/g",
}
# Files a writable open validates and never repairs, except a consumer group's file that an
# interrupted create left empty or zero-filled, which holds nothing and is made again, and a
# max_identifier left empty (as a power loss leaves a rewrite that never reached the disk; the
# pristine one is a single digit, so halved it is empty too), mended from the datasets.
NOT_REPAIRED = {"meta", "identifier", "max_identifier", "group"}
REMADE = {"group/empty", "group/zero-filled", "max_identifier/empty", "max_identifier/truncated"}


def _damage(data, how):
    b = bytearray(data)
    if how == "truncated":
        return bytes(b[: len(b) // 2])
    if how == "empty":
        return b""
    if how == "zero-filled":
        return bytes(len(b))
    if how == "flipped":
        for at in range(0, len(b), max(1, len(b) // 16)):
            b[at] ^= 0xA5
        return bytes(b)
    if how == "wrong-magic":
        b[:4] = b"XXXX"[: min(4, len(b))]
        return bytes(b)
    if how == "oversized-lengths":
        # Every little-endian length-like field a header or an entry may hold, set to its maximum.
        for at in range(7, min(len(b), 160), 8):
            b[at : at + 4] = b"\xff\xff\xff\xff"[: len(b) - at]
        return bytes(b)
    raise ValueError(how)


DAMAGES = ["truncated", "empty", "zero-filled", "flipped", "wrong-magic", "oversized-lengths"]

DAMAGED_CHILD = textwrap.dedent(
    """
    import json, sys
    import quelvane
    from quelvane import Store, StoreConfig

    def attempt(what, fn, outcome):
        try:
            return fn()
        except quelvane.QvanError as e:
            outcome.append(f"{what}: {type(e).__name__}")
        except Exception as e:  # a foreign exception is a failure of the case
            outcome.append(f"{what}: FOREIGN {type(e).__name__}: {e}")
        return None

    def read_everything(store, outcome, writable):
        ds = attempt("open_dataset", lambda: store.open_dataset("ds", "t"), outcome)
        attempt("journal_query", lambda: store.journal_query(0, 1 << 40), outcome)
        if ds is None:
            return
        attempt("query_all", lambda: ds.query_all(0, 1 << 40), outcome)
        for ts in range(1, 260, 7):
            attempt("read", lambda: ds.read(ts), outcome)
        attempt("read_latest", lambda: ds.read_latest(), outcome)
        attempt("inspect", lambda: ds.inspect(), outcome)
        if writable:
            queue = attempt("open_queue", lambda: store.open_queue(ds.id), outcome)
            if queue is not None:
                attempt("open_consumer", lambda: queue.open_consumer("g", 1, 0), outcome)
                attempt("queue_close", lambda: queue.close(), outcome)
            attempt("write", lambda: ds.write((ds.latest_timestamp or 0) + 1, b"new"), outcome)

    mode = sys.argv[1]
    results = {}
    for line in sys.stdin:
        case, data_dir = line.split()
        print("case", case, file=sys.stderr, flush=True)
        outcome = []
        store = attempt("open", lambda: Store.open(data_dir, StoreConfig(read_only=(mode == "read-only"))), outcome)
        if store is not None:
            read_everything(store, outcome, mode == "writable")
            attempt("close", lambda: store.close(), outcome)
        results[case] = outcome
    print(json.dumps(results))
    """
)


@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    """A store with a journalled dataset of raw and sealed blocks and a consumer group."""
    root = str(tmp_path_factory.mktemp("pristine") / "data")
    with Store.open(root, StoreConfig(enable_background_thread=False, initial_data_segment_size=4096)) as s:
        ds = s.create_dataset(
            "ds", "t", enable_journal=True, initial_data_segment_size=4096, index_segment_size=128 + 14 * 100,
            initial_index_segment_size=128 + 14 * 10
        )
        for ts in range(1, 250):
            ds.write(ts, bytes((ts * 13 + k) % 256 for k in range(ts * 11 % 900 + 1)))
        queue = s.open_queue(ds.id)
        consumer = queue.open_consumer("g", 1, 0)
        queue.push(b"queued")
        consumer.poll(0)
        consumer.flush()
        queue.close()
        ds.flush()
    return root


def test_damaged_files_give_module_errors_and_stay_unchanged(pristine, tmp_path):
    import glob
    import shutil

    cases = []
    damaged = {}
    for kind, pattern in FILES.items():
        for how in DAMAGES:
            case = f"{kind}/{how}"
            root = str(tmp_path / case.replace("/", "-"))
            shutil.copytree(pristine, root)
            path = sorted(glob.glob(os.path.join(root, pattern)))[-1]
            with open(path, "rb") as f:
                original = f.read()
            bad = _damage(original, how)
            with open(path, "wb") as f:
                f.write(bad)
            damaged[case] = (path, bad, kind)
            cases.append(f"{case} {root}\n")
    for mode in ("read-only", "writable"):
        done = subprocess.run(
            [sys.executable, "-c", DAMAGED_CHILD, mode], input="".join(cases), capture_output=True, text=True,
            timeout=600,
        )
        last = done.stderr.strip().splitlines()[-1:] if done.stderr else []
        assert done.returncode == 0, f"{mode}: the child died after {last}: {done.stderr[-3000:]}"
        results = json.loads(done.stdout.strip().splitlines()[-1])
        assert len(results) == len(cases)
        foreign = {k: v for k, v in results.items() if any("FOREIGN" in o for o in v)}
        assert not foreign, (mode, foreign)
        # A read-only pass writes nothing; a writable one repairs only what it may.
        changed = [
            case
            for case, (path, bad, kind) in damaged.items()
            if (mode == "read-only" or (kind in NOT_REPAIRED and case not in REMADE))
            and (open(path, "rb").read() if os.path.exists(path) else None) != bad
        ]
        assert not changed, (mode, changed)
        # Every damage of a file the store validates is noticed.
        for case in ("meta/empty", "meta/zero-filled", "meta/wrong-magic", "identifier/empty",
                     "identifier/zero-filled", "max_identifier/zero-filled"):
            assert results[case], f"{mode}: {case} went unnoticed"


# --- threads ----------------------------------------------------------------------------------
#
# Several threads share one store: writers on two datasets, blocking consumers of a queue whose
# wake callbacks write to a third dataset, and a journal reader. The child must finish well within
# its timeout (a deadlock would hold it) with every record in place.

THREADS_CHILD = textwrap.dedent(
    """
    import sys, threading
    import quelvane
    from quelvane import Store, StoreConfig

    store = Store.open(sys.argv[1], StoreConfig(flush_interval=1, enable_journal=True))
    a = store.create_dataset("a", "t", enable_journal=True)
    b = store.create_dataset("b", "t")
    woken = store.create_dataset("woken", "t")
    q = store.create_dataset("q", "t")
    queue = store.open_queue(q.id)
    N = 400
    failures = []
    wakes = []
    wake_lock = threading.Lock()

    def on_wake(name):
        with wake_lock:  # in timestamp order, whichever thread the wake comes from
            wakes.append(name)
            woken.write(len(wakes), name.encode())

    def guarded(fn):
        def run(*args):
            try:
                fn(*args)
            except Exception as e:
                failures.append(repr(e))
        return run

    @guarded
    def writer(ds, first):
        for i in range(N):
            ds.write(first + i, b"%d" % (first + i))
            if i % 50 == 0:
                ds.flush()

    @guarded
    def pusher():
        for i in range(N):
            queue.push(b"job %d" % i)

    @guarded
    def consumer(name):
        c = queue.open_consumer(name, 5, 0)
        # The callback runs on the pushing thread once the push's locks are released: a write to
        # another dataset from there must neither deadlock nor fail.
        c.poll_callback(lambda: on_wake(name))
        seen = set()
        while len(seen) < N:
            rec = c.poll(2000)
            if rec is None:
                failures.append(f"{name} timed out after {len(seen)}")
                return
            seen.add(rec[0])
            c.ack(rec[0])
        c.close()

    @guarded
    def reader():
        for _ in range(200):
            a.query_all(0, 1 << 30)
            b.read_latest()
            store.journal_latest_sequence()

    threads = [threading.Thread(target=writer, args=(a, 1)), threading.Thread(target=writer, args=(b, 1)),
               threading.Thread(target=consumer, args=("c1",)), threading.Thread(target=consumer, args=("c2",)),
               threading.Thread(target=reader), threading.Thread(target=pusher)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures
    assert [bytes(r[1]) for r in a.query_all(1, N)] == [b"%d" % i for i in range(1, N + 1)]
    assert len(b.query_all(1, N)) == N
    assert wakes and len(woken.query_all(0, 1 << 62)) == len(wakes)
    store.close()
    print("ok", len(wakes))
    """
)


def test_threads_share_a_store_with_wake_callbacks(tmp_path):
    done = subprocess.run(
        [sys.executable, "-c", THREADS_CHILD, str(tmp_path / "data")], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.startswith("ok ")
