#include "exceptions.h"

#include <array>
#include <atomic>

#include "boundary/classes.h"
#include "util/text.h"

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
// cells are never emptied (no static destructor touches the interpreter).
//
// The class is made under the interpreter lock and published by compare-and-swap; a thread that
// loses the race discards its class and uses the stored one. No thread ever waits for another
// while holding the lock.
std::atomic<PyObject*> g_cells[kExcCount];
std::atomic<PyObject*> g_panic_cell{nullptr};

PyObject* fill(std::atomic<PyObject*>& cell, const char* qualified, const char* doc, PyObject* base) {
  if (PyObject* cls = cell.load(std::memory_order_acquire)) return cls;
  PyObject* made = PyErr_NewExceptionWithDoc(qualified, doc, base, nullptr);
  if (made == nullptr) {
    std::string why = take_error_text();
    internal_failure(text::cat("Failed to initialize new exception type. (", qualified, ": ", why, ")"));
  }
  PyObject* expected = nullptr;
  if (cell.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire))
    return made;
  Py_DECREF(made);
  return expected;
}

}  // namespace

PyObject* class_object(Exc cls) {
  const auto i = static_cast<std::size_t>(cls);
  if (PyObject* made = g_cells[i].load(std::memory_order_acquire)) return made;
  PyObject* base = cls == Exc::QvanError ? PyExc_Exception : class_object(Exc::QvanError);
  return fill(g_cells[i], kExceptions[i].qualified, kExceptions[i].doc, base);
}

PyObject* panic_class() {
  return fill(g_panic_cell, "quelvane.PanicException", kPanicDoc, PyExc_BaseException);
}

Exc class_for(ErrorKind kind) { return kKindToClass[static_cast<std::size_t>(kind)]; }

PyStatus add_exceptions(PyObject* module) {
  for (int i = 0; i < kExcCount; ++i)
    QV_PY_TRY(add_name(module, kExceptions[i].name, class_object(static_cast<Exc>(i))));
  return {};
}

}  // namespace exceptions

PyErr into_pyerr(Error error) {
  return PyErr::module_class(exceptions::class_for(error.kind()), error.display());
}

}  // namespace quelvane::python
