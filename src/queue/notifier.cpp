#include "notifier.h"

#include <exception>
#include <utility>

#include "../util/forced_unwind.h"
#include "../util/log.h"
#include "../util/text.h"

namespace quelvane {

CallbackSlot::CallbackSlot(std::string_view lock_prefix)
    : callback_(text::cat(lock_prefix, "queue callback slot mutex")) {}

Result<bool> CallbackSlot::try_set(WakeCallback callback) {
  auto slot = QV_TRY(callback_.lock());
  if (*slot) return false;
  *slot = std::move(callback);
  return true;
}

Result<WakeCallback> CallbackSlot::take() {
  auto slot = QV_TRY(callback_.lock());
  return std::exchange(*slot, nullptr);
}

Result<WakeCallback> CallbackSlot::get() {
  auto slot = QV_TRY(callback_.lock());
  return *slot;
}

namespace {

// The innermost open deferral scope of this thread.
thread_local WakeDeferral* open_deferral = nullptr;

void append(std::vector<WakeCallback>& to, std::vector<WakeCallback>&& from) {
  if (to.empty()) {
    to = std::move(from);
    return;
  }
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
  from.clear();
}

}  // namespace

void Wake::run() {
  if (open_deferral != nullptr) {
    open_deferral->collected_.absorb(std::move(*this));
    return;
  }
  run_now();
}

QV_PASSES_FORCED_UNWIND void Wake::run_now() {
  auto callbacks = std::exchange(callbacks_, {});
  for (auto& callback : callbacks) {
    try {
      (*callback)();
    } catch (const abi::__forced_unwind&) {
      // The thread is being ended (an interpreter finalising under a daemon thread's callback):
      // that unwind must go on, or the process aborts.
      throw;
    } catch (...) {
      QV_LOG(Warn, "quelvane::queue", "[queue] poll callback panicked");
    }
    callback.reset();
  }
  released_.clear();
}

void Wake::absorb(Wake&& later) {
  append(callbacks_, std::exchange(later.callbacks_, {}));
  append(released_, std::exchange(later.released_, {}));
}

void Wake::release_later(WakeCallback callback) {
  if (callback) released_.push_back(std::move(callback));
}

WakeDeferral::WakeDeferral()
    : outer_(std::exchange(open_deferral, this)), exceptions_at_open_(std::uncaught_exceptions()) {}

WakeDeferral::~WakeDeferral() noexcept(false) {
  if (finished_) return;
  Wake collected = finish();
  // Running user code while an exception unwinds could only end in std::terminate.
  if (std::uncaught_exceptions() > exceptions_at_open_) return;
  collected.run();
}

void WakeDeferral::abandon() noexcept {
  if (finished_) return;
  Wake dropped = finish();
}

Wake WakeDeferral::finish() {
  QV_ASSERT(!finished_ && open_deferral == this, "deferral scopes finish innermost first, once");
  finished_ = true;
  open_deferral = outer_;
  return std::move(collected_);
}

bool WakeDeferral::open() { return open_deferral != nullptr; }

void SeenNotifications::finish(std::uint64_t seen) {
  std::uint64_t current = seen_->load(std::memory_order_relaxed);
  while (current < seen && !seen_->compare_exchange_weak(current, seen, std::memory_order_relaxed)) {
  }
}

QueueNotifier::QueueNotifier(std::string_view lock_prefix)
    : registry_(text::cat(lock_prefix, "queue callback mutex")),
      notifications_(text::cat(lock_prefix, "notify mutex"), 0) {}

Status QueueNotifier::notify() {
  auto count = QV_TRY(notifications_.lock());
  ++*count;
  cv_.notify_all();
  return {};
}

Status QueueNotifier::register_slot(const std::shared_ptr<CallbackSlot>& slot) {
  auto registry = QV_TRY(registry_.lock());
  registry->push_back(slot);
  return {};
}

Wake QueueNotifier::collect_callbacks() {
  Wake out;
  auto registry = registry_.lock();
  if (!registry) return out;
  std::erase_if(**registry, [&](const std::weak_ptr<CallbackSlot>& weak) {
    auto slot = weak.lock();
    if (!slot) return true;
    if (auto callback = slot->get(); callback && *callback) out.callbacks_.push_back(std::move(*callback));
    return false;
  });
  return out;
}

void QueueNotifier::run_callbacks() { collect_callbacks().run(); }

Wake QueueNotifier::wake() {
  if (!notify()) return {};
  return collect_callbacks();
}

Result<QueueNotifier::WaitResult> QueueNotifier::wait(std::optional<Instant> deadline,
                                                     const std::function<bool()>& closed, std::uint64_t& seen) {
  auto count = QV_TRY(notifications_.lock());
  // The closed test comes first: a closing queue also notifies, and its pollers must see the
  // close rather than try once more.
  auto outcome = [&]() -> std::optional<WaitResult> {
    if (closed()) return WaitResult::Closed;
    if (*count != seen) {
      seen = *count;
      return WaitResult::Notified;
    }
    return std::nullopt;
  };
  if (auto now = outcome()) return *now;
  auto ready = [&] { return closed() || *count != seen; };
  if (!deadline) {
    count.wait(cv_, ready);
  } else {
    if (Clock::now() >= *deadline) return WaitResult::DeadlinePassed;
    if (!count.wait_until(cv_, *deadline, ready)) return WaitResult::TimedOut;
  }
  return *outcome();
}

}  // namespace quelvane
