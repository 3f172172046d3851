// The wake-up hub of a queue: a sticky "notified" flag that blocked pollers wait on, and the
// registry of the consumers' wake callbacks.
//
// Callbacks are user code. They are collected under the notifier's locks but run by the
// caller once it has released its own locks (the dataset's, the queue's), still on the
// waking thread and after the pollers were notified: a callback that reaches back into the
// store then meets no lock its own thread holds.
#pragma once

#include <condition_variable>
#include <cstddef>
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

// Callbacks collected from the registry, to be run once the caller's locks are released.
// Dropping it without run() calls nothing.
class [[nodiscard]] Wake {
 public:
  Wake() = default;
  Wake(Wake&&) noexcept = default;
  Wake& operator=(Wake&&) noexcept = default;

  // Calls each callback once, in order, on this thread. A failure unwinding out of one is
  // logged and the others still run. The Wake is empty afterwards.
  void run();
  // Appends another wake's callbacks (an operation that woke the queue more than once).
  void absorb(Wake&& later);
  bool empty() const { return callbacks_.empty(); }
  std::size_t size() const { return callbacks_.size(); }

 private:
  friend class QueueNotifier;
  std::vector<WakeCallback> callbacks_;
};

class QueueNotifier {
 public:
  enum class WaitResult {
    Notified,        // the flag was set; it is now cleared
    Closed,          // the caller's closed test answered true
    DeadlinePassed,  // the deadline had passed before any wait
    TimedOut,        // waited until the deadline without a notification
  };

  explicit QueueNotifier(std::string_view lock_prefix = {});
  QueueNotifier(const QueueNotifier&) = delete;
  QueueNotifier& operator=(const QueueNotifier&) = delete;

  // Sets the flag and wakes every waiting poller.
  Status notify();
  Status register_slot(const std::shared_ptr<CallbackSlot>& slot);
  // Snapshots the callbacks of the live slots, forgetting slots nobody holds; a poisoned
  // registry yields nothing and a poisoned slot is skipped.
  Wake collect_callbacks();
  // collect_callbacks().run(), for a caller that holds no lock.
  void run_callbacks();
  // notify, then the callbacks to run after unlocking; none when notify failed.
  Wake wake();

  // One poller's wait: returns as soon as the closed test answers true (tested first), the
  // flag is set (which this poller then clears), or the deadline (none = never) passes. The
  // notify mutex is held only inside this call, so a caller may give up other locks (the
  // interpreter's) around it. Whoever sets a closed flag notifies afterwards, which ends
  // every wait at once.
  Result<WaitResult> wait(std::optional<Instant> deadline, const std::function<bool()>& closed);

 private:
  Mutex<std::vector<std::weak_ptr<CallbackSlot>>> registry_;
  Mutex<bool> notified_;
  std::condition_variable cv_;
};

}  // namespace quelvane
