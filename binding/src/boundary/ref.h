// PyRef: the owner of one strong Python reference.
#pragma once

#include <utility>

#include "boundary/gil.h"
#include "py.h"

namespace quelvane::python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (the result of a C-API call; null stays null).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  // Through release_py, so a PyRef held by native state may die on a thread without the
  // interpreter.
  ~PyRef() { reset(); }

  PyObject* get() const { return obj_; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }
  void reset() noexcept { release_py(std::exchange(obj_, nullptr)); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace quelvane::python
