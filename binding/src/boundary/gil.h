// Which threads may touch the interpreter, and how references are dropped from threads that may
// not.
//
// Every entry point counts itself on its thread while it runs (gil_count). Native code that drops
// a Python reference goes through release_py: with the count at 1 or more the thread holds the
// interpreter lock and releases at once; otherwise the reference waits on a process-wide list
// that the next entry point on any thread drains.
#pragma once

#include "py.h"

namespace quelvane::python {

// The number of entry points active on this thread with the interpreter attached. Below 0 marks a
// section that must not enter the module at all.
long& gil_count() noexcept;

// Drops one reference now when this thread holds the interpreter lock, later otherwise. Once the
// interpreter is finalising, only the thread that finalises does (it holds the lock, and what it
// releases may still have work to do, a buffered file to write out); any other thread leaves the
// reference, since it may be a daemon thread being unwound without the lock. Null is ignored.
//
// A daemon thread that runs Python code or takes the interpreter lock back while the interpreter
// finalises is ended by the interpreter with a forced unwind (pthread_exit). It must pass through
// every frame up to the thread's start, so what can start one is not noexcept; a release, which
// runs in destructors, cannot let it out and parks the thread instead (park_thread).
void release_py(PyObject* obj) noexcept;

// Marks this thread as the one that finalises the interpreter; run by the module's exit handler,
// which the interpreter calls on that thread.
void mark_finalising_thread() noexcept;

// For a forced unwind caught where it cannot go on: the thread waits for the process to end.
[[noreturn]] void park_thread() noexcept;

// Releases every deferred reference; run by every entry point on entry.
void drain_pending_releases();

// Gives up the interpreter lock for a blocking wait; the count reads 0 meanwhile, so nothing
// on this thread touches the interpreter until the lock is back. Taking it back may end the
// thread (see release_py), so the destructor lets that unwind through.
class ReleasedGil {
 public:
  ReleasedGil() noexcept;
  ~ReleasedGil() noexcept(false);
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  long saved_count_;
  PyThreadState* state_;
};

// Attaches a thread that the interpreter did not call (a core thread running a wake callback),
// or only counts up when this thread is attached already. A thread the interpreter ends while
// attached leaves the lock alone as it unwinds.
class AttachedGil {
 public:
  AttachedGil();
  ~AttachedGil();
  AttachedGil(const AttachedGil&) = delete;
  AttachedGil& operator=(const AttachedGil&) = delete;

 private:
  bool ensured_;
  PyGILState_STATE state_{};
};

}  // namespace quelvane::python
