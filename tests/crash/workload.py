"""What the crash harness's writer does and what its log says happened.

The writer appends one line to the log after each operation returned (and one before it, the
intent, so that the operation a kill cut short is known). Both the writer and the checker rebuild
the same model from the log: for every dataset and timestamp, the bytes the last returned change
left, and which changes a returned flush() of the dataset covered.

Record contents are a function of a tag and a length, so the log carries no data.
"""

import functools
import hashlib
import os
import random
import sys

import quelvane

# The module offers no retention window, so the retained dataset is driven through the core by the
# test-only module _quelvane_hooks (built beside the module by scripts/crash-test).
HOOKS_DIR = os.environ.get("QUELVANE_HOOKS_DIR") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "build", "python", "python-hooks"
)
sys.path.insert(0, HOOKS_DIR)
try:
    import _quelvane_hooks as hooks
except ImportError as e:  # pragma: no cover - a setup fault, not a finding
    raise ImportError(f"_quelvane_hooks is not built in {HOOKS_DIR} (scripts/crash-test builds it)") from e

# name, dataset_type, create_dataset options
DATASETS = [
    ("sparse", "zstd", {}),
    ("continuous", "idx", {"index_continuous": True}),
    ("journalled", "zstd", {"enable_journal": True}),
    ("queued", "queue", {}),
]
QUEUE_DATASET = "queued/queue"
GROUPS = ["g1", "g2"]
# Datasets created and dropped again and again: a kill inside either must leave each type listed
# and whole, or not listed, so that "open the type when it is listed, else create it" works.
CHURN_NAME = "churn"
CHURN_TYPES = ["c0", "c1", "c2"]

STORE_OPTIONS = dict(
    flush_interval=1,
    data_segment_size=96 * 1024,  # roll-overs every few hundred records
    initial_data_segment_size=4096,
    index_segment_size=128 + 14 * 60,
    initial_index_segment_size=128 + 14 * 10,
    enable_journal=True,
)

LARGE = 66_000  # above the shared-block limit: a block of its own

# A dataset with a retention window, in a store of its own beside the main one, written in order
# and reclaimed often: a segment falls out of the window every few reclaims.
RETAINED = "retained/r"
RETAINED_WINDOW = 150  # timestamps
RETAINED_SEGMENT = 8 * 1024  # 30 to 50 records
RETAINED_INDEX_SEGMENT = 128 + 14 * 40
RETAINED_RECLAIM_EVERY = 16  # writes, on average: most reclaims then remove a segment


def retained_dir(data_dir):
    return os.path.join(os.path.dirname(os.path.abspath(data_dir)), "retained")


def open_retained(data_dir, read_only=False):
    return hooks.Retained.open(
        retained_dir(data_dir), RETAINED_WINDOW, RETAINED_SEGMENT, RETAINED_INDEX_SEGMENT, read_only
    )


# Every dataset the model follows: the main store's, then the retained one.
MODEL_KEYS = [f"{n}/{t}" for n, t, _ in DATASETS] + [RETAINED]


# The model makes each record's bytes again when it applies the line of a write: kept for the
# latest writes, so that a burst of corrections spends its time in the store, where kills count.
@functools.lru_cache(maxsize=256)
def content(tag, length):
    """The bytes of record `tag`, exactly `length` long: half noise, half repeated text, so that
    sealed blocks compress but segments still fill."""
    noise = hashlib.shake_128(str(tag).encode()).digest(length - length // 2)
    text = (b"time-series-record-" + str(tag).encode()) * (length // 20 + 1)
    return noise + text[: length // 2]


def key(name, dataset_type):
    return f"{name}/{dataset_type}"


class Model:
    """Every dataset's records as the returned operations of the log left them."""

    def __init__(self):
        self.records = {k: {} for k in MODEL_KEYS}  # ds -> ts -> bytes
        self.ever = {k: {} for k in MODEL_KEYS}  # ds -> ts -> set of contents ever written
        self.flushed = {k: {} for k in MODEL_KEYS}  # ds -> ts -> bytes at the last flush
        self.inflight = None  # the last intent without its return
        self.acked = {g: set() for g in GROUPS}
        # Latest timestamps a continuous index kept as placeholders of a fill the kill cut short.
        self.placeholders = {k: set() for k in MODEL_KEYS}
        self.lines = 0

    def apply(self, line):
        parts = line.split()
        if not parts:
            return
        self.lines += 1
        op = parts[0]
        if op == "I":  # intent: the operation about to run
            self.inflight = parts[1:]
            return
        self.inflight = None
        if op in ("w", "a"):
            ds, ts, tag, length = parts[1], int(parts[2]), parts[3], int(parts[4])
            data = content(tag, length)
            recs = self.records[ds]
            recs[ts] = recs.get(ts, b"") + data if op == "a" else data
            self.ever[ds].setdefault(ts, set()).add(recs[ts])
        elif op == "d":
            self.records[parts[1]].pop(int(parts[2]), None)
        elif op == "f":
            ds = parts[1]
            self.flushed[ds] = dict(self.records[ds])
        elif op == "P":
            self.placeholders[parts[1]].add(int(parts[2]))
        elif op == "k":
            self.acked[parts[1]].add(int(parts[2]))
        # "r": a reclaim of the retained dataset returned; the records it removed lay below the
        # window, where the checker expects nothing in particular.

    def inflight_outcome(self):
        """(ds, ts, bytes or None) the cut-short operation would have left, if any."""
        if not self.inflight:
            return None
        op = self.inflight[0]
        if op in ("w", "a"):
            ds, ts, tag, length = self.inflight[1], int(self.inflight[2]), self.inflight[3], int(self.inflight[4])
            data = content(tag, length)
            before = self.records[ds].get(ts)
            return ds, ts, ((before or b"") + data) if op == "a" else data
        if op == "d":
            return self.inflight[1], int(self.inflight[2]), None
        return None


def load(log_path):
    model = Model()
    if os.path.exists(log_path):
        with open(log_path) as f:
            lines = f.read().split("\n")
        # A line cut short by the kill has no newline after it and never counted.
        for line in lines[:-1]:
            model.apply(line)
    return model


class Log:
    """Lines written with one write(2) each, so that a kill leaves whole lines only."""

    def __init__(self, path, model):
        self.fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self.model = model

    def line(self, *parts):
        text = " ".join(str(p) for p in parts)
        os.write(self.fd, (text + "\n").encode())
        self.model.apply(text)

    def intent(self, *parts):
        self.line("I", *parts)


def next_tag(rng):
    return f"{rng.getrandbits(48):x}"


def record_length(rng):
    r = rng.random()
    if r < 0.02:
        return LARGE + rng.randrange(5000)
    if r < 0.2:
        return rng.randrange(1000, 9000)
    return rng.randrange(1, 400)


def correction_length(rng):
    """A correction of the latest record: mostly a few hundred bytes to 20 KB, whose in-place
    rewrite is long enough for kills to land inside it; now and then any record length."""
    return rng.randrange(300, 20_000) if rng.random() < 0.8 else record_length(rng)


def open_or_create(store, dataset_type):
    """The pattern a program uses on a store it finds: the type when it is listed, else a new one."""
    if dataset_type in store.get_dataset_types(CHURN_NAME):
        return store.open_dataset(CHURN_NAME, dataset_type), True
    return store.create_dataset(CHURN_NAME, dataset_type), False


def churn(rng, store, log):
    """Drops a listed churn type, or creates one that is not listed."""
    dataset_type = rng.choice(CHURN_TYPES)
    log.intent("c", dataset_type)
    ds, listed = open_or_create(store, dataset_type)
    ds.write((ds.latest_timestamp or 0) + 1, b"churn")
    if listed:
        store.drop_dataset(CHURN_NAME, dataset_type)
    log.line("c", dataset_type)


def correction_burst(rng, ds_key, ds, log):
    """Corrections of the latest record one after another. Their contents are made first, so
    that a kill between an intent and its return lands inside the correction's own work as often
    as it can."""
    ts = ds.latest_timestamp
    burst = [(next_tag(rng), correction_length(rng)) for _ in range(rng.randrange(1, 16))]
    for tag, length, data in [(t, n, content(t, n)) for t, n in burst]:
        log.intent("w", ds_key, ts, tag, length)
        ds.write(ts, data)
        log.line("w", ds_key, ts, tag, length)


def retained_step(rng, retained, log):
    """The next record of the retained dataset, now and then followed by a reclaim."""
    ts = (retained.latest() or 0) + 1
    tag, length = next_tag(rng), rng.randrange(50, 400)
    log.intent("w", RETAINED, ts, tag, length)
    retained.write(ts, content(tag, length))
    log.line("w", RETAINED, ts, tag, length)
    if rng.random() < 1 / RETAINED_RECLAIM_EVERY:
        log.intent("r")
        retained.reclaim()
        log.line("r")


def step(rng, store, datasets, queue, consumers, log, retained):
    """One operation of the mixed workload, logged before and after."""
    model = log.model
    if rng.random() < 0.04:
        churn(rng, store, log)
        return
    if rng.random() < 0.1:
        retained_step(rng, retained, log)
        return
    r = rng.random()
    names = [key(n, t) for n, t, _ in DATASETS if key(n, t) != QUEUE_DATASET]
    ds_key = rng.choice(names)
    ds = datasets[ds_key]
    recs = model.records[ds_key]
    latest = ds.latest_timestamp
    if r < 0.45 or not recs:  # in order
        ts = (latest or 0) + 1 + (rng.randrange(3) if rng.random() < 0.3 else 0)
        tag, length = next_tag(rng), record_length(rng)
        log.intent("w", ds_key, ts, tag, length)
        ds.write(ts, content(tag, length))
        log.line("w", ds_key, ts, tag, length)
    elif r < 0.55:
        correction_burst(rng, ds_key, ds, log)
    elif r < 0.65:  # out-of-order replacement of an earlier record
        ts = rng.choice(list(recs))
        tag, length = next_tag(rng), rng.randrange(1, 600)
        log.intent("w", ds_key, ts, tag, length)
        ds.write(ts, content(tag, length))
        log.line("w", ds_key, ts, tag, length)
    elif r < 0.72 and latest is not None and latest in recs and len(recs[latest]) < 60_000:
        tag, length = next_tag(rng), rng.randrange(1, 300)
        log.intent("a", ds_key, latest, tag, length)
        try:
            ds.append(latest, content(tag, length))
        except (quelvane.QvanInvalidDataError, quelvane.QvanSegmentFullError):
            # Only the last record of the pending block can grow, and only inside the segment's
            # current file (an append never grows it); a refusal changes nothing.
            log.line("X")
            return
        log.line("a", ds_key, latest, tag, length)
    elif r < 0.78:
        ts = rng.choice(list(recs))
        log.intent("d", ds_key, ts)
        ds.delete(ts)
        log.line("d", ds_key, ts)
    elif r < 0.85:
        log.intent("f", ds_key)
        ds.flush()
        log.line("f", ds_key)
    elif r < 0.93:  # the queue: a push, then deliveries to both groups
        tag, length = next_tag(rng), rng.randrange(1, 200)
        qds = datasets[QUEUE_DATASET]
        ts = (qds.latest_timestamp or 0) + 1
        log.intent("w", QUEUE_DATASET, ts, tag, length)
        pos = queue.push(content(tag, length))
        assert pos == ts, (pos, ts)
        log.line("w", QUEUE_DATASET, ts, tag, length)
        # Every delivery is acknowledged: one left pending for good would, kill after kill, fill
        # the group's pending list. Redelivery still happens, to a delivery whose ack a kill cut off.
        for group, consumer in consumers.items():
            rec = consumer.poll(0)
            if rec is not None:
                consumer.ack(rec[0])
                log.line("k", group, rec[0])
    else:
        qds = datasets[QUEUE_DATASET]
        log.intent("f", QUEUE_DATASET)
        qds.flush()
        log.line("f", QUEUE_DATASET)


def open_datasets(store, opened=lambda k: None):
    """The workload's datasets by key, each opened, or created where it is missing; opened(key)
    is told of each as soon as it stands."""
    datasets = {}
    for name, dataset_type, options in DATASETS:
        k = key(name, dataset_type)
        try:
            datasets[k] = store.open_dataset(name, dataset_type)
        except quelvane.QvanNotFoundError:
            # Never created, or a create the kill cut short: either way it never held a record.
            datasets[k] = store.create_dataset(name, dataset_type, **options)
        opened(k)
    return datasets


def run_writer(data_dir, log_path, seed, run):
    """The child: reopen everything, then run the workload until killed."""
    model = load(log_path)
    log = Log(log_path, model)
    rng = random.Random(f"{seed}-{run}")
    store = quelvane.Store.open(data_dir, quelvane.StoreConfig(**STORE_OPTIONS))
    datasets = open_datasets(store)
    queue = store.open_queue(datasets[QUEUE_DATASET].id)
    consumers = {g: queue.open_consumer(g, 1, 0) for g in GROUPS}
    retained = open_retained(data_dir)
    os.write(1, b"ready\n")
    # One run in three mostly corrects latest records, whose in-place rewrite is over in
    # microseconds: kills then land inside one often enough to matter. Half of the others mostly
    # write and reclaim the retained dataset, so that kills land inside reclaim.
    correcting = rng.random() < 1 / 3
    reclaiming = not correcting and rng.random() < 1 / 2
    while True:
        ds_key = rng.choice([key(n, t) for n, t, _ in DATASETS if key(n, t) != QUEUE_DATASET])
        if correcting and rng.random() < 0.8 and log.model.records[ds_key]:
            correction_burst(rng, ds_key, datasets[ds_key], log)
        elif reclaiming and rng.random() < 0.8:
            retained_step(rng, retained, log)
        else:
            step(rng, store, datasets, queue, consumers, log, retained)
