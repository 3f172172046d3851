// The module's classes: object layout, borrow flags, class objects, type checks and wrapping.
//
// A class is a struct naming its payload and its members:
//
//   struct DatasetClass {
//     static constexpr std::string_view name = "Dataset";   // created as "builtins.Dataset"
//     using Payload = DatasetPayload;                        // the native value each object owns
//     static ClassMembers members();                         // doc, method and property tables
//   };
//
// Its objects are PyObject_HEAD, the payload, and the borrow flag. The payload's destructor is its
// release (a moved-from payload must release nothing); its move constructor must not throw.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "boundary/convert.h"
#include "boundary/gil.h"
#include "boundary/guard.h"
#include "boundary/pyerr.h"
#include "boundary/ref.h"
#include "error.h"
#include "py.h"

namespace quelvane::python {

template <class Cls>
struct Object {
  PyObject_HEAD
  typename Cls::Payload payload;
  // 0 free, n > 0 shared n times, -1 exclusively borrowed.
  std::atomic<std::intptr_t> borrow;

  static Object* from(PyObject* obj) { return reinterpret_cast<Object*>(obj); }
  PyObject* py() { return reinterpret_cast<PyObject*>(this); }
};

// The members a class adds to the slots every class has (deallocation, size, flags). The tables
// are static arrays beside the functions they name: the class object keeps pointers into them.
struct ClassMembers {
  const char* doc = nullptr;            // null: __doc__ is None
  PyMethodDef* methods = nullptr;       // null-terminated
  PyGetSetDef* properties = nullptr;    // null-terminated
  newfunc tp_new = nullptr;             // null: Python cannot instantiate the class
  reprfunc repr = nullptr;
  getiterfunc iter = nullptr;
  iternextfunc iternext = nullptr;
};

// --- borrows -------------------------------------------------------------------------------

enum class Borrow { None, Shared, Exclusive };

// Held for the rest of the call; released on every path.
class BorrowGuard {
 public:
  BorrowGuard() = default;
  static PyResult<BorrowGuard> shared(std::atomic<std::intptr_t>& flag);
  static PyResult<BorrowGuard> exclusive(std::atomic<std::intptr_t>& flag);

  BorrowGuard(BorrowGuard&& other) noexcept
      : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_) {}
  BorrowGuard& operator=(BorrowGuard&&) = delete;
  BorrowGuard(const BorrowGuard&) = delete;
  ~BorrowGuard();

 private:
  BorrowGuard(std::atomic<std::intptr_t>* flag, bool exclusive) : flag_(flag), exclusive_(exclusive) {}
  std::atomic<std::intptr_t>* flag_ = nullptr;
  bool exclusive_ = false;
};

template <Borrow B, class Cls>
PyResult<BorrowGuard> take_borrow(Object<Cls>& obj) {
  if constexpr (B == Borrow::Shared)
    return BorrowGuard::shared(obj.borrow);
  else if constexpr (B == Borrow::Exclusive)
    return BorrowGuard::exclusive(obj.borrow);
  else
    return BorrowGuard{};
}

// --- class objects -------------------------------------------------------------------------

struct ClassDef {
  std::string_view name;
  Py_ssize_t basic_size;
  destructor dealloc;
  ClassMembers members;
};

// A new class object from its definition (PyType_FromSpec), or the interpreter's failure.
PyResult<PyRef> create_class(const ClassDef& def);

template <class Cls>
void dealloc_entry(PyObject* self);

// The class object of each class, made once per process when the module is executed and kept for
// the rest of it. Never emptied, never destroyed: no static destructor may touch the interpreter.
template <class Cls>
inline std::atomic<PyObject*> class_cell{nullptr};

// Makes the class object unless it exists. Only the module's execution step makes classes: a call
// never does, so none meets a failure of the interpreter's type machinery without memory.
template <class Cls>
PyResult<PyTypeObject*> make_class() {
  std::atomic<PyObject*>& cell = class_cell<Cls>;
  if (PyObject* made = cell.load(std::memory_order_acquire)) return reinterpret_cast<PyTypeObject*>(made);
  static_assert(alignof(Object<Cls>) <= 16, "the interpreter's allocator aligns objects to 16 bytes");
  static_assert(std::is_nothrow_move_constructible_v<typename Cls::Payload>);
  PyRef fresh = QV_PY_TRY(create_class({Cls::name, static_cast<Py_ssize_t>(sizeof(Object<Cls>)),
                                        &dealloc_entry<Cls>, Cls::members()}));
  // Two threads may both get here (making a class can run Python code); the first one stored
  // is the class, the other is discarded.
  PyObject* expected = nullptr;
  if (cell.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire))
    return reinterpret_cast<PyTypeObject*>(fresh.release());
  return reinterpret_cast<PyTypeObject*>(expected);
}

[[noreturn]] void class_creation_failed(std::string_view name);

// The class object where it must exist: the module's execution made it, so an empty cell is an
// internal failure.
template <class Cls>
PyTypeObject* type_object() {
  PyObject* made = class_cell<Cls>.load(std::memory_order_acquire);
  if (made == nullptr) class_creation_failed(Cls::name);
  return reinterpret_cast<PyTypeObject*>(made);
}

// --- type checks and wrapping --------------------------------------------------------------

template <class Cls>
PyResult<Object<Cls>*> check_type(PyObject* obj) {
  PyTypeObject* cls = type_object<Cls>();
  if (Py_TYPE(obj) == cls || PyType_IsSubtype(Py_TYPE(obj), cls)) return Object<Cls>::from(obj);
  return type_mismatch(obj, Cls::name);
}

// An argument that must be an object of a module class; borrowed for the call.
template <class Cls>
struct Borrowed {
  Object<Cls>* obj;
};

template <class Cls>
struct FromPy<Borrowed<Cls>> {
  static PyResult<Borrowed<Cls>> convert(PyObject* obj) {
    Object<Cls>* typed = QV_PY_TRY(check_type<Cls>(obj));
    return Borrowed<Cls>{typed};
  }
};

// A new, empty object of `cls` from the base object type's tp_new.
PyResult<PyRef> allocate_object(PyTypeObject* cls);

// A new object of `cls` owning `payload`. When it cannot be made the payload is released as the
// object's deallocation would release it.
template <class Cls>
PyResult<PyRef> wrap_as(PyTypeObject* cls, typename Cls::Payload payload) {
  PyRef obj = QV_PY_TRY(allocate_object(cls));
  Object<Cls>* typed = Object<Cls>::from(obj.get());
  std::construct_at(&typed->payload, std::move(payload));
  std::construct_at(&typed->borrow, 0);
  return obj;
}

template <class Cls>
PyResult<PyRef> wrap(typename Cls::Payload payload) {
  return wrap_as<Cls>(type_object<Cls>(), std::move(payload));
}

template <class Cls>
void dealloc_entry(PyObject* self) {
  guard_dealloc([&] {
    Object<Cls>* obj = Object<Cls>::from(self);
    std::destroy_at(&obj->payload);
    std::destroy_at(&obj->borrow);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    // Every object of a heap type holds a reference to its class.
    Py_DECREF(type);
  });
}

// --- module attributes ---------------------------------------------------------------------

// Appends `name` to the module's __all__ (creating the list when the module has none), then sets
// the attribute.
PyStatus add_name(PyObject* module, std::string_view name, PyObject* value);

// Makes the class unless it exists and adds it to the module under its name.
template <class Cls>
PyStatus register_class(PyObject* module) {
  PyTypeObject* cls = QV_PY_TRY(make_class<Cls>());
  return add_name(module, Cls::name, reinterpret_cast<PyObject*>(cls));
}

}  // namespace quelvane::python
