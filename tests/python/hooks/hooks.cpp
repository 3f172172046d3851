// _quelvane_hooks: a test-only module that drives the call boundary directly, so its matching,
// conversions, borrows, panics and deferred releases are tested before any class of the module
// needs them. It links its own copy of the boundary, so its exception classes are distinct
// objects from quelvane's (same names); tests compare them by name. Retained drives the core
// where the module cannot: a dataset with a retention window, reclaimed on demand.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "boundary/entry.h"
#include "exceptions.h"
#include "inspect.h"
#include "dataset.h"
#include "segment/mod.h"
#include "store/store.h"

namespace quelvane::python::hooks {

namespace {

struct ProbePayload {
  std::int64_t value = 0;
};

}  // namespace

struct ProbeClass {
  static constexpr std::string_view name = "Probe";
  using Payload = ProbePayload;
  static ClassMembers members();
};

namespace {

using Self = Object<ProbeClass>;

// --- matching ------------------------------------------------------------------------------

constexpr Signature<2> kTwo{"Probe", "two", {"a", "b"}};
constexpr Signature<3> kThree{"Probe", "three", {"x", "y", "z"}};
constexpr Signature<3> kRanged{"Probe", "ranged", {"a", "b", "c"}, 1};
constexpr Signature<1, 2> kKeywords{"Probe", "keywords", {"a"}, 1, {"k", "m"}};

using Any = std::optional<PyRef>;

// The values as matched and converted, None for those not given.
template <class... A>
PyResult<std::vector<Any>> given(A&&... values) {
  std::vector<Any> out;
  (out.emplace_back(std::move(values)), ...);
  return out;
}
PyResult<std::vector<Any>> two(Self&, PyRef a, PyRef b) { return given(std::move(a), std::move(b)); }
PyResult<std::vector<Any>> three(Self&, PyRef x, PyRef y, PyRef z) {
  return given(std::move(x), std::move(y), std::move(z));
}
PyResult<std::vector<Any>> ranged(Self&, PyRef a, Any b, Any c) {
  return given(std::move(a), std::move(b), std::move(c));
}
PyResult<std::vector<Any>> keywords(Self&, PyRef a, Any k, Any m) {
  return given(std::move(a), std::move(k), std::move(m));
}

// --- conversions: each echoes its converted value ------------------------------------------

template <class T>
PyResult<T> echo(Self&, T value) {
  return value;
}
PyResult<std::int64_t> echo_probe(Self&, Borrowed<ProbeClass> other) { return other.obj->payload.value; }
PyResult<std::string> echo_omitted(Self&, Omittable<bool> flag) {
  if (!flag) return std::string("omitted");
  return std::string(*flag ? "true" : "false");
}

constexpr Signature<1> kI64{"Probe", "i64", {"value"}};
constexpr Signature<1> kU64{"Probe", "u64", {"value"}};
constexpr Signature<1> kU8{"Probe", "u8", {"value"}};
constexpr Signature<1> kU16{"Probe", "u16", {"value"}};
constexpr Signature<1> kBool{"Probe", "boolean", {"value"}};
constexpr Signature<1> kStr{"Probe", "text", {"value"}};
constexpr Signature<1> kBytes{"Probe", "data", {"value"}};
constexpr Signature<1> kProbe{"Probe", "probe", {"value"}};
constexpr Signature<1> kOptional{"Probe", "optional_u64", {"value"}, 0};
constexpr Signature<1> kOmitted{"Probe", "omitted", {"value"}, 0};
constexpr Signature<1> kAny{"Probe", "any", {"value"}};

// --- borrows -------------------------------------------------------------------------------

PyResult<PyRef> call(const PyRef& fn) {
  PyRef result = PyRef::steal(PyObject_CallNoArgs(fn.get()));
  if (!result) return fetched();
  return result;
}
PyResult<PyRef> with_borrow(Self&, PyRef fn) { return call(fn); }
PyResult<std::uint64_t> exclusive_u64(Self&, std::uint64_t value) { return value; }

constexpr Signature<1> kExclusive{"Probe", "exclusive", {"callback"}};
constexpr Signature<1> kShared{"Probe", "shared", {"callback"}};
constexpr Signature<1> kExclusiveU64{"Probe", "exclusive_u64", {"value"}};

// --- class methods: objects, failures, threads ---------------------------------------------

constexpr Signature<1> kMake{"Probe", "make", {"value"}};
PyResult<PyRef> make(PyTypeObject*, std::int64_t value) { return wrap<ProbeClass>(ProbePayload{value}); }

constexpr Signature<1> kPanic{"Probe", "panic", {"message"}};
PyResult<void> panic(PyTypeObject*, std::string message) { throw InternalFailure(message); }
PyResult<void> panic_foreign(PyTypeObject*) { throw 42; }

Error error_of_kind(std::uint8_t kind, std::string m) {
  switch (static_cast<ErrorKind>(kind)) {
    case ErrorKind::Io: return Error::io(std::move(m));
    case ErrorKind::InvalidMagic: return Error::invalid_magic();
    case ErrorKind::UnsupportedVersion: return Error::unsupported_version(7);
    case ErrorKind::Mmap: return Error::mmap(std::move(m));
    case ErrorKind::Compression: return Error::compression(std::move(m));
    case ErrorKind::Decompression: return Error::decompression(std::move(m));
    case ErrorKind::InvalidData: return Error::invalid_data(std::move(m));
    case ErrorKind::NotFound: return Error::not_found(std::move(m));
    case ErrorKind::Expired: return Error::expired(std::move(m));
    case ErrorKind::AlreadyExists: return Error::already_exists(std::move(m));
    case ErrorKind::SegmentFull: return Error::segment_full();
    case ErrorKind::QueueAlreadyOpen: return Error::queue_already_open(std::move(m));
    case ErrorKind::QueueNotOpen: return Error::queue_not_open(std::move(m));
    case ErrorKind::ConsumerGroupNotFound: return Error::consumer_group_not_found(std::move(m));
    case ErrorKind::ConsumerGroupExists: return Error::consumer_group_exists(std::move(m));
    case ErrorKind::QueueClosed: return Error::queue_closed(std::move(m));
    case ErrorKind::PendingFull: return Error::pending_full(std::move(m));
  }
  return Error::os(kind);
}

constexpr Signature<2> kRaiseKind{"Probe", "raise_kind", {"kind", "message"}};
PyResult<void> raise_kind(PyTypeObject*, std::uint8_t kind, std::string message) {
  if (kind > 16) return std::unexpected(into_pyerr(Error::os(2)));
  return std::unexpected(into_pyerr(error_of_kind(kind, std::move(message))));
}
PyResult<void> raise_not_exception(PyTypeObject*) {
  return std::unexpected(PyErr::builtin(reinterpret_cast<PyObject*>(&PyLong_Type), "not raised"));
}
PyResult<void> raise_lossy(PyTypeObject*) { return value_error("bad \xff byte"); }

constexpr Signature<1> kReleaseOnThread{"Probe", "release_on_thread", {"obj"}};
// The reference is dropped on a thread that never attached, so it waits for the next entry.
PyResult<void> release_on_thread(PyTypeObject*, PyRef obj) {
  std::thread([held = obj.release()] { release_py(held); }).join();
  return {};
}

constexpr Signature<1> kCallOnThread{"Probe", "call_on_thread", {"callback"}};
// A thread the interpreter did not start attaches itself to call Python, while the caller has
// given up the interpreter lock to wait for it.
PyResult<void> call_on_thread(PyTypeObject*, PyRef fn) {
  std::thread worker([&fn] {
    AttachedGil attached;
    PyObject* result = PyObject_CallNoArgs(fn.get());
    if (result == nullptr) PyErr_WriteUnraisable(nullptr);
    Py_XDECREF(result);
  });
  ReleasedGil released;
  worker.join();
  return {};
}

constexpr Signature<1> kEnterDetached{"Probe", "enter_detached", {"callback"}};
// Marks the thread as one that must not enter the module, then calls back into it.
PyResult<PyRef> enter_detached(PyTypeObject*, PyRef fn) {
  const long saved = std::exchange(gil_count(), -1);
  auto result = call(fn);
  gil_count() = saved;
  return result;
}

PyResult<void> noop(PyTypeObject*) { return {}; }

// A class that cannot be made: its one method has conflicting call flags.
struct BrokenClass {
  static constexpr std::string_view name = "Broken";
  using Payload = ProbePayload;
  static ClassMembers members();
};
PyObject* never_called(PyObject*, PyObject*) { return nullptr; }
PyMethodDef kBrokenMethods[] = {{"bad", &never_called, METH_NOARGS | METH_O, nullptr}, {}};
// An execution step that failed to make the class leaves it missing where a call needs it: an
// internal failure naming only the class, with the interpreter's reason for the failure dropped.
PyResult<void> use_broken_class(PyTypeObject*) {
  (void)make_class<BrokenClass>();
  type_object<BrokenClass>();
  return {};
}

constexpr Signature<1> kRegisterInto{"Probe", "register_into", {"module"}};
PyResult<void> register_into(PyTypeObject*, PyRef module) { return register_class<ProbeClass>(module.get()); }

constexpr Signature<1> kLongList{"Probe", "int_list", {"count"}};
PyResult<std::vector<std::uint64_t>> int_list(PyTypeObject*, std::uint64_t count) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t i = 0; i < count; ++i) out.push_back(i * i);
  return out;
}

// A consumer group's inspection record in states a test cannot easily bring a group to (an entry
// done at the retry limit), for the record classes' tests.
PyResult<PyRef> sample_consumer_inspect(PyTypeObject*) {
  DatasetQueueConsumerInspectResult r;
  r.info = {"g1", 900, 3};
  r.state.processed_ts = 41;
  r.state.pending_entries = {{42, 1700000000, DatasetQueueConsumerPendingEntry::kPending, 2},
                             {44, 0, DatasetQueueConsumerPendingEntry::kDone, 255}};
  return wrap<DatasetQueueConsumerInspectResultClass>(std::move(r));
}

PyMethodDef kMethods[] = {
    method<ProbeClass, kTwo, Borrow::Shared, &two>("two($self, a, b)\n--\n\n"),
    method<ProbeClass, kThree, Borrow::Shared, &three>("three($self, x, y, z)\n--\n\n"),
    method<ProbeClass, kRanged, Borrow::Shared, &ranged>("ranged($self, a, b=None, c=None)\n--\n\n"),
    method<ProbeClass, kKeywords, Borrow::Shared, &keywords>("keywords($self, a, *, k=None, m=None)\n--\n\n"),
    method<ProbeClass, kI64, Borrow::Shared, &echo<std::int64_t>>("i64($self, value)\n--\n\n"),
    method<ProbeClass, kU64, Borrow::Shared, &echo<std::uint64_t>>("u64($self, value)\n--\n\n"),
    method<ProbeClass, kU8, Borrow::Shared, &echo<std::uint8_t>>("u8($self, value)\n--\n\n"),
    method<ProbeClass, kU16, Borrow::Shared, &echo<std::uint16_t>>("u16($self, value)\n--\n\n"),
    method<ProbeClass, kBool, Borrow::Shared, &echo<bool>>("boolean($self, value)\n--\n\n"),
    method<ProbeClass, kStr, Borrow::Shared, &echo<std::string>>("text($self, value)\n--\n\n"),
    method<ProbeClass, kBytes, Borrow::Shared, &echo<ByteBuffer>>("data($self, value)\n--\n\n"),
    method<ProbeClass, kProbe, Borrow::Shared, &echo_probe>("probe($self, value)\n--\n\n"),
    method<ProbeClass, kOptional, Borrow::Shared, &echo<std::optional<std::uint64_t>>>(
        "optional_u64($self, value=None)\n--\n\n"),
    method<ProbeClass, kOmitted, Borrow::Shared, &echo_omitted>("omitted($self, value=False)\n--\n\n"),
    method<ProbeClass, kAny, Borrow::Shared, &echo<PyRef>>("any($self, value)\n--\n\n"),
    method<ProbeClass, kExclusive, Borrow::Exclusive, &with_borrow>("exclusive($self, callback)\n--\n\n"),
    method<ProbeClass, kShared, Borrow::Shared, &with_borrow>("shared($self, callback)\n--\n\n"),
    method<ProbeClass, kExclusiveU64, Borrow::Exclusive, &exclusive_u64>("exclusive_u64($self, value)\n--\n\n"),
    class_method<kMake, &make>("make($cls, value)\n--\n\n"),
    class_method<kPanic, &panic>("panic($cls, message)\n--\n\n"),
    class_method_noargs<&panic_foreign>("panic_foreign", "panic_foreign($cls)\n--\n\n"),
    class_method<kRaiseKind, &raise_kind>("raise_kind($cls, kind, message)\n--\n\n"),
    class_method_noargs<&raise_not_exception>("raise_not_exception", "raise_not_exception($cls)\n--\n\n"),
    class_method_noargs<&raise_lossy>("raise_lossy", "raise_lossy($cls)\n--\n\n"),
    class_method<kReleaseOnThread, &release_on_thread>("release_on_thread($cls, obj)\n--\n\n"),
    class_method<kCallOnThread, &call_on_thread>("call_on_thread($cls, callback)\n--\n\n"),
    class_method<kEnterDetached, &enter_detached>("enter_detached($cls, callback)\n--\n\n"),
    class_method_noargs<&noop>("noop", "noop($cls)\n--\n\n"),
    class_method_noargs<&use_broken_class>("use_broken_class", "use_broken_class($cls)\n--\n\n"),
    class_method<kRegisterInto, &register_into>("register_into($cls, module)\n--\n\n"),
    class_method<kLongList, &int_list>("int_list($cls, count)\n--\n\n"),
    class_method_noargs<&sample_consumer_inspect>("sample_consumer_inspect", "sample_consumer_inspect($cls)\n--\n\n"),
    {},
};

PyGetSetDef kProperties[] = {
    property<ProbeClass, [](const ProbePayload& p) { return p.value; }>("value"),
    {},
};

}  // namespace

ClassMembers BrokenClass::members() { return {.methods = kBrokenMethods}; }

// --- Retained: one dataset with a retention window, in a store of its own --------------------

struct RetainedPayload {
  std::unique_ptr<Store> store;  // null once closed
  std::optional<Dataset> dataset;
};

struct RetainedClass {
  static constexpr std::string_view name = "Retained";
  using Payload = RetainedPayload;
  static ClassMembers members();
};

namespace {

using Retained = Object<RetainedClass>;

PyResult<Dataset*> retained_dataset(Retained& self) {
  if (!self.payload.dataset) return runtime_error("Retained is closed");
  return &*self.payload.dataset;
}

Result<Dataset> open_or_create_retained(Store& store, std::uint64_t window) {
  auto opened = store.open_dataset("retained", "r");
  if (opened || opened.error().kind() != ErrorKind::NotFound || store.read_only()) return opened;
  const StoreConfig& c = store.config();
  DataSetConfigBuilder options(false);
  options.data_segment_size = c.data_segment_size;
  options.initial_data_segment_size = c.initial_data_segment_size;
  options.index_segment_size = c.index_segment_size;
  options.initial_index_segment_size = c.initial_index_segment_size;
  options.retention_window = window;
  return store.create_dataset("retained", "r", options);
}

constexpr Signature<5> kRetainedOpen{
    "Retained", "open", {"data_dir", "retention_window", "data_segment_size", "index_segment_size", "read_only"}};
// Opens the store and its dataset retained/r; a writable store creates it with the window when
// it is missing.
PyResult<PyRef> retained_open(PyTypeObject*, std::string data_dir, std::uint64_t window,
                              std::uint64_t data_segment_size, std::uint64_t index_segment_size, bool read_only) {
  StoreConfigBuilder config;
  config.read_only = read_only;
  config.enable_background_thread = false;
  config.enable_journal = false;
  config.data_segment_size = data_segment_size;
  config.initial_data_segment_size = std::min<std::uint64_t>(4096, data_segment_size);
  config.index_segment_size = index_segment_size;
  config.initial_index_segment_size = index_segment_size;
  RetainedPayload p;
  p.store = QV_PY_TRY(from_core(Store::open(fs::Path(data_dir), config.build())));
  p.dataset.emplace(QV_PY_TRY(from_core(open_or_create_retained(*p.store, window))));
  return wrap<RetainedClass>(std::move(p));
}

constexpr Signature<2> kRetainedWrite{"Retained", "write", {"timestamp", "data"}};
PyResult<void> retained_write(Retained& self, std::int64_t ts, ByteBuffer data) {
  Dataset* ds = QV_PY_TRY(retained_dataset(self));
  return from_core(ds->write(ts, data));
}

PyResult<std::uint64_t> retained_reclaim(Retained& self) {
  Dataset* ds = QV_PY_TRY(retained_dataset(self));
  return from_core(ds->reclaim_expired());
}

PyResult<void> retained_flush(Retained& self) {
  Dataset* ds = QV_PY_TRY(retained_dataset(self));
  return from_core(ds->flush());
}

PyResult<std::optional<std::int64_t>> retained_latest(Retained& self) {
  Dataset* ds = QV_PY_TRY(retained_dataset(self));
  return ds->latest_timestamp();
}

// [record count, data size, uncompressed size, invalid record count] as inspect() gives them.
PyResult<std::vector<std::uint64_t>> retained_totals(Retained& self) {
  Dataset* ds = QV_PY_TRY(retained_dataset(self));
  const DataSetState st = QV_PY_TRY(from_core(ds->inspect())).state;
  return std::vector<std::uint64_t>{st.total_record_count, st.total_data_size, st.total_uncompressed_size,
                                    st.total_invalid_record_count};
}

// The same four totals summed over the headers of the data segment files there are, read by a
// scan of their own: what inspect() must report.
PyResult<std::vector<std::uint64_t>> retained_file_totals(Retained& self) {
  Dataset* ds = QV_PY_TRY(retained_dataset(self));
  fs::Path dir;
  meta::Meta m;
  {
    auto g = QV_PY_TRY(from_core(ds->lock()));
    dir = g->dir;
    m = g->meta;
  }
  const DataSegments files = QV_PY_TRY(from_core(DataSegments::open(
      dir, m.data_segment_size, m.initial_data_segment_size, m.compress_level, m.compress_type)));
  std::vector<std::uint64_t> sums(4, 0);
  for (const auto& [offset, slot] : files.slots()) {
    const SegmentStats s = slot.stats();
    sums[0] += s.record_count;
    sums[1] += s.data_size;
    sums[2] += s.uncompressed_size;
    sums[3] += s.invalid_record_count;
  }
  return sums;
}

// The records the index names from the oldest timestamp the data segments left hold, those below
// the retention threshold included (records are written in order). Index segments are reclaimed
// on their own, so the oldest records of the first data segment may no longer be named.
PyResult<std::vector<std::pair<std::int64_t, ByteBuffer>>> retained_records(Retained& self) {
  Dataset* ds = QV_PY_TRY(retained_dataset(self));
  // The window is set aside for the one query and put back on every path.
  struct WindowAside {
    Dataset& ds;
    std::uint64_t window;
    ~WindowAside() {
      if (auto g = ds.lock()) (*g)->retention_window = window;
    }
  };
  std::uint64_t window = 0;
  std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
  {
    auto g = QV_PY_TRY(from_core(ds->lock()));
    window = std::exchange(g->retention_window, 0);
    for (const auto& [offset, slot] : g->segments.slots()) oldest = std::min(oldest, slot.stats().min_ts);
  }
  WindowAside aside{*ds, window};
  return from_core(ds->query_all(oldest, std::numeric_limits<std::int64_t>::max()));
}

PyResult<void> retained_close(Retained& self) {
  RetainedPayload& p = self.payload;
  if (!p.dataset) return {};
  Status closed = p.dataset->close();
  p.dataset.reset();
  if (p.store) (void)p.store->close_journal();
  p.store.reset();
  return from_core(std::move(closed));
}

PyMethodDef kRetainedMethods[] = {
    class_method<kRetainedOpen, &retained_open>(
        "open($cls, data_dir, retention_window, data_segment_size, index_segment_size, read_only)\n--\n\n"),
    method<RetainedClass, kRetainedWrite, Borrow::Exclusive, &retained_write>("write($self, timestamp, data)\n--\n\n"),
    method_noargs<RetainedClass, Borrow::Exclusive, &retained_reclaim>("reclaim", "reclaim($self)\n--\n\n"),
    method_noargs<RetainedClass, Borrow::Exclusive, &retained_flush>("flush", "flush($self)\n--\n\n"),
    method_noargs<RetainedClass, Borrow::Shared, &retained_latest>("latest", "latest($self)\n--\n\n"),
    method_noargs<RetainedClass, Borrow::Shared, &retained_totals>("totals", "totals($self)\n--\n\n"),
    method_noargs<RetainedClass, Borrow::Shared, &retained_file_totals>("file_totals", "file_totals($self)\n--\n\n"),
    method_noargs<RetainedClass, Borrow::Shared, &retained_records>("records", "records($self)\n--\n\n"),
    method_noargs<RetainedClass, Borrow::Exclusive, &retained_close>("close", "close($self)\n--\n\n"),
    {},
};

}  // namespace

ClassMembers RetainedClass::members() {
  return {.doc = "A dataset with a retention window, driven through the core.", .methods = kRetainedMethods};
}

ClassMembers ProbeClass::members() {
  return {.doc = "A probe of the call boundary.", .methods = kMethods, .properties = kProperties};
}

namespace {

int hooks_exec(PyObject* module) noexcept {
  return guard_status([&]() -> PyStatus {
    // As the module's own execution step does: every class a call may need is made here.
    QV_PY_TRY(exceptions::make_classes());
    QV_PY_TRY(make_class<DatasetQueueConsumerInspectResultClass>());
    QV_PY_TRY(make_class<DatasetQueueConsumerInfoClass>());
    QV_PY_TRY(make_class<DatasetQueueConsumerStateClass>());
    QV_PY_TRY(make_class<DatasetQueueConsumerPendingEntryClass>());
    QV_PY_TRY(register_class<ProbeClass>(module));
    return register_class<RetainedClass>(module);
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&hooks_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_quelvane_hooks", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quelvane::python::hooks

PyMODINIT_FUNC PyInit__quelvane_hooks() { return PyModuleDef_Init(&quelvane::python::hooks::kModule); }
