"""The crash harness: a writer child runs the mixed workload of workload.py against one store and
is killed with SIGKILL at a random instant, again and again; after each kill the store is opened
here and checked:

- the store opens writable, every dataset and consumer group opens, and each takes a write;
- every record reads back as the returned operations of the log left it (a flushed one exactly;
  the operation the kill cut short may or may not have happened, but never partly);
- nothing reads back that was never written, and latest_timestamp is a timestamp that was;
- the journal's sequences are consecutive and every record decodes;
- the retained dataset (a store of its own, with a retention window, reclaimed often) holds every
  record of the window, its files hold an unbroken run of the newest records, and inspect()'s
  totals are the sums over the headers of the segment files there are, whatever instant of a
  reclaim the kill hit;
- no file under a segment's or state file's name is empty or lacks its magic (a new file takes its
  name only once its header is written).

    python tests/crash/crash_test.py --runs N [--seed S] [--dir D] [--keep] [--per-store K]

A run is reproducible from its seed, which a failure prints. Exit status 0 when every check passed.
"""

import argparse
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import workload  # noqa: E402
from workload import DATASETS, GROUPS, QUEUE_DATASET, RETAINED, key  # noqa: E402


class CheckFailed(Exception):
    pass


def check(ok, what):
    if not ok:
        raise CheckFailed(what)


def decode_journal_record(data):
    """The kind and fields of one journal record; raises on any byte that does not fit."""
    kind = data[0]
    code = data[1]
    width = {1: 1, 2: 2, 3: 4, 4: 8}[code]
    identifier = int.from_bytes(data[2 : 2 + width], "little")
    at = 2 + width
    check(identifier > 0, "journal identifier is 0")
    if kind in (0x11, 0x12, 0x13):
        check(data[at] == 0x10, "journal index entry marker")
        ts, block, in_block = struct.unpack_from("<qQH", data, at + 1)
        at += 1 + 18
        if kind == 0x13:
            check(data[at] == 0x11, "journal append marker")
            struct.unpack_from("<II", data, at + 1)
            at += 9
        check(at == len(data), "journal record has trailing bytes")
        return kind, identifier, ts
    check(kind in (0x01, 0x02), f"journal record kind 0x{kind:02x}")
    for tag in (0x10, 0x11, 0x12):
        check(data[at] == tag, "journal field tag")
        (length,) = struct.unpack_from("<H", data, at + 1)
        at += 3 + length
        check(at <= len(data), "journal field length")
    check(at == len(data), "journal record has trailing bytes")
    return kind, identifier, None


def verify_retained(data_dir, model, inflight, settled, probes, figures):
    """The retained dataset after the kill, against the log: records and totals."""
    # A read-only open writes nothing, so it shows the totals as the kill left them: counted when
    # they do not follow the files (a kill between an unlink and its subtraction), which the
    # writable open below must mend.
    try:
        as_left = workload.open_retained(data_dir, read_only=True)
    except Exception as e:  # noqa: BLE001 - the hooks module's classes are its own: matched by name
        if type(e).__name__ != "QvanNotFoundError":
            raise
        as_left = None  # not created yet
    if as_left is not None:
        try:
            if as_left.totals() != as_left.file_totals():
                figures["behind"] += 1
        finally:
            as_left.close()
    retained = workload.open_retained(data_dir)
    try:
        expected = model.records[RETAINED]
        alt = inflight[1:] if inflight and inflight[0] == RETAINED else None
        stored = {ts: bytes(data) for ts, data in retained.records()}  # below the window too
        totals, files = retained.totals(), retained.file_totals()
        check(totals == files, f"{RETAINED} inspect() totals {totals}, its segment files hold {files}")
        check(len(stored) <= totals[0] and totals[3] == 0, f"{RETAINED} totals {totals}, {len(stored)} records read")
        for ts, got in stored.items():
            if expected.get(ts) == got:
                continue
            check(alt is not None and alt[0] == ts and alt[1] == got, f"{RETAINED} ts {ts} was never written so")
            settled.append(("settle", RETAINED, ts))
        # Reclaim removes whole segments from the oldest on, so the files hold every record from
        # their oldest one; and every record of the window is there.
        latest = retained.latest()
        oldest = min(stored, default=None)
        for ts in expected:
            inside = latest is not None and ts >= latest - workload.RETAINED_WINDOW
            if inside or (oldest is not None and ts >= oldest):
                check(ts in stored, f"{RETAINED} ts {ts} is missing ({'inside the window' if inside else 'a hole'})")
        figures["records"] += len(stored)
        # It takes writes again.
        ts = (latest or 0) + 1
        tag = f"probe{figures['kills']}"
        data = workload.content(tag, 64)
        retained.write(ts, data)
        check(any(t == ts and bytes(d) == data for t, d in retained.records()), f"{RETAINED} probe write")
        probes.append(f"w {RETAINED} {ts} {tag} 64")
    finally:
        retained.close()


# The magic each mapped store file starts with: the files of a dataset's (or the journal's)
# data/, index/ and queue/ directories, and a dataset's state file.
MAGIC_BY_PLACE = {"data": b"QVAN", "index": b"QVAN", "queue": b"QSTF"}
STATE_MAGIC = b"DSSF"


def check_files_whole(root):
    """Every segment, consumer-group and dataset state file under root starts with its magic: a
    kill before a new file's header is written leaves it only under its temporary name."""
    for directory, _, names in os.walk(root):
        parts = os.path.relpath(directory, root).split(os.sep)
        for name in names:
            if name.endswith(".tmp"):
                continue
            if len(parts) == 3 and parts[2] in MAGIC_BY_PLACE:
                magic = MAGIC_BY_PLACE[parts[2]]
            elif len(parts) == 2 and name == "state":
                magic = STATE_MAGIC
            else:
                continue
            path = os.path.join(directory, name)
            with open(path, "rb") as f:
                start = f.read(len(magic))
            check(start == magic, f"{path} is left unwritten under its name ({start!r})")


def verify(data_dir, log_path, figures):
    """Opens the store as a kill left it and checks it against the log; settles the cut-short
    operation in the log so the writer's next run starts from what the store holds."""
    import quelvane

    model = workload.load(log_path)
    inflight = model.inflight_outcome()
    if inflight and model.inflight[0] == "w" and inflight[1] == max(model.records[inflight[0]], default=None):
        figures["corrections"] += 1  # the kill came inside a correction of the latest record
    if model.inflight and model.inflight[0] == "c":
        figures["churn"] += 1  # the kill came inside a create or drop
    if model.inflight and model.inflight[0] == "r":
        figures["reclaim"] += 1  # the kill came inside a reclaim
    check_files_whole(data_dir)
    check_files_whole(workload.retained_dir(data_dir))
    settled = []  # set once the store shows that the cut-short operation happened
    probes = []  # the probe writes, logged as returned operations
    store = quelvane.Store.open(data_dir, quelvane.StoreConfig(read_only=False, **workload.STORE_OPTIONS))
    try:
        verify_retained(data_dir, model, inflight, settled, probes, figures)

        # Each churn type is listed and whole (it opens and takes a write), or is not listed and
        # can be created.
        for dataset_type in workload.CHURN_TYPES:
            ds, _ = workload.open_or_create(store, dataset_type)
            ts = (ds.latest_timestamp or 0) + 1
            ds.write(ts, b"after a kill")
            check(bytes(ds.read(ts)[1]) == b"after a kill", f"churn/{dataset_type} does not read back")

        datasets = {}
        for name, dataset_type, _ in DATASETS:
            try:
                datasets[key(name, dataset_type)] = store.open_dataset(name, dataset_type)
            except quelvane.QvanNotFoundError:
                # The first kill may come before every dataset was created. The retained dataset
                # lives in a store of its own and may hold records by then.
                check(all(not model.records[key(n, t)] for n, t, _ in DATASETS),
                      f"dataset {name}/{dataset_type} is gone")
                return
        if len(datasets) < len(DATASETS):
            return
        journal_ids = {datasets[k].identifier for k in datasets if k.startswith("journalled/")}

        for k, ds in datasets.items():
            expected = dict(model.records[k])
            stored = {ts: bytes(data) for ts, data in ds.query_all(0, 2**62)}
            alt = None
            if inflight and inflight[0] == k:
                alt = inflight[1:]
            for ts in set(expected) | set(stored):
                want = expected.get(ts)
                got = stored.get(ts)
                single = ds.read(ts)
                check((single[1] if single else None) == got, f"{k} read({ts}) differs from query_all")
                if got == want:
                    continue
                if alt and alt[0] == ts and got == alt[1]:
                    settled.append(("settle", k, ts))
                    continue
                flushed = model.flushed[k].get(ts)
                what = "never written" if ts not in model.ever[k] else ("flushed" if flushed == want else "returned")
                raise CheckFailed(
                    f"{k} ts {ts}: reads {None if got is None else len(got)} bytes, expected "
                    f"{None if want is None else len(want)} ({what} record)"
                )
            figures["records"] += len(stored)
            latest = ds.latest_timestamp
            if latest is not None and latest not in model.ever[k] and latest not in model.placeholders[k]:
                # A continuous index fills the gap before a new record with placeholders first; a
                # kill inside that fill leaves the last placeholder as the latest timestamp.
                filling = alt is not None and k.startswith("continuous/") and max(model.ever[k], default=0) < latest
                check(
                    (alt is not None and alt[0] == latest) or (filling and latest < alt[0]),
                    f"{k} latest_timestamp {latest} was never written",
                )
                if filling and latest < alt[0]:
                    probes.insert(0, f"P {k} {latest}")

        # The journal: consecutive sequences, every record decodes, and names a journalled dataset.
        last = store.journal_latest_sequence()
        if last is not None:
            records = store.journal_query(0, last)
            seqs = [seq for seq, _ in records]
            check(seqs == list(range(seqs[0], seqs[0] + len(seqs))) if seqs else True, "journal sequences have a gap")
            check(not seqs or seqs[-1] == last, "journal query ends before the latest sequence")
            for _, data in records:
                kind, identifier, _ = decode_journal_record(bytes(data))
                check(identifier in journal_ids, f"journal record names dataset {identifier}")
            figures["journal"] += len(records)

        # Every consumer group opens and delivers only what the queue dataset holds.
        queue = store.open_queue(datasets[QUEUE_DATASET].id)
        pushed = model.records[QUEUE_DATASET]
        for group in GROUPS:
            consumer = queue.open_consumer(group, 1, 0)
            rec = consumer.poll(0)
            if rec is not None:
                alt_ok = inflight and inflight[0] == QUEUE_DATASET and inflight[1] == rec[0]
                check(rec[0] in pushed or alt_ok, f"group {group} delivers {rec[0]}, never pushed")
            consumer.close()
        queue.close()

        # The store takes writes again: a new record in each dataset, read back.
        for k, ds in datasets.items():
            ts = (ds.latest_timestamp or 0) + 1
            tag = f"probe{figures['kills']}"
            data = workload.content(tag, 64)
            if k == QUEUE_DATASET:
                check(queue_push(store, ds, data) == ts, f"{k} probe push lands at {ts}")
            else:
                ds.write(ts, data)
            check(bytes(ds.read(ts)[1]) == data, f"{k} probe write does not read back")
            probes.append(f"w {k} {ts} {tag} 64")
    finally:
        store.close()
        with open(log_path, "a") as f:
            if settled:
                f.write(" ".join(str(p) for p in model.inflight) + "\n")
            else:
                f.write("X\n")  # whatever was cut short did not happen
            for line in probes:
                f.write(line + "\n")


def queue_push(store, ds, data):
    queue = store.open_queue(ds.id)
    try:
        return queue.push(data)
    finally:
        queue.close()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--runs", type=int, default=50)
    p.add_argument("--seed", default=None)
    p.add_argument("--dir", default=None)
    p.add_argument("--keep", action="store_true", help="keep the data directory")
    p.add_argument("--max-delay", type=float, default=0.8, help="longest run before a kill, in seconds")
    p.add_argument("--per-store", type=int, default=50, help="kills before the next run starts a new store")
    args = p.parse_args(argv)
    seed = args.seed if args.seed is not None else str(random.randrange(1 << 32))
    rng = random.Random(seed)
    root = args.dir or tempfile.mkdtemp(prefix="quelvane-crash-")
    os.makedirs(root, exist_ok=True)
    data_dir = os.path.join(root, "data")
    log_path = os.path.join(root, "log")
    figures = {"records": 0, "journal": 0, "kills": 0, "corrections": 0, "churn": 0, "reclaim": 0, "behind": 0}
    start = time.monotonic()
    survived = 0
    try:
        for run in range(args.runs):
            if run > 0 and run % args.per_store == 0:
                # A new store, so that checking every record after each kill stays quick.
                shutil.rmtree(data_dir)
                shutil.rmtree(workload.retained_dir(data_dir), ignore_errors=True)
                os.remove(log_path)
            child = subprocess.Popen(
                [sys.executable, os.path.join(HERE, "writer.py"), data_dir, log_path, seed, str(run)],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
            )
            # The kill comes at a random instant: during the open now and then, else while writing.
            if rng.random() < 0.15:
                time.sleep(rng.uniform(0, 0.2))
            else:
                line = child.stdout.readline()
                if line != b"ready\n":
                    child.wait()
                    raise CheckFailed(
                        f"writer did not start (status {child.returncode}): "
                        f"{child.stderr.read().decode(errors='replace')}"
                    )
                time.sleep(rng.uniform(0, args.max_delay))
            if child.poll() is not None:
                raise CheckFailed(f"writer ended by itself: {child.stderr.read().decode(errors='replace')}")
            child.send_signal(signal.SIGKILL)
            child.wait()
            child.stdout.close()
            child.stderr.close()
            verify(data_dir, log_path, figures)
            survived += 1
            figures["kills"] = survived
    except Exception as e:  # noqa: BLE001 - every failure is reported with its seed
        print(f"crash test FAILED at kill {survived + 1} of {args.runs}, seed {seed}: {type(e).__name__}: {e}")
        print(f"data directory and log kept in {root}")
        return 1
    took = time.monotonic() - start
    print(
        f"crash test: {survived} of {args.runs} kills survived in {took:.0f} s, seed {seed}; "
        f"{figures['records']} records and {figures['journal']} journal records checked; "
        f"{figures['corrections']} kills inside a correction of the latest record, "
        f"{figures['churn']} inside a create or drop, {figures['reclaim']} inside a reclaim; "
        f"{figures['behind']} left the retained totals apart from the files, mended by the next writable open"
    )
    if not args.keep and args.dir is None:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
