// The module: its definition, its only exported symbol, and the execution step that fills each
// new module object.
#include <cstdint>

#include "boundary/classes.h"
#include "boundary/guard.h"
#include "dataset_class.h"
#include "exceptions.h"
#include "inspect.h"
#include "py.h"
#include "query_iterator.h"
#include "queue.h"
#include "store.h"
#include "store_config.h"

namespace quelvane::python {

namespace {

using Registration = PyStatus (*)(PyObject* module);

// The classes, in the order of the module's attributes and __all__ (after the exceptions).
// QueryLengthIterator is made with them but never registered.
constexpr Registration kClasses[] = {
    &register_class<StoreClass>,
    &register_class<DataSetInfoClass>,
    &register_class<DataSetStateClass>,
    &register_class<DataSetInspectResultClass>,
    &register_class<StoreConfigClass>,
    &register_class<DatasetClass>,
    &register_class<QueryIteratorClass>,
    &register_class<DatasetQueueClass>,
    &register_class<DatasetQueueConsumerClass>,
    &register_class<DatasetQueueConsumerInfoClass>,
    &register_class<DatasetQueueConsumerPendingEntryClass>,
    &register_class<DatasetQueueConsumerStateClass>,
    &register_class<DatasetQueueConsumerInspectResultClass>,
    &register_class<JournalQueueClass>,
    &register_class<JournalQueueConsumerClass>,
};

}  // namespace

// Stops at the first failure; the names added before it stay on the module object, which the
// interpreter then discards.
PyStatus init_module(PyObject* module) {
  QV_PY_TRY(exceptions::add_exceptions(module));
  for (Registration add : kClasses) QV_PY_TRY(add(module));
  QV_PY_TRY(make_class<QueryLengthIteratorClass>());
  return register_exit_handler();
}

// The classes, the exit handler, the list of open stores and the references other threads left
// to release belong to the process, while objects and exit functions belong to each interpreter:
// a store a subinterpreter opened would be closed by the main interpreter after its own had gone.
// So only the main interpreter loads the module. The slot below refuses the isolated
// subinterpreters, but a legacy one (Py_NewInterpreter) gets as far as this step, which refuses it
// before the entry guard, whose first act is to release those references.
int module_exec(PyObject* module) {
  if (const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get()); id != 0) {
    if (id > 0) PyErr_SetString(PyExc_ImportError, "module quelvane does not support loading in subinterpreters");
    return -1;
  }
  return guard_status([&]() -> PyStatus {
    if (module == nullptr) return fetched();
    if (!PyModule_Check(module)) return type_mismatch(module, "module");
    return init_module(module);
  });
}

namespace {

PyModuleDef_Slot kSlots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

// No per-module state: the classes live in process-wide cells, so a re-import gets the same
// class objects.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quelvane",
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quelvane::python

PyMODINIT_FUNC PyInit_quelvane() { return PyModuleDef_Init(&quelvane::python::kModule); }
