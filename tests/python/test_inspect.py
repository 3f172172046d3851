"""The inspection record classes: snapshots with read-only properties."""
import pytest

import quelvane

INFO = [
    ("name", str, "Dataset name"),
    ("dataset_type", str, "Dataset type"),
    ("base_dir", str, "Dataset directory path"),
    ("identifier", int, "Store-assigned numeric dataset identifier"),
    ("data_segment_size", int, "Data segment file size limit (bytes)"),
    ("index_segment_size", int, "Index segment file size limit (bytes)"),
    ("initial_data_segment_size", int, "Initial data segment file size (bytes)"),
    ("initial_index_segment_size", int, "Initial index segment file size (bytes)"),
    ("compress_type", int, "Compression algorithm type (0=zstd, 1=deflate)"),
    ("compress_level", int, "Compression level (0-9)"),
    ("index_continuous", int, "Index mode: 0=sparse, 1=continuous"),
    ("retention_window", int, "Data retention window (same unit as timestamp, 0=no limit)"),
    ("enable_journal", bool, "Whether this dataset records journal entries when Store journal is enabled"),
    ("create_time", int, "Dataset creation time (Unix milliseconds)"),
]
STATE = [
    ("latest_written_timestamp", "Highest written timestamp"),
    ("open_data_segments", "Number of currently open data segments"),
    ("data_segments", "Total number of data segments"),
    ("total_record_count", "Total record count across all data segments"),
    ("total_data_size", "Total used space across all data segments (bytes)"),
    ("total_uncompressed_size", "Total uncompressed size across all data segments (bytes)"),
    ("total_invalid_record_count", "Total invalid record count across all data segments"),
    ("min_timestamp", "Global minimum timestamp from the index-visible range"),
    ("max_timestamp", "Global maximum timestamp from the index-visible range"),
    ("open_index_segments", "Number of currently open index segments"),
    ("index_segments", "Total number of index segments"),
    ("pending_index_entries", "Number of in-memory buffered index entries"),
    ("base_timestamp", "Index base timestamp (None if no data)"),
    ("read_only", "Whether the dataset is in read-only mode"),
    ("has_block_cache", "Whether BlockCache is enabled"),
    ("has_journal", "Whether Journal is enabled"),
    ("has_queue", "Whether the dataset has an associated Queue"),
    ("queue_consumer_groups", "Number of queue consumer groups"),
]
STATE_BOOLS = {"read_only", "has_block_cache", "has_journal", "has_queue"}
STATE_OPTIONAL = {"latest_written_timestamp", "min_timestamp", "max_timestamp", "base_timestamp"}

CLASS_DOCS = {
    "DataSetInfo": "Immutable dataset configuration info.",
    "DataSetState": "Mutable dataset state info.",
    "DataSetInspectResult": "Result of `Store.inspect_dataset()`.",
    "DatasetQueueConsumerInfo": "Public configuration for a dataset queue consumer group.",
    "DatasetQueueConsumerState": "Durable state for a dataset queue consumer group.",
    "DatasetQueueConsumerInspectResult": "Result of DatasetQueueConsumer.inspect().",
    "DatasetQueueConsumerPendingEntry": "Pending queue record state returned by DatasetQueueConsumer.inspect().",
}


def snapshot(record, names):
    return {name: getattr(record, name) for name in names}


def test_empty_dataset(ds):
    result = ds.inspect()
    assert type(result).__name__ == "DataSetInspectResult"
    state = result.state
    for name, _ in STATE:
        value = getattr(state, name)
        if name in STATE_OPTIONAL:
            assert value is None, name
        elif name in STATE_BOOLS:
            assert type(value) is bool, name
        else:
            assert type(value) is int, name
    assert state.total_record_count == state.total_data_size == state.total_invalid_record_count == 0
    assert state.pending_index_entries == 0
    assert state.has_queue is False and state.queue_consumer_groups == 0


def test_info(ds):
    info = ds.inspect().info
    for name, typ, _ in INFO:
        assert type(getattr(info, name)) is typ, name
    assert (info.name, info.dataset_type) == ("a", "b")
    assert info.base_dir == ds.data_dir
    assert info.identifier == ds.identifier
    assert info.compress_type == 0 and info.compress_level == 6 and info.index_continuous == 0
    assert info.retention_window == 0 and info.enable_journal is False
    assert info.create_time > 1_600_000_000_000  # milliseconds


def test_state_after_writes_and_the_snapshot_stays(ds):
    before = ds.inspect()
    for ts in (10, 11, 12):
        ds.write(ts, b"x" * 10)
    ds.write(11, b"y")  # a correction: one record superseded
    after = ds.inspect().state
    assert after.latest_written_timestamp == 12
    assert (after.min_timestamp, after.max_timestamp) == (10, 12)
    assert after.total_record_count >= 3 and after.total_uncompressed_size > 0
    assert after.data_segments == 1 and after.index_segments == 1
    assert before.state.latest_written_timestamp is None and before.state.total_record_count == 0


def test_composite_getters_copy(ds):
    ds.write(1, b"a")
    result = ds.inspect()
    assert result.info is not result.info and result.state is not result.state
    names = [n for n, _, _ in INFO]
    assert snapshot(result.info, names) == snapshot(result.info, names)
    names = [n for n, _ in STATE]
    assert snapshot(result.state, names) == snapshot(result.state, names)
    assert result.info != result.info  # identity equality


def test_dataset_record_classes(ds):
    result = ds.inspect()
    objects = {"DataSetInspectResult": result, "DataSetInfo": result.info, "DataSetState": result.state}
    props = {"DataSetInspectResult": [("info", "Immutable configuration info"), ("state", "Mutable current state")],
             "DataSetInfo": [(n, d) for n, _, d in INFO], "DataSetState": STATE}
    for cls_name, obj in objects.items():
        cls = type(obj)
        assert cls.__name__ == cls_name and cls.__module__ == "builtins"
        assert cls.__doc__ == CLASS_DOCS[cls_name]
        assert [n for n in vars(cls) if not n.startswith("__")] == [n for n, _ in props[cls_name]]
        for name, doc in props[cls_name]:
            assert getattr(cls, name).__doc__ == doc
        with pytest.raises(AttributeError):
            setattr(obj, props[cls_name][0][0], 1)
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        assert getattr(quelvane, cls_name) is cls


@pytest.fixture
def consumer(hooks):
    return hooks.Probe.sample_consumer_inspect()


def test_consumer_records(consumer):
    info = consumer.info
    assert (info.group_name, info.running_expired_seconds, info.max_retry_count) == ("g1", 900, 3)
    state = consumer.state
    assert state.processed_ts == 41
    entries = state.pending_entries
    assert type(entries) is list
    assert [(e.timestamp, e.start_time, e.status, e.retry_count) for e in entries] == [
        (42, 1700000000, 0, 2), (44, 0, 1, 255)]
    again = state.pending_entries
    assert again is not entries and all(a is not b for a, b in zip(again, entries))
    assert consumer.info is not consumer.info and consumer.state is not consumer.state


def test_consumer_record_classes(consumer):
    state = consumer.state
    objects = [consumer, consumer.info, state, state.pending_entries[0]]
    props = {
        "DatasetQueueConsumerInspectResult": ["info", "state"],
        "DatasetQueueConsumerInfo": ["group_name", "running_expired_seconds", "max_retry_count"],
        "DatasetQueueConsumerState": ["processed_ts", "pending_entries"],
        "DatasetQueueConsumerPendingEntry": ["timestamp", "start_time", "status", "retry_count"],
    }
    for obj in objects:
        cls = type(obj)
        assert cls.__module__ == "builtins" and cls.__doc__ == CLASS_DOCS[cls.__name__]
        assert [n for n in vars(cls) if not n.startswith("__")] == props[cls.__name__]
        for name in props[cls.__name__]:
            assert getattr(cls, name).__doc__ == ""
            with pytest.raises(AttributeError):
                setattr(obj, name, 1)
        with pytest.raises(TypeError):
            cls()
