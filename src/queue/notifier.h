// The wake-up hub of a queue: a notification count that blocked pollers wait on, and the
// registry of the consumers' wake callbacks.
//
// Callbacks are user code. They are collected under the notifier's locks but run by the
// caller once it has released its own locks (the dataset's, the queue's), still on the
// waking thread and after the pollers were notified: a callback that reaches back into the
// store then meets no lock its own thread holds. A caller with a lock of its own that the
// core cannot see (the interpreter's) opens a `WakeDeferral` around its core call and runs
// the callbacks itself once the call has returned.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "../error.h"
#include "../util/mutex.h"
#include "../util/time.h"

namespace quelvane {

// A consumer's wake callback: a shared callable without arguments or result.
using WakeCallback = std::shared_ptr<const std::function<void()>>;

// Lock names of the journal queue's notifier and slots; a dataset queue's have no prefix.
inline constexpr std::string_view kJournalLockPrefix = "journal ";

// One consumer handle's optional wake callback. The handle and its group hold the slot; the
// notifier only refers to it, so a slot nobody holds any more stops being called.
class CallbackSlot {
 public:
  explicit CallbackSlot(std::string_view lock_prefix = {});

  // Stores the callback unless the slot already holds one (then false, slot unchanged).
  Result<bool> try_set(WakeCallback callback);
  // Empties the slot and hands back what it held, so that the caller can release it after
  // dropping its own locks (releasing a callback may run user code).
  Result<WakeCallback> take();
  // A shared reference to the callback, or null.
  Result<WakeCallback> get();

 private:
  Mutex<WakeCallback> callback_;
};

// Callbacks collected from the registry, to be run once the caller's locks are released, and
// callbacks taken out of their slots, to be let go of then (releasing one may run user code).
// Dropping it without run() calls nothing.
class [[nodiscard]] Wake {
 public:
  Wake() = default;
  Wake(Wake&&) noexcept = default;
  Wake& operator=(Wake&&) noexcept = default;

  // Calls each callback once, in order, on this thread, then lets go of the released ones. A
  // failure unwinding out of a callback is logged and the others still run. Inside a
  // `WakeDeferral` of this thread, all of it is handed to that scope instead. The Wake is
  // empty afterwards.
  void run();
  // Appends another wake's callbacks (an operation that woke the queue more than once).
  void absorb(Wake&& later);
  // Keeps a callback that was taken out of its slot until run().
  void release_later(WakeCallback callback);
  // The callbacks to call; released ones do not count.
  bool empty() const { return callbacks_.empty(); }
  std::size_t size() const { return callbacks_.size(); }

 private:
  friend class QueueNotifier;
  // Calls and releases here, whatever scope is open.
  void run_now();

  std::vector<WakeCallback> callbacks_;
  std::vector<WakeCallback> released_;
};

// A scope on this thread in which every `Wake::run` hands its callbacks (and the callbacks it
// would let go of) to the scope instead of running them. Opened around a core call by a
// caller that holds a lock the core knows nothing of, and finished once the call returned, so
// that no callback ever runs inside the call. Scopes nest: a scope finished inside another
// hands what it collected to the outer one.
class [[nodiscard]] WakeDeferral {
 public:
  WakeDeferral();
  WakeDeferral(const WakeDeferral&) = delete;
  WakeDeferral& operator=(const WakeDeferral&) = delete;
  // Finishes the scope if finish() was not called, and runs what it collected; when an
  // exception leaves the scope, what it collected is dropped unrun. A callback may end the
  // thread (a forced unwind), which must pass: the destructor may throw.
  ~WakeDeferral() noexcept(false);

  // Closes the scope and hands over what it collected, for the caller to run.
  Wake finish();
  // Closes the scope and drops what it collected, for an opener whose thread is being ended (a
  // forced unwind, which no exception count shows): no user code may run on it any more.
  void abandon() noexcept;
  // Whether a scope is open on this thread.
  static bool open();

 private:
  friend class Wake;
  WakeDeferral* outer_;
  int exceptions_at_open_;
  bool finished_ = false;
  Wake collected_;
};

// What one consumer handle has seen of its notifier's notifications, shared by the handle's
// copies. A poll starts from it and hands back what it saw: a notification made while nobody
// polled is seen by the handle's next poll, and each of several polls at once sees every
// notification.
class SeenNotifications {
 public:
  std::uint64_t start() const { return seen_->load(std::memory_order_relaxed); }
  // Records the count a poll saw; never moves backwards.
  void finish(std::uint64_t seen);

 private:
  std::shared_ptr<std::atomic<std::uint64_t>> seen_ = std::make_shared<std::atomic<std::uint64_t>>(0);
};

class QueueNotifier {
 public:
  enum class WaitResult {
    Notified,        // a notification came that the poller had not seen; now it has
    Closed,          // the caller's closed test answered true
    DeadlinePassed,  // the deadline had passed before any wait
    TimedOut,        // waited until the deadline without a notification
  };

  explicit QueueNotifier(std::string_view lock_prefix = {});
  QueueNotifier(const QueueNotifier&) = delete;
  QueueNotifier& operator=(const QueueNotifier&) = delete;

  // Counts one notification and wakes every waiting poller.
  Status notify();
  Status register_slot(const std::shared_ptr<CallbackSlot>& slot);
  // Snapshots the callbacks of the live slots, forgetting slots nobody holds; a poisoned
  // registry yields nothing and a poisoned slot is skipped.
  Wake collect_callbacks();
  // collect_callbacks().run(), for a caller that holds no lock.
  void run_callbacks();
  // notify, then the callbacks to run after unlocking; none when notify failed.
  Wake wake();

  // One poller's wait: returns as soon as the closed test answers true (tested first), a
  // notification came that `seen` (the count this poller last saw) does not include, or the
  // deadline (none = never) passes. Every waiting poller sees each notification; `seen` is
  // brought up to date when it does. The notify mutex is held only inside this call, so a
  // caller may give up other locks (the interpreter's) around it. Whoever sets a closed flag
  // notifies afterwards, which ends every wait at once.
  Result<WaitResult> wait(std::optional<Instant> deadline, const std::function<bool()>& closed,
                          std::uint64_t& seen);

 private:
  Mutex<std::vector<std::weak_ptr<CallbackSlot>>> registry_;
  Mutex<std::uint64_t> notifications_;
  std::condition_variable cv_;
};

}  // namespace quelvane
