"""The dataset queue through the Python module: push, then poll+ack of one group over 100,000
records of 100 bytes, and the time from a push on one thread to a blocked poll returning on
another (median and p99). The same work as `core_bench --queue`, whose figures it is read beside.

    python bench/python_queue_bench.py [--records N] [--wakes N] [--repeat N]
"""
import argparse
import os
import random
import statistics
import tempfile
import threading
import time

import quelvane


def payloads(count, size=100):
    """JSON-like sensor readings cut to `size` bytes, as the core benchmark's stream has them."""
    rng = random.Random(1)
    out = []
    for i in range(count):
        text = '{"ts":%d,"device":"dev-%02d","seq":%d,"temp":%.3f,"hum":%.2f' % (
            i + 1, rng.randrange(64), i, 15 + rng.randrange(20000) / 1000, 30 + rng.randrange(6000) / 100)
        k = 0
        while len(text) < size:
            text += ',"v%d":%.4f' % (k, rng.randrange(2_000_000) / 10000 - 100)
            k += 1
        out.append(text.encode()[:size])
    return out


def run(records, wakes, data):
    with tempfile.TemporaryDirectory() as tmp:
        store = quelvane.Store.open(os.path.join(tmp, "data"), quelvane.StoreConfig(enable_background_thread=False))
        ds = store.create_dataset("bench", "queue")
        q = store.open_queue(ds.id)
        c = q.open_consumer("g")

        started = time.perf_counter()
        for payload in data:
            q.push(payload)
        push_secs = time.perf_counter() - started

        started = time.perf_counter()
        for _ in range(records):
            ts, _ = c.poll(0)
            c.ack(ts)
        drain_secs = time.perf_counter() - started

        # One push at a time, each timed until the poller blocked in poll() has it.
        wake_us = []
        ready = threading.Event()
        received = threading.Event()
        stamp = [0.0]

        def poller():
            for _ in range(wakes):
                ready.set()
                ts, _ = c.poll(60_000)
                wake_us.append((time.perf_counter() - stamp[0]) * 1e6)
                c.ack(ts)
                received.set()

        t = threading.Thread(target=poller)
        t.start()
        for _ in range(wakes):
            ready.wait()
            ready.clear()
            time.sleep(0.0005)  # let it reach its wait
            stamp[0] = time.perf_counter()
            q.push(data[0])
            received.wait()
            received.clear()
        t.join()
        store.close()
        return push_secs, drain_secs, wake_us


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--records", type=int, default=100_000)
    ap.add_argument("--wakes", type=int, default=1_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    data = payloads(args.records)
    print(f"== dataset queue through Python, one group: {args.records:,} records of 100 bytes pushed, "
          f"then polled and acknowledged; {args.wakes:,} wake-ups of a blocked poll")
    print(f"{'run':<8} {'push rec/s':>14} {'poll+ack rec/s':>16} {'wake median us':>15} {'wake p99 us':>12}")
    pushes, drains, medians, p99s = [], [], [], []
    for i in range(args.repeat):
        push_secs, drain_secs, wake_us = run(args.records, args.wakes, data)
        wake_us.sort()
        pushes.append(args.records / push_secs)
        drains.append(args.records / drain_secs)
        medians.append(statistics.median(wake_us))
        p99s.append(wake_us[min(len(wake_us) - 1, int(0.99 * len(wake_us)))])
        print(f"{i + 1:<8} {pushes[-1]:>14,.0f} {drains[-1]:>16,.0f} {medians[-1]:>15.1f} {p99s[-1]:>12.1f}")
    if args.repeat > 1:
        print(f"{'median':<8} {statistics.median(pushes):>14,.0f} {statistics.median(drains):>16,.0f} "
              f"{statistics.median(medians):>15.1f} {statistics.median(p99s):>12.1f}")


if __name__ == "__main__":
    main()
