"""Stores, corrects, deletes, reads, queries and inspects readings of one dataset, consumes events
through a consumer group, follows the journal of their dataset, then reopens the store.

    python examples/quickstart.py [data directory]     (default: ./example-data; run it twice to
                                                         see the second run continue the first)
"""
import sys
import threading
import time

import quelvane

# The first byte of a journal record says what changed.
JOURNAL_KINDS = {1: "create dataset", 2: "drop dataset", 0x11: "write", 0x12: "delete", 0x13: "append"}


def reading(i):
    return b'{"celsius":%d.%d}' % (18 + i % 7, i % 10)


def journal_change(record):
    """What one journal record says changed: its kind, and the timestamp of a record's change."""
    kind = JOURNAL_KINDS[record[0]]
    if record[0] < 0x11:
        return kind
    # code, identifier width code (1, 2, 3, 4: 1, 2, 4, 8 bytes), identifier, 0x10, i64 timestamp
    width = 1 << (record[1] - 1)
    return f"{kind} at {int.from_bytes(record[3 + width:11 + width], 'little', signed=True)}"


def consume_events(store):
    """Pushes events to a queue and takes them through a consumer group (poll, ack, a redelivery, a
    wake callback), then lists what the journal recorded of their dataset."""
    journal_start = (store.journal_latest_sequence() or 0) + 1
    if "door" in store.get_dataset_types("events"):
        events = store.open_dataset("events", "door")
    else:
        events = store.create_dataset("events", "door", enable_journal=True)

    queue = store.open_queue(events.id)
    # A record polled and not acknowledged within 2 seconds is delivered again. The group keeps its
    # progress on disk: a second run continues after the records the first run acknowledged.
    consumer = queue.open_consumer("alarm", running_expired_seconds=2)
    # The wake callback runs on the pushing thread; it only signals, the consumer polls for data.
    woken = threading.Event()
    consumer.poll_callback(woken.set)

    queue.push(b"opened")
    queue.push(b"closed")
    print("wake callback called by the push:", woken.is_set())

    ts, data = consumer.poll(0)
    consumer.ack(ts)
    print("polled and acknowledged", ts, data)
    ts, data = consumer.poll(0)
    print("polled, not acknowledged", ts, data)
    print("poll before the timeout:", consumer.poll(0))
    time.sleep(2.1)
    ts, data = consumer.poll(0)
    retries = consumer.inspect().state.pending_entries[0].retry_count
    consumer.ack(ts)
    print(f"redelivered after the timeout {ts} {data} (retry {retries}), acknowledged")
    print("group progress: processed up to", consumer.inspect().state.processed_ts)
    queue.close()

    # The journal records each change of a journalled dataset under a sequence number.
    for seq, record in store.journal_query(journal_start, store.journal_latest_sequence()):
        print(f"journal {seq}: {journal_change(record)}")


def main(data_dir):
    with quelvane.Store.open(data_dir) as store:
        if "temperature" in store.get_dataset_types("sensors"):
            ds = store.open_dataset("sensors", "temperature")
        else:
            ds = store.create_dataset("sensors", "temperature")

        # Store one reading a minute, then correct the latest, replace an older one and delete one.
        start = (ds.latest_timestamp or 1_700_000_000) + 60
        for i in range(1000):
            ds.write(start + 60 * i, reading(i))
        last = start + 60 * 999
        ds.write(last, b'{"celsius":21.5}')
        ds.write(start + 60, b'{"celsius":19.9}')
        ds.delete(start + 120)

        # Read singly, by negative offset from the latest, and by length.
        print("first ", *ds.read(start))
        print("latest", *ds.read(-1))
        print("length of the latest:", ds.read_length(-1))
        print("deleted record present:", ds.read_exist(start + 120))

        # Query a range forwards lazily, backwards, eagerly, and as an existence bitmap.
        for ts, data in ds.query(start, start + 60 * 4):
            print("  fwd ", ts, data)
        back = ds.query(last - 60 * 2, last)
        back.reverse()
        for ts, data in back.collect_all():
            print("  back", ts, data)
        day = ds.query_all(start, start + 60 * 60 * 24)
        print("records in the first day:", len(day))
        # One bit per timestamp of the range: readings are a minute apart, so most bits are clear.
        bitmap = ds.query_exist(start, start + 60 * 7)
        present = sum(bin(byte).count("1") for byte in bitmap)
        print(f"records among the {60 * 7 + 1} timestamps of the first 8 minutes: {present}")

        state = ds.inspect().state
        print(f"records {state.total_record_count}, data bytes {state.total_data_size}, "
              f"raw bytes {state.total_uncompressed_size}, segments {state.data_segments}")
        identifier = ds.identifier

        consume_events(store)

    # Reopen read-only: everything written above is there.
    with quelvane.Store.open(data_dir, quelvane.StoreConfig(read_only=True)) as store:
        again = store.open_dataset_by_identifier(identifier)
        print("after reopening, latest:", *again.read_latest())
        info = store.inspect_dataset("sensors", "temperature").info
        print(f"dataset {info.name}/{info.dataset_type} (identifier {info.identifier}) at {info.base_dir}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "example-data")
