// Python objects made straight from records read in place (RecordView), while the dataset's lock
// is held: no copy of a record's data exists besides the bytes object made from it.
//
// Making them runs no Python code: the cyclic collector is paused for the read (a collection
// could run finalisers, which could let another thread in to wait for the same lock while it
// holds the interpreter), and nothing is released. A failure to make an object (a MemoryError)
// stops the read; that exception is raised once the read has returned and the lock is released,
// never a part of the result.
#pragma once

#include <optional>

#include "boundary/pyerr.h"
#include "boundary/ref.h"
#include "dataset.h"
#include "py.h"

namespace quelvane::python {

// The collector paused for a scope, then restored to what it was.
class GcPaused {
 public:
  GcPaused() noexcept : was_enabled_(PyGC_Disable()) {}
  ~GcPaused() {
    if (was_enabled_ == 1) PyGC_Enable();
  }
  GcPaused(const GcPaused&) = delete;
  GcPaused& operator=(const GcPaused&) = delete;

 private:
  int was_enabled_;
};

// Collects the records of one read into a new list of (timestamp, bytes) tuples, or keeps the
// last one alone (for an iterator's step).
class RecordObjects {
 public:
  enum class Into { List, One };
  explicit RecordObjects(Into into);

  // For the core's read; valid while this object lives.
  RecordVisitor visitor();
  // The list, or the one record (null when none was visited), or the exception that stopped
  // the read.
  PyResult<PyRef> take();

 private:
  bool add(const RecordView& view);
  bool stop(PyErr failure);

  Into into_;
  PyRef result_;
  std::optional<PyErr> failure_;  // the exception of the object that could not be made
};

}  // namespace quelvane::python
