// The entry guard: what every function the interpreter calls runs around its body.
//
//   1. count this entry on the thread (a count below 0 aborts);
//   2. release the references other threads deferred;
//   3. run the body, trapping internal failures (InternalFailure or any other C++ exception);
//   4. return a result unchanged, or raise the body's PyErr, or raise an allocation that failed
//      (std::bad_alloc) as MemoryError and an internal failure as PanicException;
//   5. count down.
// Nothing unwinds into the interpreter, and running out of memory never aborts: an exception or a
// message that cannot be made is raised as MemoryError. Only a failure of another kind while
// raising aborts the process with "uncaught panic at ffi boundary". The one unwind let through is
// the interpreter's own: a daemon thread that runs Python code or takes the interpreter lock back
// while the interpreter finalises is ended with pthread_exit, whose forced unwind passes every
// guard (rethrown, never caught for good) up to the thread's start, so the process exits with its
// own status.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <type_traits>

#include "boundary/gil.h"
#include "boundary/pyerr.h"
#include "py.h"

namespace quelvane::python {

[[noreturn]] void abort_at_boundary() noexcept;

// Sets PanicException with the message (a generic one when empty or null); MemoryError when the
// message cannot be made.
void raise_panic(const char* message) noexcept;

// Steps 1, 2 and 5. Draining may run finalisers, so this may be unwound by the interpreter.
class EntryScope {
 public:
  EntryScope() : count_(gil_count()) {
    if (count_ < 0) abort_at_boundary();
    ++count_;
    drain_pending_releases();
  }
  ~EntryScope() { --count_; }
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;

 private:
  // This thread's count, looked up once: a thread-local look-up is a call into the loader.
  long& count_;
};

// For entry points returning a new reference (NULL on failure); the body returns PyResult<PyRef>.
// A null PyRef on success returns NULL with nothing raised (the end of an iteration).
template <class Body>
PyObject* guard_object(Body&& body) {
  EntryScope scope;
  try {
    try {
      PyResult<PyRef> result = body();
      if (result) return result->release();
      std::move(result.error()).raise();
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (const std::bad_alloc&) {
      raise_no_memory();
    } catch (const std::exception& e) {
      raise_panic(e.what());
    } catch (...) {
      raise_panic(nullptr);
    }
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    raise_no_memory();
  } catch (...) {
    abort_at_boundary();
  }
  return nullptr;
}

// For the module's execution slot: 0, or -1 with an exception set; the body returns PyStatus.
template <class Body>
int guard_status(Body&& body) {
  EntryScope scope;
  try {
    try {
      PyStatus result = body();
      if (result) return 0;
      std::move(result.error()).raise();
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (const std::bad_alloc&) {
      raise_no_memory();
    } catch (const std::exception& e) {
      raise_panic(e.what());
    } catch (...) {
      raise_panic(nullptr);
    }
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    raise_no_memory();
  } catch (...) {
    abort_at_boundary();
  }
  return -1;
}

// For deallocation, which has no way to report: any failure aborts.
template <class Body>
void guard_dealloc(Body&& body) {
  EntryScope scope;
  try {
    body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace quelvane::python
