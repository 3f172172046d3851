// Placeholder while the queue is being written: consumers cannot be opened yet.
#include "queue.h"

namespace quelvane {

JournalQueue::JournalQueue(SharedJournalLog log, fs::Path queue_dir, UnixClock clock)
    : log_(std::move(log)),
      queue_dir_(std::move(queue_dir)),
      clock_(std::move(clock)),
      inner_(std::make_shared<Mutex<Inner>>("journal queue mutex")),
      closed_(std::make_shared<std::atomic<bool>>(false)),
      notifier_(std::make_shared<QueueNotifier>(kJournalLockPrefix)) {}

Result<JournalQueueConsumer> JournalQueue::open_consumer(std::string_view, std::uint16_t, std::uint8_t) {
  return fail(Error::io("journal queue consumers are not available yet"));
}
Status JournalQueue::close() {
  closed_->exchange(true);
  return {};
}
Status JournalQueue::flush_groups() { return {}; }
Wake JournalQueue::notify_all() { return notifier_->wake(); }

}  // namespace quelvane
