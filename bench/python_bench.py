"""Python benchmark: quelvane beside sqlite3, lmdb and rocksdict, measured in one run.

    python bench/python_bench.py                 1,000,000 records of 100 bytes, 200,000 of 1,000
    python bench/python_bench.py --scale 0.1     a tenth of the records (a quick run)
    python bench/python_bench.py --levels 1 3 6  quelvane's write at several zstd levels

For each record size and engine: an in-order write of one call per record, a full scan built
eagerly into a list and walked lazily, and random point reads; beside them the interpreter's floor,
a loop that only builds the same (int, bytes) tuples. Figures are millions of records a second;
reads are the best of two runs (the first also decodes what a fresh store has not decoded yet).
lmdb and rocksdict are optional (pip install lmdb rocksdict); a peer that is not installed is left
out. The cyclic collector is off while a figure is taken, for every engine alike.
"""
import argparse
import gc
import os
import random
import shutil
import sqlite3
import struct
import sys
import tempfile
import time

import quelvane

POINT_READS = 100_000
WORKLOADS = ("write", "eager", "lazy", "point")


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn()
        return time.perf_counter() - start, result
    finally:
        gc.enable()


def payloads(count, size):
    """count distinct payloads of size bytes, as slices of one random buffer."""
    rng = random.Random(7)
    pool = rng.randbytes(size + 4096)
    return [pool[i % 4096:i % 4096 + size] for i in range(count)]


def point_keys(count, reads):
    rng = random.Random(11)
    return [rng.randrange(count) for _ in range(reads)]


class Quelvane:
    name = "quelvane"

    def __init__(self, path, level=6):
        self.store = quelvane.Store.open(path, quelvane.StoreConfig(enable_background_thread=False))
        self.ds = self.store.create_dataset("bench", "records", compress_level=level)

    def write(self, data):
        write = self.ds.write
        for ts, d in enumerate(data):
            write(ts, d)
        self.ds.flush()

    def eager(self, count):
        return self.ds.query_all(0, count - 1)

    def lazy(self, count):
        n = 0
        for _ in self.ds.query(0, count - 1):
            n += 1
        return n

    def point(self, keys):
        read = self.ds.read
        for k in keys:
            read(k)

    def close(self):
        self.store.close()


class Sqlite:
    name = "sqlite3"

    def __init__(self, path):
        self.db = sqlite3.connect(os.path.join(path, "bench.db"), isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=OFF")
        self.db.execute("CREATE TABLE t (ts INTEGER PRIMARY KEY, data BLOB)")

    def write(self, data):
        execute = self.db.execute
        execute("BEGIN")
        for ts, d in enumerate(data):
            execute("INSERT INTO t VALUES (?, ?)", (ts, d))
        execute("COMMIT")

    def eager(self, count):
        return self.db.execute("SELECT ts, data FROM t WHERE ts BETWEEN 0 AND ? ORDER BY ts", (count - 1,)).fetchall()

    def lazy(self, count):
        n = 0
        for _ in self.db.execute("SELECT ts, data FROM t WHERE ts BETWEEN 0 AND ? ORDER BY ts", (count - 1,)):
            n += 1
        return n

    def point(self, keys):
        execute = self.db.execute
        for k in keys:
            execute("SELECT data FROM t WHERE ts = ?", (k,)).fetchone()

    def close(self):
        self.db.close()


KEY = struct.Struct(">Q")  # big-endian, so the key order is the timestamp order


def key_of(ts):
    return KEY.pack(ts)


class Lmdb:
    name = "lmdb"

    def __init__(self, path):
        import lmdb
        self.env = lmdb.open(path, map_size=8 << 30, sync=False, metasync=False, writemap=True)

    def write(self, data):
        with self.env.begin(write=True) as txn:
            put = txn.put
            for ts, d in enumerate(data):
                put(KEY.pack(ts), d, append=True)

    def eager(self, count):
        with self.env.begin() as txn:
            return [(KEY.unpack(k)[0], v) for k, v in txn.cursor()]

    def lazy(self, count):
        n = 0
        with self.env.begin() as txn:
            for k, v in txn.cursor():
                KEY.unpack(k)
                n += 1
        return n

    def point(self, keys):
        with self.env.begin() as txn:
            get = txn.get
            for k in keys:
                get(KEY.pack(k))

    def close(self):
        self.env.close()


class RocksDict:
    name = "rocksdict"

    def __init__(self, path):
        import rocksdict
        self.db = rocksdict.Rdict(os.path.join(path, "rocks"))
        self.rocksdict = rocksdict

    def write(self, data):
        db = self.db
        for ts, d in enumerate(data):
            db[KEY.pack(ts)] = d
        db.flush()

    def eager(self, count):
        return [(KEY.unpack(k)[0], v) for k, v in self.db.items()]

    def lazy(self, count):
        n = 0
        for k, v in self.db.items():
            KEY.unpack(k)
            n += 1
        return n

    def point(self, keys):
        get = self.db.get
        for k in keys:
            get(KEY.pack(k))

    def close(self):
        self.db.close()


def available_peers():
    peers = [Sqlite]
    for module, cls in (("lmdb", Lmdb), ("rocksdict", RocksDict)):
        try:
            __import__(module)
        except ImportError:
            continue
        peers.append(cls)
    return peers


def floor(data):
    """The interpreter's floor: only building the (int, bytes) tuples a scan returns."""
    def build():
        return [(ts, bytes(d)) for ts, d in enumerate(data)]
    seconds, _ = best(build, 2)
    return len(data) / seconds / 1e6


def best(fn, repeat):
    """The fastest of repeat timed runs (the first scan of a store also pays for decoding its
    blocks; the later ones show the warm figure) and the last run's result."""
    times = []
    result = None
    for _ in range(repeat):
        result = None  # released first, so every run allocates alike
        seconds, result = timed(fn)
        times.append(seconds)
    return min(times), result


def measure(make, data, keys, root, repeat=2):
    """M records/s of each workload for one engine, on a directory of its own."""
    path = tempfile.mkdtemp(dir=root)
    engine = make(path)
    count = len(data)
    try:
        rates = {}
        seconds, _ = timed(lambda: engine.write(data))
        rates["write"] = count / seconds / 1e6
        seconds, rows = best(lambda: engine.eager(count), repeat)
        if len(rows) != count or rows[-1][0] != count - 1 or rows[-1][1] != data[-1]:
            raise AssertionError(f"{engine.name}: the eager scan returned the wrong records")
        del rows
        rates["eager"] = count / seconds / 1e6
        seconds, n = best(lambda: engine.lazy(count), repeat)
        if n != count:
            raise AssertionError(f"{engine.name}: the lazy scan returned {n} of {count} records")
        rates["lazy"] = count / seconds / 1e6
        seconds, _ = best(lambda: engine.point(keys), repeat)
        rates["point"] = len(keys) / seconds / 1e6
        return engine.name, rates
    finally:
        engine.close()
        shutil.rmtree(path, ignore_errors=True)


def run(count, size, levels=(), root=None, out=sys.stdout):
    """Measures every engine at one record size and prints the table; returns the figures."""
    data = payloads(count, size)
    keys = point_keys(count, min(POINT_READS, count * 10))
    figures = {}
    own_root = root is None
    root = root or tempfile.mkdtemp(prefix="qv-bench-")
    try:
        name, rates = measure(Quelvane, data, keys, root)
        figures[name] = rates
        for make in available_peers():
            name, rates = measure(make, data, keys, root)
            figures[name] = rates
        for level in levels:
            name, rates = measure(lambda p, lv=level: Quelvane(p, lv), data, keys, root)
            figures[f"quelvane level {level}"] = {"write": rates["write"]}
        figures["floor (tuples)"] = {"eager": floor(data)}
    finally:
        if own_root:
            shutil.rmtree(root, ignore_errors=True)
    print_table(count, size, figures, out)
    return figures


def print_table(count, size, figures, out):
    print(f"\n{count:,} records of {size} bytes (M records/s)", file=out)
    print(f"{'engine':<22}" + "".join(f"{w:>10}" for w in WORKLOADS), file=out)
    for name, rates in figures.items():
        cells = "".join(f"{rates[w]:>10.2f}" if w in rates else f"{'':>10}" for w in WORKLOADS)
        print(f"{name:<22}{cells}", file=out)
    q = figures["quelvane"]
    for peer in [p for p in ("sqlite3", "lmdb", "rocksdict") if p in figures]:
        ratios = " ".join(f"{w} {q[w] / figures[peer][w]:.2f}x" for w in WORKLOADS)
        print(f"quelvane / {peer}: {ratios}", file=out)
    print(f"quelvane lazy / eager: {q['lazy'] / q['eager']:.2f}", file=out)
    print(f"quelvane eager / floor: {q['eager'] / figures['floor (tuples)']['eager']:.2f}", file=out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the default record counts")
    parser.add_argument("--levels", type=int, nargs="*", default=[1, 3], help="extra zstd levels for quelvane's write")
    parser.add_argument("--dir", default=None, help="where the engines' files go (default: a temporary directory)")
    args = parser.parse_args(argv)
    print(f"python {sys.version.split()[0]}, peers: {', '.join(p.name for p in available_peers())}")
    for count, size in ((1_000_000, 100), (200_000, 1000)):
        run(max(1, int(count * args.scale)), size, args.levels, args.dir)


if __name__ == "__main__":
    main()
