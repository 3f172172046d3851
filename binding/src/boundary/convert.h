// Argument conversions (Python object to native value) and result conversions (native value to a
// new Python object).
//
// A parameter's C++ type names its conversion:
//   std::int64_t            anything PyLong_AsLong accepts
//   std::uint64_t           an int, or anything else through __index__
//   std::uint8_t/uint16_t   PyLong_AsLong, then a range check
//   bool                    exactly True or False (or numpy's bool); an int is refused
//   std::string             a str, as UTF-8
//   ByteBuffer              bytes-like data: bytes, bytearray, or a sequence of ints 0..255
//   PyRef                   any object, as a new reference
//   Borrowed<Class>         an object of a module class (classes.h)
//   std::optional<T>        None (or not given) is empty, anything else converts as T
//   Omittable<T>            not given is empty, anything given converts as T (None included)
// A failed conversion of exactly TypeError names the parameter: "argument 'x': ...".
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "boundary/pyerr.h"
#include "boundary/ref.h"
#include "error.h"
#include "py.h"

namespace quelvane::python {

using ByteBuffer = std::vector<std::uint8_t>;

// A parameter with a default other than None: empty when the caller left it out.
template <class T>
struct Omittable : std::optional<T> {
  using std::optional<T>::optional;
};

// One specialisation per accepted type; `obj` is never null.
template <class T>
struct FromPy;

template <>
struct FromPy<std::int64_t> {
  static PyResult<std::int64_t> convert(PyObject* obj);
};
template <>
struct FromPy<std::uint64_t> {
  static PyResult<std::uint64_t> convert(PyObject* obj);
};
template <>
struct FromPy<std::uint8_t> {
  static PyResult<std::uint8_t> convert(PyObject* obj);
};
template <>
struct FromPy<std::uint16_t> {
  static PyResult<std::uint16_t> convert(PyObject* obj);
};
template <>
struct FromPy<bool> {
  static PyResult<bool> convert(PyObject* obj);
};
template <>
struct FromPy<std::string> {
  static PyResult<std::string> convert(PyObject* obj);
};
template <>
struct FromPy<ByteBuffer> {
  static PyResult<ByteBuffer> convert(PyObject* obj);
};
template <>
struct FromPy<PyRef> {
  static PyResult<PyRef> convert(PyObject* obj) { return PyRef::borrow(obj); }
};

template <class T>
inline constexpr bool is_std_optional = false;
template <class T>
inline constexpr bool is_std_optional<std::optional<T>> = true;
template <class T>
inline constexpr bool is_omittable = false;
template <class T>
inline constexpr bool is_omittable<Omittable<T>> = true;

// The value of one matched slot (null: the argument was not given) for parameter `param`.
template <class T>
PyResult<T> convert_arg(PyObject* slot, std::string_view param) {
  if constexpr (is_omittable<T>) {
    if (slot == nullptr) return T{};
    auto inner = convert_arg<typename T::value_type>(slot, param);
    if (!inner) return std::unexpected(std::move(inner).error());
    return T{std::move(*inner)};
  } else if constexpr (is_std_optional<T>) {
    if (slot == nullptr || slot == Py_None) return T{};
    auto inner = convert_arg<typename T::value_type>(slot, param);
    if (!inner) return std::unexpected(std::move(inner).error());
    return T{std::move(*inner)};
  } else {
    // Matching fills every required slot; an empty one here is a parameter without a default
    // that the description marks optional.
    QV_ASSERT(slot != nullptr, "a parameter without a default was not given");
    auto value = FromPy<T>::convert(slot);
    if (!value) return std::unexpected(std::move(value).error().for_argument(param));
    return value;
  }
}

// Result conversions. An object the interpreter could not make is raised as what it raised (a
// MemoryError when it ran out of memory), never as an internal failure.
PyResult<PyRef> checked_result(PyObject* made);

inline PyResult<PyRef> to_py(const PyRef& obj) { return PyRef::borrow(obj.get()); }
inline PyResult<PyRef> to_py(bool v) { return PyRef::borrow(v ? Py_True : Py_False); }
template <std::signed_integral T>
PyResult<PyRef> to_py(T v) {
  return checked_result(PyLong_FromLong(static_cast<long>(v)));
}
template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>)
PyResult<PyRef> to_py(T v) {
  if constexpr (sizeof(T) == sizeof(std::uint64_t))
    return checked_result(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
  else
    return checked_result(PyLong_FromLong(static_cast<long>(v)));
}
// Text, from its UTF-8 bytes.
PyResult<PyRef> to_py(std::string_view text);
inline PyResult<PyRef> to_py(const std::string& text) { return to_py(std::string_view(text)); }
inline PyResult<PyRef> to_py(const char* text) { return to_py(std::string_view(text)); }
// A byte string.
PyResult<PyRef> to_py(const ByteBuffer& bytes);
inline PyResult<PyRef> to_py(std::nullopt_t) { return PyRef::borrow(Py_None); }

template <class T>
PyResult<PyRef> to_py(const std::optional<T>& v);
template <class A, class B>
PyResult<PyRef> to_py(const std::pair<A, B>& pair);
template <class T>
  requires(!std::same_as<T, std::uint8_t>)
PyResult<PyRef> to_py(const std::vector<T>& items);

template <class T>
PyResult<PyRef> to_py(const std::optional<T>& v) {
  if (!v) return PyRef::borrow(Py_None);
  return to_py(*v);
}

template <class A, class B>
PyResult<PyRef> to_py(const std::pair<A, B>& pair) {
  PyRef first = QV_PY_TRY(to_py(pair.first));
  PyRef second = QV_PY_TRY(to_py(pair.second));
  PyRef tuple = QV_PY_TRY(checked_result(PyTuple_New(2)));
  PyTuple_SetItem(tuple.get(), 0, first.release());  // steals, cannot fail on a fresh tuple
  PyTuple_SetItem(tuple.get(), 1, second.release());
  return tuple;
}

// A list of exactly the items' count, filled in order; the first element that cannot be made
// releases the list and is the failure.
template <class T>
  requires(!std::same_as<T, std::uint8_t>)
PyResult<PyRef> to_py(const std::vector<T>& items) {
  PyRef list = QV_PY_TRY(checked_result(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyRef item = QV_PY_TRY(to_py(items[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

template <class T>
inline constexpr bool is_py_result = false;
template <class T>
inline constexpr bool is_py_result<PyResult<T>> = true;

// Maps a body's result to the object returned to Python: a PyRef as it is, nothing as None, any
// other value through to_py.
template <class R>
PyResult<PyRef> result_to_py(R&& r) {
  using V = std::remove_cvref_t<R>;
  if constexpr (is_py_result<V>) {
    if (!r) return std::unexpected(std::move(r).error());
    using T = typename V::value_type;
    if constexpr (std::is_void_v<T>)
      return PyRef::borrow(Py_None);
    else if constexpr (std::same_as<T, PyRef>)
      return std::move(*r);
    else
      return to_py(*r);
  } else {
    return to_py(r);
  }
}

}  // namespace quelvane::python
