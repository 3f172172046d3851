#include "boundary/gil.h"

#include <cxxabi.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace quelvane::python {

namespace {

thread_local long t_gil_count = 0;
thread_local bool t_finalising = false;

struct PendingReleases {
  std::mutex mu;
  std::vector<PyObject*> refs;
};

// Checked on every entry without the mutex; set only while the list holds something.
std::atomic<bool> g_has_pending{false};

// Never destroyed: a static destructor would run after the interpreter is gone.
PendingReleases& pending() {
  static auto* list = new PendingReleases;
  return *list;
}

// Once the interpreter finalises, only the finalising thread holds its lock; any other thread
// still here never takes it again, and may be one the interpreter is unwinding without it.
bool lock_is_gone_for_this_thread() noexcept { return Py_IsInitialized() == 0 && !t_finalising; }

}  // namespace

long& gil_count() noexcept { return t_gil_count; }

void mark_finalising_thread() noexcept { t_finalising = true; }

void park_thread() noexcept {
  while (true) pause();
}

void release_py(PyObject* obj) noexcept {
  if (obj == nullptr) return;
  if (lock_is_gone_for_this_thread()) return;
  if (t_gil_count >= 1) {
    try {
      Py_DECREF(obj);  // a finaliser may run here
    } catch (const abi::__forced_unwind&) {
      park_thread();
    }
    return;
  }
  PendingReleases& list = pending();
  std::lock_guard lock(list.mu);
  try {
    list.refs.push_back(obj);
  } catch (...) {
    // Out of memory: keeping the object alive forever beats touching the interpreter unattached.
    return;
  }
  g_has_pending.store(true, std::memory_order_release);
}

void drain_pending_releases() {
  if (!g_has_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> refs;
  {
    PendingReleases& list = pending();
    std::lock_guard lock(list.mu);
    refs.swap(list.refs);
    g_has_pending.store(false, std::memory_order_relaxed);
  }
  // Outside the mutex: a finaliser run here may defer releases of its own.
  for (PyObject* obj : refs) Py_DECREF(obj);
}

ReleasedGil::ReleasedGil() noexcept
    : saved_count_(std::exchange(t_gil_count, 0)), state_(PyEval_SaveThread()) {}

ReleasedGil::~ReleasedGil() noexcept(false) {
  PyEval_RestoreThread(state_);
  t_gil_count = saved_count_;
}

AttachedGil::AttachedGil() : ensured_(t_gil_count < 1) {
  if (ensured_) state_ = PyGILState_Ensure();
  ++t_gil_count;
}

AttachedGil::~AttachedGil() {
  --t_gil_count;
  // The Python code run while attached may have taken the lock back as the interpreter began to
  // finalise, which ended the thread: this runs in its unwind, and giving back a lock it does not
  // hold would be fatal.
  if (ensured_ && !lock_is_gone_for_this_thread()) PyGILState_Release(state_);
}

}  // namespace quelvane::python
