// PyErr: an exception a body returns instead of a result, raised by the entry guard once the body
// has finished. Either a class with a message, made into an exception object only when raised, or
// an exception object the interpreter already made (fetched from a failing C-API call).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "boundary/ref.h"
#include "py.h"

namespace quelvane::python {

namespace exceptions {
enum class Exc : std::uint8_t;
}

class PyErr {
 public:
  // A class the interpreter owns for the whole process (PyExc_TypeError, ...).
  static PyErr builtin(PyObject* cls, std::string message);
  // One of the module's exception classes (made when the module was executed).
  static PyErr module_class(exceptions::Exc cls, std::string message);
  // The interpreter's current exception, taken out of the error indicator.
  static PyErr fetch();

  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;

  // Sets the interpreter's error indicator: MemoryError when the message cannot be made.
  void raise() &&;

  // The failure of converting parameter `param`: an exception of exactly TypeError gets the
  // "argument '<param>': " prefix; any other passes unchanged.
  PyErr for_argument(std::string_view param) &&;

 private:
  PyErr() = default;

  PyObject* builtin_ = nullptr;  // borrowed: lives as long as the process
  int module_class_ = -1;        // an exceptions::Exc when >= 0
  std::string message_;
  PyRef ready_;
};

template <class T>
using PyResult = std::expected<T, PyErr>;
using PyStatus = PyResult<void>;

inline std::unexpected<PyErr> type_error(std::string message) {
  return std::unexpected(PyErr::builtin(PyExc_TypeError, std::move(message)));
}
inline std::unexpected<PyErr> value_error(std::string message) {
  return std::unexpected(PyErr::builtin(PyExc_ValueError, std::move(message)));
}
inline std::unexpected<PyErr> runtime_error(std::string message) {
  return std::unexpected(PyErr::builtin(PyExc_RuntimeError, std::move(message)));
}
inline std::unexpected<PyErr> overflow_error(std::string message) {
  return std::unexpected(PyErr::builtin(PyExc_OverflowError, std::move(message)));
}
// The exception a failing C-API call left set.
inline std::unexpected<PyErr> fetched() { return std::unexpected(PyErr::fetch()); }

// "'<type qualname>' object cannot be converted to '<expected>'", or for None
// "'None' is not an instance of '<expected>'".
std::string mismatch_text(PyObject* obj, std::string_view expected);
inline std::unexpected<PyErr> type_mismatch(PyObject* obj, std::string_view expected) {
  return type_error(mismatch_text(obj, expected));
}

// The UTF-8 text of str(obj); a placeholder when str() fails (its error is cleared).
std::string str_of(PyObject* obj);
// Takes the interpreter's current exception out and returns its str() (for the text of an
// internal failure).
std::string take_error_text();
// The __qualname__ of obj's type.
std::string type_qualname(PyObject* obj);

// A str made from text that may hold bytes that are not UTF-8 (messages of the operating system
// or of a path): those become U+FFFD. Null when the interpreter is out of memory.
PyRef lossy_str(std::string_view text);

// Sets MemoryError in place of whatever is set: the floor under every failure to raise, and an
// allocation that failed in a body (std::bad_alloc). Needs no memory of its own.
void raise_no_memory() noexcept;

}  // namespace quelvane::python

// Propagates the PyErr of a PyResult expression; yields its value otherwise.
#define QV_PY_TRY(...)                                                    \
  ({                                                                      \
    auto&& qv_py_try_result_ = (__VA_ARGS__);                             \
    if (!qv_py_try_result_) [[unlikely]]                                  \
      return ::std::unexpected<::quelvane::python::PyErr>(                \
          ::std::move(qv_py_try_result_).error());                        \
    ::std::move(qv_py_try_result_).value();                               \
  })
