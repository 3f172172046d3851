#include "record_objects.h"

#include "boundary/pyerr.h"
#include "error.h"
#include "util/text.h"

namespace quelvane::python {

RecordObjects::RecordObjects(Into into) : into_(into) {
  if (into_ == Into::List) {
    result_ = PyRef::steal(PyList_New(0));
    if (!result_) failure_ = take_error_text();
  }
}

RecordVisitor RecordObjects::visitor() {
  return [this](const RecordView& view) { return add(view); };
}

bool RecordObjects::add(const RecordView& view) {
  if (!failure_.empty()) return false;
  PyObject* ts = PyLong_FromLongLong(view.timestamp);
  PyObject* data = ts == nullptr ? nullptr
                                 : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view.data.data()),
                                                             static_cast<Py_ssize_t>(view.data.size()));
  PyRef tuple = PyRef::steal(data == nullptr ? nullptr : PyTuple_New(2));
  if (!tuple) {
    Py_XDECREF(ts);  // ints and bytes have no finalisers: releasing them runs no Python code
    Py_XDECREF(data);
    failure_ = take_error_text();
    return false;
  }
  PyTuple_SetItem(tuple.get(), 0, ts);  // steals; cannot fail on a fresh tuple
  PyTuple_SetItem(tuple.get(), 1, data);
  if (into_ == Into::One) {
    result_ = std::move(tuple);
    return true;
  }
  if (PyList_Append(result_.get(), tuple.get()) < 0) {
    failure_ = take_error_text();
    return false;
  }
  return true;
}

PyRef RecordObjects::take() {
  if (!failure_.empty()) {
    result_.reset();
    internal_failure(text::cat("could not create a Python record (", failure_, ")"));
  }
  return std::move(result_);
}

}  // namespace quelvane::python
