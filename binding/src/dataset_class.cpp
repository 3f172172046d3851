#include "dataset_class.h"

#include <span>
#include <utility>

#include "boundary/entry.h"
#include "exceptions.h"
#include "inspect.h"
#include "query_iterator.h"
#include "record_objects.h"
#include "util/text.h"

namespace quelvane::python {

namespace {

// A record's payload argument. A bytes object is immutable and the caller's reference outlives
// the call, so the core reads it in place; anything else (a bytearray, which Python code running
// during the call could resize, or a sequence of ints) is copied once.
struct Data {
  PyObject* bytes = nullptr;  // borrowed
  ByteBuffer owned;

  std::span<const std::uint8_t> view() const {
    if (bytes == nullptr) return owned;
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(bytes)), static_cast<std::size_t>(PyBytes_Size(bytes))};
  }
};

}  // namespace

template <>
struct FromPy<Data> {
  static PyResult<Data> convert(PyObject* obj) {
    if (PyBytes_Check(obj)) return Data{obj, {}};
    ByteBuffer copy = QV_PY_TRY(FromPy<ByteBuffer>::convert(obj));
    return Data{nullptr, std::move(copy)};
  }
};

namespace {

using Self = Object<DatasetClass>;

// The refusal comes after the arguments converted and before the core is reached.
PyStatus check_writable(const Self& self) {
  if (self.payload.read_only) return runtime_error("Dataset is read-only");
  return {};
}

PyStatus write(Self& self, std::int64_t timestamp, Data data) {
  QV_PY_TRY(check_writable(self));
  return from_core(self.payload.handle.write(timestamp, data.view()));
}

PyStatus append(Self& self, std::int64_t timestamp, Data data) {
  QV_PY_TRY(check_writable(self));
  return from_core(self.payload.handle.append(timestamp, data.view()));
}

PyStatus write_now(Self& self, Data data) {
  QV_PY_TRY(check_writable(self));
  return from_core(self.payload.handle.write_now(data.view()));
}

PyStatus append_now(Self& self, Data data) {
  QV_PY_TRY(check_writable(self));
  return from_core(self.payload.handle.append_now(data.view()));
}

PyStatus delete_record(Self& self, std::int64_t timestamp) {
  QV_PY_TRY(check_writable(self));
  return from_core(self.payload.handle.delete_record(timestamp));
}

// The (timestamp, bytes) tuple made from the record's bytes in its block under the dataset's
// lock: one copy, into the bytes object (record_objects.h). None when there is no record.
template <class Read>
PyResult<PyRef> read_one_record(Read&& read) {
  RecordObjects record(RecordObjects::Into::One);
  Result<bool> found;
  {
    GcPaused paused;
    found = read(record.visitor());
  }
  if (!QV_PY_TRY(from_core(std::move(found)))) return PyRef::borrow(Py_None);
  return record.take();
}

PyResult<PyRef> read(Self& self, std::int64_t timestamp) {
  return read_one_record([&](const RecordVisitor& visit) { return self.payload.handle.visit_read(timestamp, visit); });
}

PyResult<PyRef> read_latest(Self& self) {
  return read_one_record([&](const RecordVisitor& visit) { return self.payload.handle.visit_latest(visit); });
}

PyResult<bool> read_exist(Self& self, std::int64_t timestamp) {
  return from_core(self.payload.handle.read_exist(timestamp));
}

PyResult<std::optional<std::uint32_t>> read_length(Self& self, std::int64_t timestamp) {
  return from_core(self.payload.handle.read_length(timestamp));
}

// Building the cursor raises the class of the error's kind; its steps raise RuntimeError.
template <class Iterator>
PyResult<PyRef> query_with(Self& self, std::int64_t start_ts, std::int64_t end_ts) {
  QueryState state = QV_PY_TRY(from_core(self.payload.handle.query(start_ts, end_ts)));
  return wrap<Iterator>(std::optional<QueryState>(std::move(state)));
}

PyResult<PyRef> query(Self& self, std::int64_t start_ts, std::int64_t end_ts) {
  return query_with<QueryIteratorClass>(self, start_ts, end_ts);
}

PyResult<PyRef> query_length(Self& self, std::int64_t start_ts, std::int64_t end_ts) {
  return query_with<QueryLengthIteratorClass>(self, start_ts, end_ts);
}

// Built from the decoded blocks under the dataset's lock, without a copy of each record.
PyResult<PyRef> query_all(Self& self, std::int64_t start_ts, std::int64_t end_ts) {
  RecordObjects records(RecordObjects::Into::List);
  Status read;
  {
    GcPaused paused;
    read = self.payload.handle.visit_range(start_ts, end_ts, records.visitor());
  }
  QV_PY_TRY(from_core(std::move(read)));
  return records.take();
}

PyResult<ByteBuffer> query_exist(Self& self, std::int64_t start_ts, std::int64_t end_ts) {
  return from_core(self.payload.handle.query_exist(start_ts, end_ts));
}

PyResult<std::vector<RecordLength>> query_length_all(Self& self, std::int64_t start_ts, std::int64_t end_ts) {
  return from_core(self.payload.handle.query_length_all(start_ts, end_ts));
}

PyStatus flush(Self& self) { return from_core(self.payload.handle.flush()); }

PyResult<PyRef> inspect(Self& self) {
  quelvane::DataSetInspectResult result = QV_PY_TRY(from_core(self.payload.handle.inspect()));
  return wrap<DataSetInspectResultClass>(std::move(result));
}

PyResult<PyRef> repr(Self& self) {
  return to_py(text::cat("Dataset(id=", self.payload.id, ", dir=", self.payload.data_dir, ")"));
}

constexpr Signature<2> kWrite{"Dataset", "write", {"timestamp", "data"}};
constexpr Signature<2> kAppend{"Dataset", "append", {"timestamp", "data"}};
constexpr Signature<1> kWriteNow{"Dataset", "write_now", {"data"}};
constexpr Signature<1> kAppendNow{"Dataset", "append_now", {"data"}};
constexpr Signature<1> kDelete{"Dataset", "delete", {"timestamp"}};
constexpr Signature<1> kRead{"Dataset", "read", {"timestamp"}};
constexpr Signature<1> kReadExist{"Dataset", "read_exist", {"timestamp"}};
constexpr Signature<1> kReadLength{"Dataset", "read_length", {"timestamp"}};
constexpr Signature<2> kQuery{"Dataset", "query", {"start_ts", "end_ts"}};
constexpr Signature<2> kQueryAll{"Dataset", "query_all", {"start_ts", "end_ts"}};
constexpr Signature<2> kQueryExist{"Dataset", "query_exist", {"start_ts", "end_ts"}};
constexpr Signature<2> kQueryLength{"Dataset", "query_length", {"start_ts", "end_ts"}};
constexpr Signature<2> kQueryLengthAll{"Dataset", "query_length_all", {"start_ts", "end_ts"}};

constexpr auto X = Borrow::Exclusive;

#define QV_TS_ARG "\n\nArgs:\n    timestamp: Exact timestamp when non-negative; latest-relative offset when negative."
// A negative offset counts timestamps, not records, and the write_now pair keeps one record a
// second: the two things about these calls a newcomer trips over.
#define QV_BACK_FROM_LATEST(what)                                                              \
  "\n\nA negative " what " counts timestamps back from the latest written one, not records:\n" \
  "-1 is the latest, -2 the timestamp below it, whether or not that holds a record."
#define QV_RANGE_BACK QV_BACK_FROM_LATEST("start_ts or end_ts")
#define QV_FINER_UNIT                                                       \
  "\nWhere readings come faster, give write() timestamps of your own in a\n" \
  "finer unit (and keep to one unit in a dataset)."

PyMethodDef kMethods[] = {
    method<DatasetClass, kWrite, X, &write>(
        "write($self, timestamp, data)\n--\n\nWrite a record (timestamp, data).\n\n"
        "A record already at timestamp is replaced. data is bytes, a bytearray or a sequence of ints\n"
        "0..255, at most 4 MiB. Raises RuntimeError on a read-only store's dataset.\n\n"
        "Writes go forward in time: below the latest timestamp, a write must hit a\n"
        "timestamp that holds a record (or a slot of a continuous index); any other\n"
        "is refused with QvanNotFoundError."),
    method<DatasetClass, kAppend, X, &append>(
        "append($self, timestamp, data)\n--\n\nAppend bytes to a record.\n\n"
        "Extends the latest record when timestamp is the latest, or writes a new one\n"
        "above it; an older timestamp is refused with QvanInvalidDataError."),
    method<DatasetClass, kWriteNow, X, &write_now>(
        "write_now($self, data)\n--\n\nWrite a record using the current Unix timestamp (seconds)."
        "\n\nThe timestamp is whole seconds: a second write_now() within the same\n"
        "second replaces the first." QV_FINER_UNIT),
    method<DatasetClass, kAppendNow, X, &append_now>(
        "append_now($self, data)\n--\n\nAppend data to a record using the current Unix timestamp (seconds)."
        "\n\nThe timestamp is whole seconds: append_now() calls within the same\n"
        "second extend one record." QV_FINER_UNIT),
    method<DatasetClass, kDelete, X, &delete_record>(
        "delete($self, timestamp)\n--\n\nDelete the record at the given timestamp."),
    read_method<DatasetClass, kRead, X, &read>(
        "read($self, timestamp)\n--\n\nRead a single record by timestamp." QV_TS_ARG
        "\n\nReturns (timestamp, data), or None when there is no record." QV_BACK_FROM_LATEST("timestamp")),
    read_method_noargs<DatasetClass, X, &read_latest>(
        "read_latest", "read_latest($self)\n--\n\nRead the latest written timestamp's record without falling back."),
    read_method<DatasetClass, kReadExist, X, &read_exist>(
        "read_exist($self, timestamp)\n--\n\nCheck if index entry exists for a timestamp." QV_TS_ARG
        QV_BACK_FROM_LATEST("timestamp")),
    read_method<DatasetClass, kReadLength, X, &read_length>(
        "read_length($self, timestamp)\n--\n\nRead the logical data length for a timestamp." QV_TS_ARG
        QV_BACK_FROM_LATEST("timestamp")),
    read_method<DatasetClass, kQuery, X, &query>(
        "query($self, start_ts, end_ts)\n--\n\nQuery records in [start_ts, end_ts], returns a lazy iterator.\n\n"
        "Yields (timestamp: int, data: bytes) tuples.\n"
        "Implements Python iterator protocol (__iter__ / __next__)." QV_RANGE_BACK),
    read_method<DatasetClass, kQueryAll, X, &query_all>(
        "query_all($self, start_ts, end_ts)\n--\n\nQuery and collect all results into a list.\n\n"
        "Convenience wrapper: equivalent to list(dataset.query(...))." QV_RANGE_BACK),
    read_method<DatasetClass, kQueryExist, X, &query_exist>(
        "query_exist($self, start_ts, end_ts)\n--\n\nCheck existence of index entries in [start_ts, end_ts].\n\n"
        "Returns a bitmap, one bit per timestamp from start_ts, least significant bit first." QV_RANGE_BACK),
    read_method<DatasetClass, kQueryLength, X, &query_length>(
        "query_length($self, start_ts, end_ts)\n--\n\n"
        "Query data lengths in [start_ts, end_ts], returns a lazy iterator.\n\n"
        "Yields (timestamp: int, data_len: int) tuples.\n"
        "Implements Python iterator protocol (__iter__ / __next__)." QV_RANGE_BACK),
    read_method<DatasetClass, kQueryLengthAll, X, &query_length_all>(
        "query_length_all($self, start_ts, end_ts)\n--\n\nQuery data lengths and collect all results into a list.\n\n"
        "Convenience wrapper: equivalent to list(dataset.query_length(...))." QV_RANGE_BACK),
    method_noargs<DatasetClass, X, &flush>("flush", "flush($self)\n--\n\nFlush pending data to disk."),
    method_noargs<DatasetClass, Borrow::Shared, &inspect>(
        "inspect", "inspect($self)\n--\n\nInspect dataset configuration and runtime state."),
    {},
};

#undef QV_TS_ARG
#undef QV_BACK_FROM_LATEST
#undef QV_RANGE_BACK
#undef QV_FINER_UNIT

using Payload = const DatasetPayload&;

PyGetSetDef kProperties[] = {
    property<DatasetClass, [](Payload p) { return to_py(p.data_dir); }>("data_dir",
                                                                              "Base directory of this dataset."),
    property<DatasetClass, [](Payload p) { return p.id; }>("id", "Internal dataset ID (used for queue operations)."),
    property<DatasetClass, [](Payload p) { return p.handle.identifier(); }>(
        "identifier", "Store-assigned numeric dataset identifier."),
    property<DatasetClass, [](Payload p) { return p.handle.latest_timestamp(); }>(
        "latest_timestamp", "Latest successfully written timestamp (None if the dataset is empty)."),
    {},
};

}  // namespace

PyResult<PyRef> new_dataset_object(quelvane::Dataset handle, std::uint64_t id, bool read_only) {
  std::string dir = text::lossy_utf8(handle.dir_path().native());
  return wrap<DatasetClass>(DatasetPayload{std::move(dir), std::move(handle), id, read_only});
}

ClassMembers DatasetClass::members() {
  return {
      .methods = kMethods,
      .properties = kProperties,
      .repr = &slot_entry<DatasetClass, Borrow::Shared, &repr>,
  };
}

}  // namespace quelvane::python
