#include "exceptions.h"

#include <array>
#include <atomic>

#include "boundary/classes.h"

namespace quelvane::python {

namespace exceptions {

namespace {

struct ExcDef {
  const char* name;
  const char* qualified;  // "quelvane.<name>", so __module__ reads "quelvane"
  const char* doc;
};

constexpr std::array<ExcDef, kExcCount> kExceptions = {{
    {"QvanError", "quelvane.QvanError", "Base exception for all quelvane errors."},
    {"QvanIoError", "quelvane.QvanIoError", "I/O error (file not found, permission denied, etc.)."},
    {"QvanNotFoundError", "quelvane.QvanNotFoundError", "Dataset, segment, or handle not found."},
    {"QvanAlreadyExistsError", "quelvane.QvanAlreadyExistsError", "Dataset already exists."},
    {"QvanInvalidDataError", "quelvane.QvanInvalidDataError",
     "Invalid data: bad timestamp, out-of-order, duplicate, corrupt block."},
    {"QvanSegmentFullError", "quelvane.QvanSegmentFullError", "Segment file is full (expansion needed)."},
    {"QvanMmapError", "quelvane.QvanMmapError", "Memory-mapping error."},
    {"QvanCompressionError", "quelvane.QvanCompressionError", "Compression failure."},
    {"QvanDecompressionError", "quelvane.QvanDecompressionError", "Decompression failure."},
    {"QvanExpiredError", "quelvane.QvanExpiredError", "Timestamp is outside the retention window."},
    {"QvanQueueAlreadyOpenError", "quelvane.QvanQueueAlreadyOpenError", "Queue is already open for this dataset."},
    {"QvanQueueNotOpenError", "quelvane.QvanQueueNotOpenError", "Queue is not open for this dataset."},
    {"QvanConsumerGroupNotFoundError", "quelvane.QvanConsumerGroupNotFoundError", "Consumer group not found."},
    {"QvanConsumerGroupExistsError", "quelvane.QvanConsumerGroupExistsError", "Consumer group already exists."},
    {"QvanQueueClosedError", "quelvane.QvanQueueClosedError", "Queue has been closed."},
    {"QvanPendingFullError", "quelvane.QvanPendingFullError", "Consumer group pending list is full."},
}};

// Indexed by the error kind's number.
constexpr std::array<Exc, kErrorKindCount> kKindToClass = {
    Exc::QvanIoError,                     // Io
    Exc::QvanInvalidDataError,            // InvalidMagic
    Exc::QvanInvalidDataError,            // UnsupportedVersion
    Exc::QvanMmapError,                   // Mmap
    Exc::QvanCompressionError,            // Compression
    Exc::QvanDecompressionError,          // Decompression
    Exc::QvanInvalidDataError,            // InvalidData
    Exc::QvanNotFoundError,               // NotFound
    Exc::QvanExpiredError,                // Expired
    Exc::QvanAlreadyExistsError,          // AlreadyExists
    Exc::QvanSegmentFullError,            // SegmentFull
    Exc::QvanQueueAlreadyOpenError,       // QueueAlreadyOpen
    Exc::QvanQueueNotOpenError,           // QueueNotOpen
    Exc::QvanConsumerGroupNotFoundError,  // ConsumerGroupNotFound
    Exc::QvanConsumerGroupExistsError,    // ConsumerGroupExists
    Exc::QvanQueueClosedError,            // QueueClosed
    Exc::QvanPendingFullError,            // PendingFull
};

constexpr const char* kPanicDoc =
    "Raised when quelvane's native code meets an internal failure (a broken invariant, not bad "
    "input). It derives from BaseException, so `except Exception` does not catch it.";

// One cell per class for the whole process: every module object gets the same classes, and the
// cells are never emptied (no static destructor touches the interpreter). They are filled when
// the module is executed, so raising one inside a call needs no new class: only its message.
//
// The class is made under the interpreter lock and published by compare-and-swap; a thread that
// loses the race discards its class and uses the stored one. No thread ever waits for another
// while holding the lock.
std::atomic<PyObject*> g_cells[kExcCount];
std::atomic<PyObject*> g_panic_cell{nullptr};

PyResult<PyObject*> fill(std::atomic<PyObject*>& cell, const char* qualified, const char* doc, PyObject* base) {
  if (PyObject* cls = cell.load(std::memory_order_acquire)) return cls;
  PyObject* made = PyErr_NewExceptionWithDoc(qualified, doc, base, nullptr);
  if (made == nullptr) return fetched();
  PyObject* expected = nullptr;
  if (cell.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire))
    return made;
  Py_DECREF(made);
  return expected;
}

}  // namespace

PyStatus make_classes() {
  // PanicException first: every later failure of the execution step may need it.
  QV_PY_TRY(fill(g_panic_cell, "quelvane.PanicException", kPanicDoc, PyExc_BaseException));
  PyObject* base = QV_PY_TRY(fill(g_cells[0], kExceptions[0].qualified, kExceptions[0].doc, PyExc_Exception));
  for (std::size_t i = 1; i < kExceptions.size(); ++i)
    QV_PY_TRY(fill(g_cells[i], kExceptions[i].qualified, kExceptions[i].doc, base));
  return {};
}

PyObject* class_object(Exc cls) { return g_cells[static_cast<std::size_t>(cls)].load(std::memory_order_acquire); }

PyObject* panic_class() { return g_panic_cell.load(std::memory_order_acquire); }

Exc class_for(ErrorKind kind) { return kKindToClass[static_cast<std::size_t>(kind)]; }

PyStatus add_exceptions(PyObject* module) {
  QV_PY_TRY(make_classes());
  for (int i = 0; i < kExcCount; ++i)
    QV_PY_TRY(add_name(module, kExceptions[i].name, class_object(static_cast<Exc>(i))));
  return {};
}

}  // namespace exceptions

PyErr into_pyerr(Error error) {
  return PyErr::module_class(exceptions::class_for(error.kind()), error.display());
}

}  // namespace quelvane::python
