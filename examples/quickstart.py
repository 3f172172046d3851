"""Stores, corrects, deletes, reads, queries and inspects readings of one dataset, then reopens it.

    python examples/quickstart.py [data directory]     (default: ./example-data; run it twice to
                                                         see the second run continue the first)
"""
import sys

import quelvane


def reading(i):
    return b'{"celsius":%d.%d}' % (18 + i % 7, i % 10)


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

    # Reopen read-only: everything written above is there.
    with quelvane.Store.open(data_dir, quelvane.StoreConfig(read_only=True)) as store:
        again = store.open_dataset_by_identifier(identifier)
        print("after reopening, latest:", *again.read_latest())
        info = store.inspect_dataset("sensors", "temperature").info
        print(f"dataset {info.name}/{info.dataset_type} (identifier {info.identifier}) at {info.base_dir}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "example-data")
