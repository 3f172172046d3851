#include "store.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "boundary/entry.h"
#include "boundary/gil.h"
#include "dataset_class.h"
#include "exceptions.h"
#include "inspect.h"
#include "queue.h"
#include "store_config.h"
#include "util/text.h"

namespace quelvane::python {

namespace {

// A directory, dataset name or dataset type: a NUL inside would cut the text short at the
// system call, so it is refused before anything touches the disk.
struct NulFree {
  std::string text;
};

}  // namespace

template <>
struct FromPy<NulFree> {
  static PyResult<NulFree> convert(PyObject* obj) {
    std::string text = QV_PY_TRY(FromPy<std::string>::convert(obj));
    if (text.find('\0') != std::string::npos) return value_error("embedded null byte");
    return NulFree{std::move(text)};
  }
};

namespace {

using Self = Object<StoreClass>;

// The open stores, each under its object (no reference: a store leaves when it is closed or
// freed), for the exit handler to close. Only touched under the interpreter lock; never
// destroyed, since a static destructor would run after the interpreter is gone.
std::vector<Self*>& open_stores() {
  static auto* stores = new std::vector<Self*>;
  return *stores;
}

void forget_open_store(const StorePayload& payload) {
  std::erase_if(open_stores(), [&](Self* s) { return &s->payload == &payload; });
}

}  // namespace

StorePayload::StorePayload(std::unique_ptr<quelvane::Store> store) : core(std::move(store)), opened_by(::getpid()) {}

StorePayload::~StorePayload() {
  forget_open_store(*this);
  if (!core) return;
  if (opened_by != ::getpid()) {
    // A forked child: the parent's worker thread does not exist here, and a flush or close would
    // write under the parent's feet. The memory goes with the process.
    (void)core.release();
    (void)new (std::nothrow) std::unordered_map<std::uint64_t, quelvane::Dataset>(std::move(tracked_datasets));
    return;
  }
  // Nothing may leave a destructor: a flush that runs out of memory is given up like one that fails.
  for (auto& [id, ds] : tracked_datasets) {
    try {
      (void)ds.flush();
    } catch (...) {
    }
  }
  tracked_datasets.clear();
  core.reset();
}

PyResult<quelvane::Store*> open_core(StorePayload& store) {
  if (!store.core) return runtime_error("Store is closed");
  return store.core.get();
}

namespace {

// Whole milliseconds, rounded down (saturating far beyond any real delay).
std::uint64_t millis(const Duration& d) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (d.secs > (kMax - 999) / 1000) return kMax;
  return d.secs * 1000 + d.nanos / 1'000'000;
}

// The common tail of the three ways to get a dataset: a new object under a new id.
PyResult<PyRef> hand_out(Self& self, const quelvane::Store& core, Dataset handle) {
  const std::uint64_t id = self.payload.next_dataset_id;
  PyRef obj = QV_PY_TRY(new_dataset_object(handle, id, core.read_only()));
  self.payload.tracked_datasets.emplace(id, std::move(handle));
  self.payload.next_dataset_id = id + 1;
  return obj;
}

constexpr Signature<0> kNew{"Store", "__new__", {}};

// Store(): a closed store. (Written out: it has no parameter to convert.)
PyObject* construct(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return guard_object([&]() -> PyResult<PyRef> {
    std::array<PyObject*, 0> slots{};
    QV_PY_TRY(match_tuple_dict(kNew.view(), args, kwargs, slots));
    return wrap_as<StoreClass>(cls, StorePayload{});
  });
}

PyResult<PyRef> open(PyTypeObject* /*cls*/, NulFree data_dir, std::optional<Borrowed<StoreConfigClass>> config) {
  quelvane::StoreConfig record{};
  if (config) {
    BorrowGuard borrow = QV_PY_TRY(BorrowGuard::shared(config->obj->borrow));
    record = config->obj->payload;
  }
  std::unique_ptr<quelvane::Store> core =
      QV_PY_TRY(from_core(quelvane::Store::open(fs::Path(std::move(data_dir.text)), std::move(record))));
  PyRef store = QV_PY_TRY(wrap<StoreClass>(StorePayload(std::move(core))));
  Self* object = QV_PY_TRY(check_type<StoreClass>(store.get()));
  open_stores().push_back(object);
  return store;
}

PyResult<PyRef> enter(Self& self) { return PyRef::borrow(self.py()); }

// Every flush and close error is discarded; the map is emptied before "already closed" is
// raised, so a closed store is left as it was.
PyStatus close_store(StorePayload& p) {
  forget_open_store(p);
  for (auto& [id, ds] : p.tracked_datasets) {
    (void)ds.flush();
    (void)ds.close();
  }
  p.tracked_datasets.clear();
  std::unique_ptr<quelvane::Store> core = std::move(p.core);
  if (!core) return runtime_error("Store is already closed");
  (void)core->close_journal();
  core.reset();
  return {};
}

// ---- a normal interpreter exit ----

// Run by the interpreter's atexit on the thread that finalises, before it frees anything: every
// store this process opened and still has open is closed as close() closes it, whatever keeps it
// alive (a wake callback whose globals hold its consumer forms a cycle the collector cannot see),
// so that what an acknowledgement promised is kept. Daemon threads may still be inside calls on
// it: their polls end with the closed error, as with a close() from another thread. A store
// borrowed by a call that is running Python code right now is left to its teardown.
//
// Closing a store lets go of its consumers' wake callbacks, and a callback may hold the last
// reference to that store or to another one on the list (the very cycles this handler is for).
// So every store is held until the handler ends, each close defers what it lets go of to its own
// end as a method's close does, and the stores are let go of only once every one is closed.
//
// What a close lets go of may also open a store (a callback's __del__), which the walk it ran in
// never saw; so the list is taken again after each walk, until a walk finds no store it has not
// already met. A program whose every such store opens another would keep that going for ever:
// after kExitCloseWalks walks the stores opened by the last one are left to their teardown.
constexpr int kExitCloseWalks = 16;

PyObject* at_exit(PyObject* /*module*/, PyObject* /*unused*/) {
  return guard_object([]() -> PyResult<PyRef> {
    mark_finalising_thread();
    std::vector<PyRef> held;
    const auto met = [&](Self* store) {
      return std::ranges::any_of(held, [&](const PyRef& ref) { return ref.get() == store->py(); });
    };
    for (int walk = 0; walk < kExitCloseWalks; ++walk) {
      const std::size_t walked = held.size();
      for (Self* store : open_stores()) {
        // One whose count already reached 0 is being freed; its teardown is under way. One met
        // before was borrowed by a running call then, and is left to its teardown as well.
        if (store->payload.opened_by != ::getpid() || Py_REFCNT(store->py()) == 0 || met(store)) continue;
        held.push_back(PyRef::borrow(store->py()));
      }
      if (held.size() == walked) break;
      for (std::size_t i = walked; i < held.size(); ++i) {
        Self& store = *Self::from(held[i].get());
        auto borrow = BorrowGuard::exclusive(store.borrow);
        if (!borrow) continue;
        (void)entry_detail::deferring_wakes([&] { return close_store(store.payload); });
      }
    }
    return PyRef::borrow(Py_None);
  });
}

PyMethodDef kAtExit = {"_quelvane_at_exit", &at_exit, METH_NOARGS, nullptr};

}  // namespace

// Registered when the module is imported, ahead of any exit function a program registers once
// it has the module: atexit runs the last registered first, so those still find their stores
// open (a last write, a close of their own) and this one closes what they left open.
static bool g_exit_handler_registered = false;

PyStatus register_exit_handler() {
  if (g_exit_handler_registered) return {};
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return fetched();
  PyRef handler = PyRef::steal(PyCFunction_NewEx(&kAtExit, nullptr, nullptr));
  if (!handler) return fetched();
  PyRef registered = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", handler.get()));
  if (!registered) return fetched();
  g_exit_handler_registered = true;
  return {};
}

namespace {

PyStatus close(Self& self) { return close_store(self.payload); }

PyStatus exit(Self& self, PyRef /*exc_type*/, PyRef /*exc_val*/, PyRef /*exc_tb*/) {
  return close_store(self.payload);
}

// The store's sizes and compression, no retention, a sparse index and no journal, with each
// given keyword over them. The store's own enable_journal is not a dataset's.
PyResult<PyRef> create_dataset(Self& self, NulFree name, NulFree dataset_type, std::optional<std::uint64_t> data_segment_size,
                               std::optional<std::uint64_t> index_segment_size, std::optional<std::uint8_t> compress_level,
                               Omittable<bool> index_continuous, std::optional<std::uint64_t> initial_data_segment_size,
                               std::optional<std::uint64_t> initial_index_segment_size, Omittable<bool> enable_journal) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  const quelvane::StoreConfig& config = core->config();
  DataSetConfigBuilder options(enable_journal.value_or(false));
  options.data_segment_size = data_segment_size.value_or(config.data_segment_size);
  options.index_segment_size = index_segment_size.value_or(config.index_segment_size);
  options.initial_data_segment_size = initial_data_segment_size.value_or(config.initial_data_segment_size);
  options.initial_index_segment_size = initial_index_segment_size.value_or(config.initial_index_segment_size);
  options.compress_type = config.compress_type;
  options.retention_window = 0;
  options.set_compress_level(compress_level.value_or(config.compress_level));
  options.set_index_continuous(index_continuous.value_or(false));
  Dataset ds = QV_PY_TRY(from_core(core->create_dataset(name.text, dataset_type.text, options)));
  return hand_out(self, *core, std::move(ds));
}

PyResult<PyRef> open_dataset(Self& self, NulFree name, NulFree dataset_type) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  Dataset ds = QV_PY_TRY(from_core(core->open_dataset(name.text, dataset_type.text)));
  return hand_out(self, *core, std::move(ds));
}

PyResult<PyRef> open_dataset_by_identifier(Self& self, std::uint64_t identifier) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  Dataset ds = QV_PY_TRY(from_core(core->open_dataset_by_identifier(identifier)));
  return hand_out(self, *core, std::move(ds));
}

// No closed check: a closed store tracks no dataset, so every id misses.
PyResult<PyRef> open_queue(Self& self, std::uint64_t dataset_id) {
  auto tracked = self.payload.tracked_datasets.find(dataset_id);
  if (tracked == self.payload.tracked_datasets.end())
    return value_error(text::cat("dataset_id ", dataset_id, " not found"));
  quelvane::DatasetQueue queue = QV_PY_TRY(from_core(quelvane::DatasetQueue::open(tracked->second)));
  return wrap<DatasetQueueClass>(std::move(queue));
}

PyResult<std::optional<std::int64_t>> journal_latest_sequence(Self& self) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  return from_core(core->journal_latest_sequence());
}

PyResult<std::optional<JournalRecordData>> journal_read(Self& self, std::int64_t sequence) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  return from_core(core->journal_read(sequence));
}

PyResult<std::vector<JournalRecordData>> journal_query(Self& self, std::int64_t start_sequence,
                                                       std::int64_t end_sequence) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  return from_core(core->journal_query(start_sequence, end_sequence));
}

PyResult<PyRef> open_journal_queue(Self& self) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  std::shared_ptr<quelvane::JournalQueue> queue = QV_PY_TRY(from_core(core->open_journal_queue()));
  return wrap<JournalQueueClass>(std::move(queue));
}

PyStatus drop_dataset(Self& self, NulFree name, NulFree dataset_type) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  return from_core(core->drop_dataset(name.text, dataset_type.text));
}

PyResult<std::pair<std::uint32_t, std::uint64_t>> tick_background_tasks(Self& self) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  const bg::Tick tick = QV_PY_TRY(from_core(core->tick_background_tasks()));
  return std::pair{tick.tasks_run, millis(tick.next_delay)};
}

PyResult<std::uint64_t> next_background_delay(Self& self) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  const Duration delay = QV_PY_TRY(from_core(core->next_background_delay()));
  return millis(delay);
}

PyResult<std::vector<std::string>> get_dataset_names(Self& self) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  return from_core(core->get_dataset_names());
}

PyResult<std::vector<std::string>> get_dataset_types(Self& self, NulFree name) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  return from_core(core->get_dataset_types(name.text));
}

PyResult<PyRef> inspect_dataset(Self& self, NulFree name, NulFree dataset_type) {
  quelvane::Store* core = QV_PY_TRY(open_core(self.payload));
  quelvane::DataSetInspectResult result = QV_PY_TRY(from_core(core->inspect_dataset(name.text, dataset_type.text)));
  return wrap<DataSetInspectResultClass>(std::move(result));
}

constexpr Signature<2> kOpen{"Store", "open", {"data_dir", "config"}, 1};
constexpr Signature<3> kExit{"Store", "__exit__", {"_exc_type", "_exc_val", "_exc_tb"}};
constexpr Signature<2, 7> kCreate{"Store",
                                  "create_dataset",
                                  {"name", "dataset_type"},
                                  2,
                                  {"data_segment_size", "index_segment_size", "compress_level", "index_continuous",
                                   "initial_data_segment_size", "initial_index_segment_size", "enable_journal"}};
constexpr Signature<2> kOpenDataset{"Store", "open_dataset", {"name", "dataset_type"}};
constexpr Signature<1> kOpenById{"Store", "open_dataset_by_identifier", {"identifier"}};
constexpr Signature<1> kOpenQueue{"Store", "open_queue", {"dataset_id"}};
constexpr Signature<1> kJournalRead{"Store", "journal_read", {"sequence"}};
constexpr Signature<2> kJournalQuery{"Store", "journal_query", {"start_sequence", "end_sequence"}};
constexpr Signature<2> kDrop{"Store", "drop_dataset", {"name", "dataset_type"}};
constexpr Signature<1> kTypes{"Store", "get_dataset_types", {"name"}};
constexpr Signature<2> kInspect{"Store", "inspect_dataset", {"name", "dataset_type"}};

constexpr auto X = Borrow::Exclusive;
constexpr auto S = Borrow::Shared;

// In the class's order; the queue methods take their places as the queue classes add them.
PyMethodDef kMethods[] = {
    class_method<kOpen, &open>(
        "open($cls, data_dir, config=None)\n--\n\nOpen or create a store at `data_dir`.\n\n"
        "Directories are created automatically if they don't exist.\n\n"
        "While another Store has the directory open for writing, a config whose\n"
        "read_only is None (the default) opens it read-only without an error: its\n"
        "writes raise RuntimeError and its creates QvanInvalidDataError. Pass\n"
        "StoreConfig(read_only=False) to be refused at once instead. A read-only\n"
        "store keeps each dataset's latest timestamp as it found it when it first\n"
        "opened that dataset; open a new Store to see what a writer added since."),
    method_noargs<StoreClass, Borrow::None, &enter>("__enter__", "__enter__($self)\n--\n\nContext manager entry."),
    method<StoreClass, kExit, X, &exit>(
        "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\nContext manager exit - calls close()."),
    method_noargs<StoreClass, X, &close>(
        "close", "close($self)\n--\n\nClose the store completely.\n\n"
                 "Closes all tracked datasets (release mmap handles) then drops the store."),
    method<StoreClass, kCreate, X, &create_dataset>(
        "create_dataset($self, name, dataset_type, *, data_segment_size=None, index_segment_size=None, "
        "compress_level=None, index_continuous=False, initial_data_segment_size=None, "
        "initial_index_segment_size=None, enable_journal=False)\n--\n\nCreate a new dataset.\n\n"
        "Options left as None take the store's configuration; compress_level is clamped to 9.\n"
        "Datasets always use zstd and keep every record (no retention window).\n\n"
        "Returns a Dataset object for read/write operations."),
    method<StoreClass, kOpenDataset, X, &open_dataset>(
        "open_dataset($self, name, dataset_type)\n--\n\nOpen an existing dataset.\n\n"
        "Returns a Dataset object for read/write operations."),
    method<StoreClass, kOpenById, X, &open_dataset_by_identifier>(
        "open_dataset_by_identifier($self, identifier)\n--\n\n"
        "Open an existing dataset by its Store-assigned numeric identifier."),
    method<StoreClass, kOpenQueue, X, &open_queue>(
        "open_queue($self, dataset_id)\n--\n\nOpen the queue subsystem for a dataset.\n\n"
        "Args:\n    dataset_id: The ID of the dataset (returned by `open_dataset().id`).\n\n"
        "Returns a DatasetQueue that supports push and consumer group operations.\n\n"
        "dataset_id is `Dataset.id`, this Store's number for the dataset (handed\n"
        "out in the order datasets are opened), never `Dataset.identifier`: an\n"
        "identifier passed here names whichever dataset has that id in this run."),
    method_noargs<StoreClass, S, &journal_latest_sequence>(
        "journal_latest_sequence",
        "journal_latest_sequence($self)\n--\n\nReturn the latest journal sequence, or None when journal is empty."),
    method<StoreClass, kJournalRead, S, &journal_read>(
        "journal_read($self, sequence)\n--\n\nRead one encoded journal record by sequence.\n\n"
        "Returns (sequence, record bytes), or None."),
    method<StoreClass, kJournalQuery, S, &journal_query>(
        "journal_query($self, start_sequence, end_sequence)\n--\n\n"
        "Query encoded journal records by inclusive sequence range."),
    method_noargs<StoreClass, X, &open_journal_queue>(
        "open_journal_queue", "open_journal_queue($self)\n--\n\nOpen the built-in journal queue."),
    method<StoreClass, kDrop, X, &drop_dataset>(
        "drop_dataset($self, name, dataset_type)\n--\n\nDelete an entire dataset.\n\n"
        "WARNING: Irreversible. All data is permanently deleted."),
    method_noargs<StoreClass, S, &tick_background_tasks>(
        "tick_background_tasks",
        "tick_background_tasks($self)\n--\n\nExecute one tick of background tasks synchronously.\n\n"
        "Checks if flush, idle-close, cache eviction, or retention reclaim are\n"
        "due and runs them immediately.  Returns `(executed, next_delay_ms)`.\n\n"
        "Can be called regardless of whether the background thread is enabled.\n"
        "When `enable_background_thread=False`, call this periodically to drive\n"
        "background logic (e.g. in an event loop)."),
    method_noargs<StoreClass, S, &next_background_delay>(
        "next_background_delay",
        "next_background_delay($self)\n--\n\n"
        "Return the delay in milliseconds until the next background task is due.\n\n"
        "Does NOT execute any tasks - reads a snapshot of the executor state.\n"
        "Useful for scheduling the next `tick_background_tasks()` call."),
    method_noargs<StoreClass, S, &get_dataset_names>(
        "get_dataset_names", "get_dataset_names($self)\n--\n\nGet all unique dataset names in the store."),
    method<StoreClass, kTypes, S, &get_dataset_types>(
        "get_dataset_types($self, name)\n--\n\nGet all dataset types for a given name."),
    method<StoreClass, kInspect, S, &inspect_dataset>(
        "inspect_dataset($self, name, dataset_type)\n--\n\nGet detailed info and state of a dataset.\n\n"
        "Returns a DataSetInspectResult containing immutable config (DataSetInfo)\n"
        "and mutable state (DataSetState)."),
    {},
};

}  // namespace

ClassMembers StoreClass::members() {
  return {
      .doc = "Store()\n--\n\n",
      .methods = kMethods,
      .tp_new = &construct,
  };
}

}  // namespace quelvane::python
