"""The power-loss harness: the writer of workload.py runs with a preloaded recorder of synced images
(tests/power/sync_recorder.cpp) and is killed at a random instant; from each kill come the disks a
power loss at that instant could have left:

- only what the syncs made durable, directory entries as they are now;
- the same with every create, rename and unlink since its directory's last fsync undone;
- random mixes of the pages written since each file's last sync (entries kept or undone);
- everything written (the page cache reached the disk), opened after a reboot.

A file never synced is empty on a disk. Each disk is opened writable by a process that sees another
boot (a private mount namespace with a file bound over /proc/sys/kernel/random/boot_id) and checked
against the log:

- the store and every dataset whose create returned open; a churn type is listed as the last
  returned create or drop left it;
- every record a returned flush() (or the close after a kill check) covered is there, with its
  value or one written after that flush; nothing reads as a value never written at its timestamp,
  or as one a flush had already replaced; read() agrees with query_all();
- the journal's sequences are consecutive, every record decodes, and replayed it names exactly
  the timestamps the journalled dataset holds;
- a consumer group delivers every record it never acknowledged, redelivers none whose
  acknowledgement a flush covered, and delivers the next push;
- every dataset takes a write.

After the disks, the store as the kill left it is checked by the kill harness (crash_test.verify),
which also settles the cut-short operation in the log; the next run goes on from there.

    python tests/crash/power_test.py --runs N [--seed S] [--dir D] [--keep] [--random-disks R]

A run is reproducible from its seed. Exit status 0 when every disk passed every check.
"""

import argparse
import ctypes
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import crash_test  # noqa: E402
import workload  # noqa: E402
from workload import DATASETS, GROUPS, MODEL_KEYS, QUEUE_DATASET, RETAINED, key  # noqa: E402

RECORDER = os.path.join(workload.HOOKS_DIR, "libquelvane_sync_recorder.so")
BOOT_ID = "/proc/sys/kernel/random/boot_id"
CONSUMER_FLUSH = 0.03  # of the writer's operations

# What a disk's failures are counted as.
CATEGORIES = ("unopenable", "lost", "wrong", "skipped", "disagree", "failed")


class PowerModel(workload.Model):
    """The kill harness's model, with what each returned flush covered: per dataset the values
    written at each timestamp since its last flush (None for a delete), the acknowledgements a
    flush of the queue dataset or of a group covered, the datasets whose create returned and the
    churn types listed."""

    def __init__(self):
        super().__init__()
        self.since = {k: {} for k in MODEL_KEYS}
        self.acked_flushed = {g: set() for g in GROUPS}
        self.created = set()
        self.churn_listed = set()

    def apply(self, line):
        parts = line.split()
        super().apply(line)
        if not parts or parts[0] == "I":
            return
        op = parts[0]
        if op in ("w", "a"):
            ds, ts = parts[1], int(parts[2])
            self.since[ds].setdefault(ts, set()).add(self.records[ds][ts])
        elif op == "d":
            self.since[parts[1]].setdefault(int(parts[2]), set()).add(None)
        elif op == "f":
            self.since[parts[1]] = {}
            if parts[1] == QUEUE_DATASET:
                self.acked_flushed = {g: set(a) for g, a in self.acked.items()}
        elif op == "F":
            self.acked_flushed[parts[1]] = set(self.acked[parts[1]])
        elif op == "n":
            self.created.add(parts[1])
        elif op == "c":
            self.churn_listed ^= {parts[1]}
        elif op == "V":  # the kill check opened every churn type and closed the store
            for k in MODEL_KEYS:
                self.flushed[k] = dict(self.records[k])
                self.since[k] = {}
            self.acked_flushed = {g: set(a) for g, a in self.acked.items()}
            self.churn_listed = set(workload.CHURN_TYPES)


def load(log_path):
    model = PowerModel()
    if os.path.exists(log_path):
        with open(log_path) as f:
            lines = f.read().split("\n")
        for line in lines[:-1]:  # a line the kill cut short never counted
            model.apply(line)
    return model


# --- the writer --------------------------------------------------------------------------------


def run_writer(data_dir, log_path, seed, run):
    """The workload of the kill harness, with the creates logged and consumer groups flushing."""
    import quelvane

    log = workload.Log(log_path, load(log_path))
    rng = random.Random(f"power-{seed}-{run}")
    store = quelvane.Store.open(data_dir, quelvane.StoreConfig(**workload.STORE_OPTIONS))
    datasets = workload.open_datasets(store, opened=lambda k: log.line("n", k))
    queue = store.open_queue(datasets[QUEUE_DATASET].id)
    consumers = {g: queue.open_consumer(g, 1, 0) for g in GROUPS}
    retained = workload.open_retained(data_dir)
    os.write(1, b"ready\n")
    while True:
        if rng.random() < CONSUMER_FLUSH:
            group = rng.choice(GROUPS)
            log.intent("F", group)
            consumers[group].flush()
            log.line("F", group)
        else:
            workload.step(rng, store, datasets, queue, consumers, log, retained)


# --- the check of one disk ---------------------------------------------------------------------


class Findings:
    def __init__(self):
        self.counts = {c: 0 for c in CATEGORIES}
        self.first = []  # the first few, to print
        self.records = 0
        self.journal = 0

    def add(self, category, what):
        self.counts[category] += 1
        if len(self.first) < 8:
            self.first.append(f"{category}: {what}")

    def attempt(self, category, what, call):
        """call(), or None with the exception counted under category."""
        try:
            return call()
        except Exception as e:  # noqa: BLE001 - every error of the module is a finding here
            self.add(category, f"{what}: {type(e).__name__}: {e}")
            return None


def allowed_values(model, k, ts):
    """What a power loss may leave at ts: the value the last flush covered, or any value written
    (or a delete) since; None among them when the record may be absent."""
    allowed = {model.flushed[k].get(ts)} | model.since[k].get(ts, set())
    inflight = model.inflight_outcome()
    if inflight and inflight[0] == k and inflight[1] == ts:
        allowed.add(inflight[2])
    return allowed


def check_records(k, ds, model, found):
    stored = found.attempt("failed", f"{k} query_all", lambda: {t: bytes(d) for t, d in ds.query_all(0, 2**62)})
    if stored is None:
        return None
    for ts in sorted(set(stored) | set(model.flushed[k])):
        got = stored.get(ts)
        if got is not None:
            single = found.attempt("failed", f"{k} read({ts})", lambda: ds.read(ts))
            if single is not None and bytes(single[1]) != got:
                found.add("wrong", f"{k} read({ts}) differs from query_all")
        allowed = allowed_values(model, k, ts)
        if got in allowed:
            continue
        if got is None:
            found.add("lost", f"{k} ts {ts}: a flushed record of {len(model.flushed[k][ts])} bytes is gone")
        elif got not in model.ever[k].get(ts, set()):
            found.add("wrong", f"{k} ts {ts}: reads {len(got)} bytes never written there")
        else:
            found.add("wrong", f"{k} ts {ts}: reads a value a flush had replaced")
    found.records += len(stored)
    return stored


def check_journal(store, journal_ds, journal_stored, model, found):
    last = found.attempt("failed", "journal_latest_sequence", store.journal_latest_sequence)
    if last is None:
        return
    records = found.attempt("failed", "journal_query", lambda: store.journal_query(0, last))
    if records is None:
        return
    seqs = [s for s, _ in records]
    if seqs != list(range(seqs[0], seqs[0] + len(seqs))) if seqs else False:
        found.add("wrong", "journal sequences have a gap")
    present, whole_history = {}, False
    for seq, data in records:
        try:
            kind, identifier, ts = crash_test.decode_journal_record(bytes(data))
        except (crash_test.CheckFailed, IndexError, KeyError, ValueError, struct.error) as e:
            found.add("wrong", f"journal record {seq} does not decode: {e}")
            continue
        if identifier != journal_ds.identifier:
            continue
        if kind == 0x01:
            whole_history = True
        elif kind in (0x11, 0x13):
            present[ts] = True
        elif kind == 0x12:
            present[ts] = False
    found.journal += len(records)
    if not whole_history or journal_stored is None:
        return  # the journal no longer reaches back to the dataset's create
    named = {ts for ts, there in present.items() if there}
    k = key("journalled", "zstd")
    inflight = model.inflight_outcome()
    maybe = {inflight[1]} if inflight and inflight[0] == k else set()
    since = model.since[k]
    # A change no completed flush covered may be durable in the dataset and not in the journal:
    # only a flushed record the journal lacks, or a write it names that the dataset lost, is a
    # disagreement.
    for ts in sorted(named - set(journal_stored) - maybe):
        if None not in since.get(ts, set()):
            found.add("disagree", f"journalled ts {ts}: the journal names a write the dataset does not hold")
    for ts in sorted(set(journal_stored) - named - maybe):
        if ts in model.flushed[k] and not since.get(ts):
            found.add("disagree", f"journalled ts {ts}: the journal lacks a flushed record")


def flushed_position(model, group):
    """The group's position a flush covered: the last push up to which every push was
    acknowledged before that flush (an acknowledgement above a gap may come back after a reopen)."""
    position = 0
    for ts in sorted(model.ever[QUEUE_DATASET]):
        if ts not in model.acked_flushed[group]:
            break
        position = ts
    return position


def check_groups(store, qds, queue_stored, model, found):
    queue = found.attempt("failed", "open_queue", lambda: store.open_queue(qds.id))
    if queue is None:
        return
    try:
        inflight = model.inflight_outcome()
        maybe = {inflight[1]} if inflight and inflight[0] == QUEUE_DATASET else set()
        consumers = {}
        for group in GROUPS:
            consumer = found.attempt("unopenable", f"group {group}", lambda: queue.open_consumer(group, 1, 0))
            if consumer is None:
                continue
            consumers[group] = consumer
            delivered = set()
            for _ in range(len(queue_stored) + 8):
                rec = found.attempt("failed", f"group {group} poll", lambda: consumer.poll(0))
                if rec is None:
                    break
                delivered.add(rec[0])
                if found.attempt("failed", f"group {group} ack", lambda: consumer.ack(rec[0]) or True) is None:
                    break
            for ts in sorted(set(queue_stored) - model.acked[group] - delivered - maybe):
                found.add("skipped", f"group {group} skips {ts}, never acknowledged")
            covered = flushed_position(model, group)
            for ts in sorted(t for t in delivered if t <= covered):
                found.add("lost", f"group {group} delivers {ts} again, below the position {covered} a flush covered")
            for ts in sorted(delivered - set(queue_stored)):
                found.add("wrong", f"group {group} delivers {ts}, which the dataset does not hold")
        pushed = found.attempt("failed", "push after the power loss", lambda: queue.push(b"after a power loss"))
        if pushed is None:
            return
        for group, consumer in consumers.items():
            rec = found.attempt("failed", f"group {group} poll", lambda: consumer.poll(0))
            if rec is None or rec[0] != pushed:
                found.add("skipped", f"group {group} does not deliver the push at {pushed} (gives {rec and rec[0]})")
        for consumer in consumers.values():
            consumer.close()
    finally:
        queue.close()


def check_churn(store, model, found):
    import quelvane

    types = found.attempt("failed", "get_dataset_types", lambda: set(store.get_dataset_types(workload.CHURN_NAME)))
    if types is None:
        return
    maybe = {model.inflight[1]} if model.inflight and model.inflight[0] == "c" else set()
    for t in sorted((types ^ model.churn_listed) - maybe):
        found.add("lost", f"churn/{t}: {'a returned drop is undone' if t in types else 'a returned create is lost'}")
    for t in sorted(types):
        try:
            store.open_dataset(workload.CHURN_NAME, t).write(2**40, b"after a power loss")
        except quelvane.QvanNotFoundError:
            pass  # listed, but gone: counted above when a create returned
        except Exception as e:  # noqa: BLE001
            found.add("unopenable", f"churn/{t}: {type(e).__name__}: {e}")


def check_retained(data_dir, model, found):
    retained = found.attempt("unopenable", RETAINED, lambda: workload.open_retained(data_dir))
    if retained is None:
        return
    try:
        stored = found.attempt("failed", f"{RETAINED} records", lambda: {t: bytes(d) for t, d in retained.records()})
        for ts, got in sorted((stored or {}).items()):
            if got not in allowed_values(model, RETAINED, ts) | model.ever[RETAINED].get(ts, set()):
                found.add("wrong", f"{RETAINED} ts {ts}: reads {len(got)} bytes never written there")
        found.attempt("failed", f"{RETAINED} write", lambda: retained.write((retained.latest() or 0) + 1, b"after"))
    finally:
        retained.close()


def check_disk(disk, log_path, harness_boot):
    """Opens the disk as the reboot after a power loss would and checks it; the findings."""
    import quelvane

    found = Findings()
    if harness_boot is not None and open(BOOT_ID).read().strip() == harness_boot:
        found.add("failed", "the check does not see another boot")
    model = load(log_path)
    data_dir = os.path.join(disk, "data")
    store = found.attempt(
        "unopenable", "Store.open",
        lambda: quelvane.Store.open(data_dir, quelvane.StoreConfig(read_only=False, **workload.STORE_OPTIONS)),
    )
    if store is None:
        return found
    try:
        check_retained(data_dir, model, found)
        check_churn(store, model, found)
        datasets, stored = {}, {}
        for name, dataset_type, _ in DATASETS:
            k = key(name, dataset_type)
            try:
                datasets[k] = store.open_dataset(name, dataset_type)
            except quelvane.QvanNotFoundError as e:
                if k in model.created:
                    found.add("unopenable", f"{k} (its create returned): {e}")
                continue
            except Exception as e:  # noqa: BLE001
                found.add("unopenable", f"{k}: {type(e).__name__}: {e}")
                continue
            stored[k] = check_records(k, datasets[k], model, found)
        journalled = key("journalled", "zstd")
        if journalled in datasets:
            check_journal(store, datasets[journalled], stored[journalled], model, found)
        if QUEUE_DATASET in datasets and stored[QUEUE_DATASET] is not None:
            check_groups(store, datasets[QUEUE_DATASET], stored[QUEUE_DATASET], model, found)
        for k, ds in datasets.items():
            if k == QUEUE_DATASET:
                continue
            ts = found.attempt("failed", f"{k} latest_timestamp", lambda: ds.latest_timestamp)
            ts = (ts or 0) + 1
            if found.attempt("failed", f"{k} write", lambda: ds.write(ts, b"after a power loss") or True):
                got = found.attempt("failed", f"{k} read", lambda: ds.read(ts))
                if got is None or bytes(got[1]) != b"after a power loss":
                    found.add("failed", f"{k}: the write after the power loss does not read back")
    finally:
        found.attempt("failed", "close", store.close)
    return found


# --- the runner --------------------------------------------------------------------------------


class Recorder:
    """The preloaded library, loaded here too for its disk builder."""

    def __init__(self):
        if not os.path.exists(RECORDER):
            raise FileNotFoundError(f"{RECORDER} is not built (scripts/crash-test --power-loss builds it)")
        self.lib = ctypes.CDLL(RECORDER)
        self.lib.quelvane_power_build.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_int, ctypes.c_ulonglong, ctypes.c_int]

    def build(self, root, images, out, pages, seed, lose_entries):
        if self.lib.quelvane_power_build(root.encode(), images.encode(), out.encode(), pages, seed, int(lose_entries)):
            raise RuntimeError(f"building the disk {out} failed")


def other_boot_prefix(work):
    """The command prefix that runs a process seeing a new boot identifier; None (and why) when
    no mount namespace can be made here."""
    fake = os.path.join(work, "boot_id")
    with open(fake, "w") as f:
        f.write(f"{uuid.uuid4()}\n")
    prefix = ["unshare", "-m", "--propagation", "private", "sh", "-c",
              f'mount --bind "{fake}" {BOOT_ID} && exec "$@"', "sh"]
    try:
        probe = subprocess.run(prefix + ["cat", BOOT_ID], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, str(e)
    if probe.returncode != 0 or probe.stdout.strip() == open(BOOT_ID).read().strip():
        return None, (probe.stderr.strip() or "the boot identifier did not change")
    return prefix, None


def disk_policies(rng, random_disks):
    """(label, pages, seed, lose entries): pages 0 synced, 1 written, 2 random."""
    policies = [("synced", 0, 0, False), ("synced, entries undone", 0, 0, True), ("written", 1, 0, False)]
    for i in range(random_disks):
        policies.append((f"page mix {i}", 2, rng.getrandbits(63), i % 2 == 1))
    return policies


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--runs", type=int, default=20, help="kills; each gives 3 + --random-disks disks")
    p.add_argument("--seed", default=None)
    p.add_argument("--dir", default=None)
    p.add_argument("--keep", action="store_true", help="keep the work directory")
    p.add_argument("--random-disks", type=int, default=3, help="random page mixes per kill")
    p.add_argument("--max-delay", type=float, default=1.5, help="longest run before a kill, in seconds")
    p.add_argument("--per-store", type=int, default=10, help="kills before the next run starts a new store")
    args = p.parse_args(argv)
    seed = args.seed if args.seed is not None else str(random.randrange(1 << 32))
    rng = random.Random(seed)
    work = args.dir or tempfile.mkdtemp(prefix="quelvane-power-")
    os.makedirs(work, exist_ok=True)
    store_root = os.path.join(work, "store")
    data_dir = os.path.join(store_root, "data")
    log_path = os.path.join(work, "log")
    recorder = Recorder()
    prefix, why = other_boot_prefix(work)
    if prefix is None:
        print(f"power test: NO MOUNT NAMESPACE ({why}): the disks are opened under this boot's identifier, "
              "so a store cannot tell these power losses from kills")
    harness_boot = open(BOOT_ID).read().strip() if prefix else None
    totals = {c: 0 for c in CATEGORIES}
    figures = {"records": 0, "journal": 0, "kills": 0, "corrections": 0, "churn": 0, "reclaim": 0, "behind": 0}
    disks = failed_disks = records = journal = 0
    checked_by_kind, failed_by_kind = {}, {}
    start = time.monotonic()
    status = 0
    try:
        for run in range(args.runs):
            if run % args.per_store == 0:
                shutil.rmtree(store_root, ignore_errors=True)
                if os.path.exists(log_path):
                    os.remove(log_path)
                os.makedirs(store_root)
            images = os.path.join(work, "images")
            shutil.rmtree(images, ignore_errors=True)
            preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), RECORDER]))  # a sanitizer runtime stays first
            env = dict(os.environ, LD_PRELOAD=preload, QUELVANE_POWER_ROOT=store_root, QUELVANE_POWER_IMAGES=images)
            child = subprocess.Popen(
                [sys.executable, os.path.abspath(__file__), "--writer", data_dir, log_path, seed, str(run)],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
            )
            line = child.stdout.readline()
            if line != b"ready\n":
                child.wait()
                raise crash_test.CheckFailed(f"writer did not start: {child.stderr.read().decode(errors='replace')}")
            time.sleep(rng.uniform(0.05, args.max_delay))
            if child.poll() is not None:
                raise crash_test.CheckFailed(f"writer ended by itself: {child.stderr.read().decode(errors='replace')}")
            child.send_signal(signal.SIGKILL)
            child.wait()
            child.stdout.close()
            child.stderr.close()
            for label, pages, disk_seed, lose in disk_policies(rng, args.random_disks):
                disk = os.path.join(work, "disk")
                shutil.rmtree(disk, ignore_errors=True)
                recorder.build(store_root, images, disk, pages, disk_seed, lose)
                checker = (prefix or []) + [sys.executable, os.path.abspath(__file__), "--check", disk, log_path,
                                            harness_boot or ""]
                done = subprocess.run(checker, capture_output=True, text=True, timeout=300)
                disks += 1
                try:
                    result = json.loads(done.stdout.strip().splitlines()[-1])
                except (ValueError, IndexError):
                    result = {"counts": {"failed": 1}, "first": [f"checker died ({done.returncode}): {done.stderr[-2000:]}"]}
                for c, n in result["counts"].items():
                    totals[c] += n
                records += result.get("records", 0)
                journal += result.get("journal", 0)
                kind = label.rstrip("0123456789 ")
                checked_by_kind[kind] = checked_by_kind.get(kind, 0) + 1
                if any(result["counts"].values()):
                    failed_disks += 1
                    failed_by_kind[kind] = failed_by_kind.get(kind, 0) + 1
                    print(f"kill {run + 1}, disk '{label}' (seed {disk_seed}): " + "; ".join(result["first"]))
            # The store as the kill left it, checked and settled by the kill harness.
            crash_test.verify(data_dir, log_path, figures)
            with open(log_path, "a") as f:
                f.write("V\n")
            figures["kills"] = run + 1
    except Exception as e:  # noqa: BLE001 - reported with its seed
        print(f"power test STOPPED at kill {figures['kills'] + 1} of {args.runs}, seed {seed}: {type(e).__name__}: {e}")
        print(f"work directory kept in {work}")
        return 1
    took = time.monotonic() - start
    print(
        f"power test: {disks} simulated power losses from {figures['kills']} kills in {took:.0f} s, seed {seed}"
        f"{'' if prefix else ' (NO BOOT CHANGE)'}; {failed_disks} disks failed; "
        f"{records} records and {journal} journal records checked; "
        + ", ".join(f"{totals[c]} {c}" for c in CATEGORIES)
        + "; failed disks by kind: "
        + ", ".join(f"{k} {failed_by_kind.get(k, 0)} of {n}" for k, n in checked_by_kind.items())
    )
    if failed_disks:
        status = 1
    if not args.keep and args.dir is None and status == 0:
        shutil.rmtree(work, ignore_errors=True)
    elif status:
        print(f"work directory kept in {work}")
    return status


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--writer":
        run_writer(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
    elif len(sys.argv) > 1 and sys.argv[1] == "--check":
        f = check_disk(sys.argv[2], sys.argv[3], sys.argv[4] or None)
        print(json.dumps({"counts": f.counts, "first": f.first, "records": f.records, "journal": f.journal}))
    else:
        sys.exit(main())
