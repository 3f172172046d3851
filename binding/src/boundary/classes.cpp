#include "boundary/classes.h"

#include <memory>
#include <string>
#include <vector>

#include "util/text.h"

namespace quelvane::python {

PyResult<BorrowGuard> BorrowGuard::shared(std::atomic<std::intptr_t>& flag) {
  std::intptr_t current = flag.load(std::memory_order_relaxed);
  do {
    if (current == -1) return runtime_error("Already mutably borrowed");
  } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
  return BorrowGuard(&flag, false);
}

PyResult<BorrowGuard> BorrowGuard::exclusive(std::atomic<std::intptr_t>& flag) {
  std::intptr_t expected = 0;
  if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed))
    return runtime_error("Already borrowed");
  return BorrowGuard(&flag, true);
}

BorrowGuard::~BorrowGuard() {
  if (flag_ == nullptr) return;
  if (exclusive_)
    flag_->store(0, std::memory_order_release);
  else
    flag_->fetch_sub(1, std::memory_order_release);
}

PyResult<PyRef> create_class(const ClassDef& def) {
  // The PyType_Spec and its slots are kept for the rest of the process, like the class made from
  // them; a class that could not be made lets go of them.
  auto name = std::make_unique<std::string>(text::cat("builtins.", def.name));
  auto slots = std::make_unique<std::vector<PyType_Slot>>();
  const ClassMembers& m = def.members;
  slots->push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)});
  if (m.doc != nullptr && *m.doc != '\0') slots->push_back({Py_tp_doc, const_cast<char*>(m.doc)});
  if (m.methods != nullptr && m.methods[0].ml_name != nullptr) slots->push_back({Py_tp_methods, m.methods});
  if (m.properties != nullptr && m.properties[0].name != nullptr) slots->push_back({Py_tp_getset, m.properties});
  if (m.tp_new != nullptr) slots->push_back({Py_tp_new, reinterpret_cast<void*>(m.tp_new)});
  if (m.repr != nullptr) slots->push_back({Py_tp_repr, reinterpret_cast<void*>(m.repr)});
  if (m.iter != nullptr) slots->push_back({Py_tp_iter, reinterpret_cast<void*>(m.iter)});
  if (m.iternext != nullptr) slots->push_back({Py_tp_iternext, reinterpret_cast<void*>(m.iternext)});
  slots->push_back({0, nullptr});
  // Neither subclassable, nor collected, nor with a __dict__ or weak references.
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (m.tp_new == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  auto spec = std::make_unique<PyType_Spec>(
      PyType_Spec{name->c_str(), static_cast<int>(def.basic_size), 0, flags, slots->data()});
  PyObject* cls = PyType_FromSpec(spec.get());
  if (cls == nullptr) return fetched();
  (void)name.release();
  (void)slots.release();
  (void)spec.release();
  return PyRef::steal(cls);
}

void class_creation_failed(std::string_view name) {
  internal_failure(text::cat("failed to create type object for `", name, "`"));
}

PyResult<PyRef> allocate_object(PyTypeObject* cls) {
  auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  if (base_new == nullptr) return type_error("base type without tp_new");
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!no_args) return fetched();
  PyObject* obj = base_new(cls, no_args.get(), nullptr);
  if (obj == nullptr) return fetched();
  return PyRef::steal(obj);
}

PyStatus add_name(PyObject* module, std::string_view name, PyObject* value) {
  PyRef key = QV_PY_TRY(to_py(name));
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetched();
    PyErr_Clear();
    all = QV_PY_TRY(checked_result(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fetched();
  }
  if (!PyList_Check(all.get())) return type_mismatch(all.get(), "list");
  if (PyList_Append(all.get(), key.get()) < 0) {
    // A list that cannot grow is out of memory, which is the import's MemoryError.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return fetched();
    const std::string why = take_error_text();
    internal_failure(text::cat("could not append __name__ to __all__ (", why, ")"));
  }
  if (PyObject_SetAttr(module, key.get(), value) < 0) return fetched();
  return {};
}

}  // namespace quelvane::python
