#include "record_objects.h"

#include <utility>

namespace quelvane::python {

RecordObjects::RecordObjects(Into into) : into_(into) {
  if (into_ == Into::List) {
    result_ = PyRef::steal(PyList_New(0));
    if (!result_) stop(PyErr::fetch());
  }
}

RecordVisitor RecordObjects::visitor() {
  return [this](const RecordView& view) { return add(view); };
}

bool RecordObjects::stop(PyErr failure) {
  failure_.emplace(std::move(failure));
  return false;
}

bool RecordObjects::add(const RecordView& view) {
  if (failure_) return false;
  PyObject* ts = PyLong_FromLongLong(view.timestamp);
  PyObject* data = ts == nullptr ? nullptr
                                 : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view.data.data()),
                                                             static_cast<Py_ssize_t>(view.data.size()));
  PyRef tuple = PyRef::steal(data == nullptr ? nullptr : PyTuple_New(2));
  if (!tuple) {
    // Taken before the releases: releasing must not meet an exception set.
    PyErr failure = PyErr::fetch();
    Py_XDECREF(ts);  // ints and bytes have no finalisers: releasing them runs no Python code
    Py_XDECREF(data);
    return stop(std::move(failure));
  }
  PyTuple_SetItem(tuple.get(), 0, ts);  // steals; cannot fail on a fresh tuple
  PyTuple_SetItem(tuple.get(), 1, data);
  if (into_ == Into::One) {
    result_ = std::move(tuple);
    return true;
  }
  if (PyList_Append(result_.get(), tuple.get()) < 0) return stop(PyErr::fetch());
  return true;
}

PyResult<PyRef> RecordObjects::take() {
  if (failure_) {
    result_.reset();
    return std::unexpected(std::move(*failure_));
  }
  return std::move(result_);
}

}  // namespace quelvane::python
