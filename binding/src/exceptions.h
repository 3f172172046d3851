// The module's exception classes, the class each core error kind is raised as, and PanicException,
// the class under which an internal failure reaches Python.
#pragma once

#include <cstdint>
#include <string_view>

#include "boundary/pyerr.h"
#include "error.h"
#include "py.h"

namespace quelvane::python {

namespace exceptions {

// In the order the module adds them.
enum class Exc : std::uint8_t {
  QvanError,
  QvanIoError,
  QvanNotFoundError,
  QvanAlreadyExistsError,
  QvanInvalidDataError,
  QvanSegmentFullError,
  QvanMmapError,
  QvanCompressionError,
  QvanDecompressionError,
  QvanExpiredError,
  QvanQueueAlreadyOpenError,
  QvanQueueNotOpenError,
  QvanConsumerGroupNotFoundError,
  QvanConsumerGroupExistsError,
  QvanQueueClosedError,
  QvanPendingFullError,
};
inline constexpr int kExcCount = 16;

// Makes PanicException and the sixteen classes, those that do not exist yet; run by the module's
// execution step, before any call can raise one.
PyStatus make_classes();

// The class (borrowed; it lives for the rest of the process), or null before make_classes made
// it.
PyObject* class_object(Exc cls);
PyObject* panic_class();

// The class a core error of this kind is raised as.
Exc class_for(ErrorKind kind);

// Makes the classes, then adds the sixteen to the module and to its __all__, in order.
PyStatus add_exceptions(PyObject* module);

}  // namespace exceptions

// A core error as the exception of its kind, with the error's display text as the message.
PyErr into_pyerr(Error error);

template <class T>
PyResult<T> from_core(Result<T> r) {
  if (!r) return std::unexpected(into_pyerr(std::move(r).error()));
  if constexpr (std::is_void_v<T>)
    return {};
  else
    return std::move(r).value();
}

}  // namespace quelvane::python
