#include "inspect.h"

#include <cstddef>

#include "boundary/entry.h"

namespace quelvane::python {

namespace {

using Info = const quelvane::DataSetInfo&;
using State = const quelvane::DataSetState&;

PyGetSetDef kInfoProperties[] = {
    property<DataSetInfoClass, [](Info i) { return i.name; }>("name", "Dataset name"),
    property<DataSetInfoClass, [](Info i) { return i.dataset_type; }>("dataset_type", "Dataset type"),
    property<DataSetInfoClass, [](Info i) { return i.base_dir; }>("base_dir", "Dataset directory path"),
    property<DataSetInfoClass, [](Info i) { return i.identifier; }>("identifier",
                                                                    "Store-assigned numeric dataset identifier"),
    property<DataSetInfoClass, [](Info i) { return i.data_segment_size; }>("data_segment_size",
                                                                           "Data segment file size limit (bytes)"),
    property<DataSetInfoClass, [](Info i) { return i.index_segment_size; }>("index_segment_size",
                                                                            "Index segment file size limit (bytes)"),
    property<DataSetInfoClass, [](Info i) { return i.initial_data_segment_size; }>(
        "initial_data_segment_size", "Initial data segment file size (bytes)"),
    property<DataSetInfoClass, [](Info i) { return i.initial_index_segment_size; }>(
        "initial_index_segment_size", "Initial index segment file size (bytes)"),
    property<DataSetInfoClass, [](Info i) { return i.compress_type; }>(
        "compress_type", "Compression algorithm type (0=zstd, 1=deflate)"),
    property<DataSetInfoClass, [](Info i) { return i.compress_level; }>("compress_level", "Compression level (0-9)"),
    // An int (0 or 1), not a bool.
    property<DataSetInfoClass, [](Info i) { return i.index_continuous; }>("index_continuous",
                                                                          "Index mode: 0=sparse, 1=continuous"),
    property<DataSetInfoClass, [](Info i) { return i.retention_window; }>(
        "retention_window", "Data retention window (same unit as timestamp, 0=no limit)"),
    property<DataSetInfoClass, [](Info i) { return i.enable_journal; }>(
        "enable_journal", "Whether this dataset records journal entries when Store journal is enabled"),
    property<DataSetInfoClass, [](Info i) { return i.create_time; }>("create_time",
                                                                     "Dataset creation time (Unix milliseconds)"),
    {},
};

PyGetSetDef kStateProperties[] = {
    property<DataSetStateClass, [](State s) { return s.latest_written_timestamp; }>("latest_written_timestamp",
                                                                                    "Highest written timestamp"),
    property<DataSetStateClass, [](State s) { return s.open_data_segments; }>(
        "open_data_segments", "Number of currently open data segments"),
    property<DataSetStateClass, [](State s) { return s.data_segments; }>("data_segments",
                                                                         "Total number of data segments"),
    property<DataSetStateClass, [](State s) { return s.total_record_count; }>(
        "total_record_count", "Total record count across all data segments"),
    property<DataSetStateClass, [](State s) { return s.total_data_size; }>(
        "total_data_size", "Total used space across all data segments (bytes)"),
    property<DataSetStateClass, [](State s) { return s.total_uncompressed_size; }>(
        "total_uncompressed_size", "Total uncompressed size across all data segments (bytes)"),
    property<DataSetStateClass, [](State s) { return s.total_invalid_record_count; }>(
        "total_invalid_record_count", "Total invalid record count across all data segments"),
    property<DataSetStateClass, [](State s) { return s.min_timestamp; }>(
        "min_timestamp", "Global minimum timestamp from the index-visible range"),
    property<DataSetStateClass, [](State s) { return s.max_timestamp; }>(
        "max_timestamp", "Global maximum timestamp from the index-visible range"),
    property<DataSetStateClass, [](State s) { return s.open_index_segments; }>(
        "open_index_segments", "Number of currently open index segments"),
    property<DataSetStateClass, [](State s) { return s.index_segments; }>("index_segments",
                                                                          "Total number of index segments"),
    property<DataSetStateClass, [](State s) { return s.pending_index_entries; }>(
        "pending_index_entries", "Number of in-memory buffered index entries"),
    property<DataSetStateClass, [](State s) { return s.base_timestamp; }>("base_timestamp",
                                                                          "Index base timestamp (None if no data)"),
    property<DataSetStateClass, [](State s) { return s.read_only; }>("read_only",
                                                                     "Whether the dataset is in read-only mode"),
    property<DataSetStateClass, [](State s) { return s.has_block_cache; }>("has_block_cache",
                                                                           "Whether BlockCache is enabled"),
    property<DataSetStateClass, [](State s) { return s.has_journal; }>("has_journal", "Whether Journal is enabled"),
    property<DataSetStateClass, [](State s) { return s.has_queue; }>("has_queue",
                                                                     "Whether the dataset has an associated Queue"),
    property<DataSetStateClass, [](State s) { return s.queue_consumer_groups; }>(
        "queue_consumer_groups", "Number of queue consumer groups"),
    {},
};

// The composite getters hand out a fresh copy on every access, sharing nothing with the record.
using Result = const quelvane::DataSetInspectResult&;

PyGetSetDef kResultProperties[] = {
    property<DataSetInspectResultClass, [](Result r) { return wrap<DataSetInfoClass>(r.info); }>(
        "info", "Immutable configuration info"),
    property<DataSetInspectResultClass, [](Result r) { return wrap<DataSetStateClass>(r.state); }>(
        "state", "Mutable current state"),
    {},
};

using ConsumerInfo = const quelvane::DatasetQueueConsumerInfo&;
using Pending = const quelvane::DatasetQueueConsumerPendingEntry&;
using ConsumerState = const quelvane::DatasetQueueConsumerState&;
using ConsumerResult = const quelvane::DatasetQueueConsumerInspectResult&;

PyGetSetDef kConsumerInfoProperties[] = {
    property<DatasetQueueConsumerInfoClass, [](ConsumerInfo i) { return i.group_name; }>("group_name", ""),
    property<DatasetQueueConsumerInfoClass, [](ConsumerInfo i) { return i.running_expired_seconds; }>(
        "running_expired_seconds", ""),
    property<DatasetQueueConsumerInfoClass, [](ConsumerInfo i) { return i.max_retry_count; }>("max_retry_count", ""),
    {},
};

PyGetSetDef kPendingProperties[] = {
    property<DatasetQueueConsumerPendingEntryClass, [](Pending e) { return e.timestamp; }>("timestamp", ""),
    property<DatasetQueueConsumerPendingEntryClass, [](Pending e) { return e.start_time; }>("start_time", ""),
    property<DatasetQueueConsumerPendingEntryClass, [](Pending e) { return e.status; }>("status", ""),
    property<DatasetQueueConsumerPendingEntryClass, [](Pending e) { return e.retry_count; }>("retry_count", ""),
    {},
};

// A new list of new entry objects, in the state's order; one that cannot be made releases the
// list made so far.
PyResult<PyRef> pending_entries(ConsumerState s) {
  const auto& entries = s.pending_entries;
  PyRef list = QV_PY_TRY(checked_result(PyList_New(static_cast<Py_ssize_t>(entries.size()))));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyRef entry = QV_PY_TRY(wrap<DatasetQueueConsumerPendingEntryClass>(entries[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list;
}

PyGetSetDef kConsumerStateProperties[] = {
    property<DatasetQueueConsumerStateClass, [](ConsumerState s) { return s.processed_ts; }>("processed_ts", ""),
    property<DatasetQueueConsumerStateClass, &pending_entries>("pending_entries", ""),
    {},
};

PyGetSetDef kConsumerResultProperties[] = {
    property<DatasetQueueConsumerInspectResultClass,
             [](ConsumerResult r) { return wrap<DatasetQueueConsumerInfoClass>(r.info); }>("info", ""),
    property<DatasetQueueConsumerInspectResultClass,
             [](ConsumerResult r) { return wrap<DatasetQueueConsumerStateClass>(r.state); }>("state", ""),
    {},
};

}  // namespace

ClassMembers DataSetInfoClass::members() {
  return {.doc = "Immutable dataset configuration info.", .properties = kInfoProperties};
}

ClassMembers DataSetStateClass::members() {
  return {.doc = "Mutable dataset state info.", .properties = kStateProperties};
}

ClassMembers DataSetInspectResultClass::members() {
  return {.doc = "Result of `Store.inspect_dataset()`.", .properties = kResultProperties};
}

ClassMembers DatasetQueueConsumerInfoClass::members() {
  return {.doc = "Public configuration for a dataset queue consumer group.", .properties = kConsumerInfoProperties};
}

ClassMembers DatasetQueueConsumerPendingEntryClass::members() {
  return {.doc = "Pending queue record state returned by DatasetQueueConsumer.inspect().",
          .properties = kPendingProperties};
}

ClassMembers DatasetQueueConsumerStateClass::members() {
  return {.doc = "Durable state for a dataset queue consumer group.", .properties = kConsumerStateProperties};
}

ClassMembers DatasetQueueConsumerInspectResultClass::members() {
  return {.doc = "Result of DatasetQueueConsumer.inspect().", .properties = kConsumerResultProperties};
}

}  // namespace quelvane::python
