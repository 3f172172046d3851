#include "boundary/pyerr.h"

#include "error.h"
#include "exceptions.h"
#include "util/text.h"

namespace quelvane::python {

PyErr PyErr::builtin(PyObject* cls, std::string message) {
  PyErr e;
  e.builtin_ = cls;
  e.message_ = std::move(message);
  return e;
}

PyErr PyErr::module_class(exceptions::Exc cls, std::string message) {
  PyErr e;
  e.module_class_ = static_cast<int>(cls);
  e.message_ = std::move(message);
  return e;
}

PyErr PyErr::fetch() {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr)
    return builtin(PyExc_SystemError, "attempted to fetch exception but none was set");
  PyErr e;
  e.ready_ = PyRef::steal(exc);
  return e;
}

void PyErr::raise() && {
  if (ready_) {
    PyErr_SetRaisedException(ready_.release());
    return;
  }
  PyObject* cls = module_class_ >= 0 ? exceptions::class_object(static_cast<exceptions::Exc>(module_class_))
                                     : builtin_;
  if (cls == nullptr) {
    // The module's execution failed before it made its classes (for want of memory).
    raise_no_memory();
    return;
  }
  if (!PyType_Check(cls) ||
      (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(cls)) & Py_TPFLAGS_BASE_EXC_SUBCLASS) == 0) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  PyRef arg = lossy_str(message_);
  if (!arg) {
    // Decoding with replacement fails only for want of memory.
    raise_no_memory();
    return;
  }
  PyErr_SetObject(cls, arg.get());
}

PyErr PyErr::for_argument(std::string_view param) && {
  if (!ready_) {
    if (builtin_ == PyExc_TypeError) message_ = text::cat("argument '", param, "': ", message_);
    return std::move(*this);
  }
  if (!Py_IS_TYPE(ready_.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) return std::move(*this);
  PyRef text = lossy_str(text::cat("argument '", param, "': ", str_of(ready_.get())));
  if (!text) return fetch();
  PyRef wrapped = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!wrapped) return fetch();
  // SetCause takes over the reference GetCause returned (null means no cause).
  PyException_SetCause(wrapped.get(), PyException_GetCause(ready_.get()));
  PyErr e;
  e.ready_ = std::move(wrapped);
  return e;
}

std::string str_of(PyObject* obj) {
  PyRef s = PyRef::steal(PyObject_Str(obj));
  if (s) {
    Py_ssize_t len = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &len)) return std::string(utf8, static_cast<std::size_t>(len));
  }
  PyErr_Clear();
  return "<exception str() failed>";
}

std::string take_error_text() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return "no exception was set";
  return str_of(exc.get());
}

std::string type_qualname(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name) {
    Py_ssize_t len = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &len)) return std::string(utf8, static_cast<std::size_t>(len));
  }
  PyErr_Clear();
  return "<unknown>";
}

std::string mismatch_text(PyObject* obj, std::string_view expected) {
  if (obj == Py_None) return text::cat("'None' is not an instance of '", expected, "'");
  return text::cat("'", type_qualname(obj), "' object cannot be converted to '", expected, "'");
}

void raise_no_memory() noexcept {
  PyErr_Clear();
  // The interpreter raises a MemoryError it keeps for this when it cannot make a new one.
  (void)PyErr_NoMemory();
}

PyRef lossy_str(std::string_view text) {
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace quelvane::python
