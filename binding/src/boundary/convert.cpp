#include "boundary/convert.h"

#include <algorithm>
#include <limits>

#include "util/text.h"

namespace quelvane::python {

namespace {

PyResult<long> as_long(PyObject* obj) {
  const long v = PyLong_AsLong(obj);
  // -1 is both a value and the error marker.
  if (v == -1 && PyErr_Occurred() != nullptr) return fetched();
  return v;
}

template <class T>
PyResult<T> narrow_unsigned(PyObject* obj) {
  const long v = QV_PY_TRY(as_long(obj));
  if (v < 0 || static_cast<unsigned long>(v) > std::numeric_limits<T>::max())
    return overflow_error("out of range integral type conversion attempted");
  return static_cast<T>(v);
}

// numpy's bool scalar, recognised without importing numpy ("bool_" before numpy 2, "bool" since).
bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyRef name = PyRef::steal(PyType_GetName(type));
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!name || !module) {
    PyErr_Clear();
    return false;
  }
  auto text = [](PyObject* s) -> std::string_view {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &len) : nullptr;
    if (utf8 == nullptr) {
      PyErr_Clear();
      return {};
    }
    return {utf8, static_cast<std::size_t>(len)};
  };
  const std::string_view n = text(name.get());
  return text(module.get()) == "numpy" && (n == "bool_" || n == "bool");
}

}  // namespace

PyResult<std::int64_t> FromPy<std::int64_t>::convert(PyObject* obj) { return as_long(obj); }

PyResult<std::uint64_t> FromPy<std::uint64_t>::convert(PyObject* obj) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    // Not an int: through __index__, so a float is refused with the interpreter's usual text.
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return fetched();
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return fetched();
  return static_cast<std::uint64_t>(v);
}

PyResult<std::uint8_t> FromPy<std::uint8_t>::convert(PyObject* obj) { return narrow_unsigned<std::uint8_t>(obj); }

PyResult<std::uint16_t> FromPy<std::uint16_t>::convert(PyObject* obj) {
  return narrow_unsigned<std::uint16_t>(obj);
}

PyResult<bool> FromPy<bool>::convert(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return fetched();
    return truth == 1;
  }
  return type_mismatch(obj, "bool");
}

PyResult<std::string> FromPy<std::string>::convert(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return type_mismatch(obj, "str");
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return fetched();
  return std::string(utf8, static_cast<std::size_t>(len));
}

PyResult<ByteBuffer> FromPy<ByteBuffer>::convert(PyObject* obj) {
  if (PyUnicode_Check(obj)) return type_error("Can't extract `str` to `Vec`");
  // Copied, never viewed: Python code may run during the call and resize a bytearray.
  if (PyBytes_Check(obj)) {
    const char* data = PyBytes_AsString(obj);
    const Py_ssize_t len = PyBytes_Size(obj);
    if (data == nullptr || len < 0) return fetched();
    return ByteBuffer(data, data + len);
  }
  if (PyByteArray_Check(obj)) {
    const char* data = PyByteArray_AsString(obj);
    const Py_ssize_t len = PyByteArray_Size(obj);
    if (data == nullptr || len < 0) return fetched();
    return ByteBuffer(data, data + len);
  }
  if (!PySequence_Check(obj)) return type_mismatch(obj, "Sequence");
  const Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) return fetched();
  ByteBuffer out;
  // A sequence may claim any length; its items still convert one at a time.
  out.reserve(std::min<std::size_t>(static_cast<std::size_t>(len), std::size_t{1} << 20));
  for (Py_ssize_t i = 0; i < len; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return fetched();
    out.push_back(QV_PY_TRY(FromPy<std::uint8_t>::convert(item.get())));
  }
  return out;
}

PyResult<PyRef> checked_result(PyObject* made) {
  if (made == nullptr) return fetched();
  return PyRef::steal(made);
}

PyResult<PyRef> to_py(std::string_view text) {
  return checked_result(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyResult<PyRef> to_py(const ByteBuffer& bytes) {
  return checked_result(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
}

}  // namespace quelvane::python
