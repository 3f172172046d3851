#include "notifier.h"

#include <utility>

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

void Wake::run() {
  auto callbacks = std::exchange(callbacks_, {});
  for (auto& callback : callbacks) {
    try {
      (*callback)();
    } catch (...) {
      QV_LOG(Warn, "quelvane::queue", "[queue] poll callback panicked");
    }
    callback.reset();
  }
}

void Wake::absorb(Wake&& later) {
  auto more = std::exchange(later.callbacks_, {});
  callbacks_.insert(callbacks_.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

QueueNotifier::QueueNotifier(std::string_view lock_prefix)
    : registry_(text::cat(lock_prefix, "queue callback mutex")),
      notified_(text::cat(lock_prefix, "notify mutex"), false) {}

Status QueueNotifier::notify() {
  auto flag = QV_TRY(notified_.lock());
  *flag = true;
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
                                                     const std::function<bool()>& closed) {
  auto flag = QV_TRY(notified_.lock());
  // The closed test comes first: a closing queue also notifies, and its pollers must see the
  // close rather than try once more.
  auto outcome = [&]() -> std::optional<WaitResult> {
    if (closed()) return WaitResult::Closed;
    if (*flag) {
      *flag = false;
      return WaitResult::Notified;
    }
    return std::nullopt;
  };
  if (auto now = outcome()) return *now;
  auto ready = [&] { return closed() || *flag; };
  if (!deadline) {
    flag.wait(cv_, ready);
  } else {
    if (Clock::now() >= *deadline) return WaitResult::DeadlinePassed;
    if (!flag.wait_until(cv_, *deadline, ready)) return WaitResult::TimedOut;
  }
  return *outcome();
}

}  // namespace quelvane
