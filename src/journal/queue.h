// The journal queue: delivers the journal's records in sequence order to named consumer
// groups, with acknowledgement, redelivery and a retry limit. A group's state is the shared
// consumer-group state file (a position is a journal sequence) under
// <data_dir>/.journal/logs/queue/<group_name>.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "../error.h"
#include "../queue/mod.h"
#include "../queue/notifier.h"
#include "../queue/state.h"
#include "../util/fs.h"
#include "../util/mutex.h"
#include "../util/time.h"
#include "log.h"

namespace quelvane {

class JournalQueueConsumer;

// The data directory's writer lock, pinned by the journal queue and its consumers until the
// queue closes: until then they can still write their groups' files, so no second writer may
// come in, even after the store that handed them out was freed.
class JournalWriterHold {
 public:
  void hold(std::shared_ptr<const void> token);
  void release();

 private:
  std::mutex mutex_;
  std::shared_ptr<const void> token_;
};

class JournalQueue {
 public:
  // shown_queue_dir: queue_dir under the caller's spelling of the store's directory, for
  // messages (queue_dir itself when empty).
  JournalQueue(SharedJournalLog log, fs::Path queue_dir, UnixClock clock = system_unix_clock(),
               fs::Path shown_queue_dir = {});

  Result<JournalQueueConsumer> open_consumer(std::string_view group_name, std::uint16_t running_expired_seconds,
                                             std::uint8_t max_retry_count);
  // Store-wide and for good: every consumer handle then gets "journal queue is closed".
  // The writer lock's token is released here too.
  Status close();
  bool closed() const { return closed_->load(); }
  // Keeps the writer lock's token (null for none) until close.
  void hold_writer_lock(std::shared_ptr<const void> token) { writer_->hold(std::move(token)); }
  // Writes and synchronises every group that changed since its last sync.
  Status flush_groups();
  // Notifies the pollers; the callbacks are handed back to run once the caller holds no lock.
  Wake notify_all();

 private:
  struct Group {
    SharedQueueState state;
    ConsumerGroupConfig config;
  };
  struct Inner {
    std::map<std::string, Group> groups;
  };

  // Syncs the journal's records, then the group's state (whose lock the caller holds).
  Status sync_records_of(QueueState& state);
    // Opens the group's file; a watermark above the journal's latest sequence comes down to it.
  Result<QueueState> open_state(const std::string& name, std::int64_t latest);

  SharedJournalLog log_;
  fs::Path queue_dir_;
  fs::Path shown_queue_dir_;
  UnixClock clock_;
  std::shared_ptr<Mutex<Inner>> inner_;
  std::shared_ptr<std::atomic<bool>> closed_;
  std::shared_ptr<QueueNotifier> notifier_;
  std::shared_ptr<JournalWriterHold> writer_ = std::make_shared<JournalWriterHold>();
};

class JournalQueueConsumer {
 public:
  // Waits up to timeout for a record; run_wait, when given, runs the wait itself (to give up
  // the interpreter's lock around it).
  // taken, when given, receives the delivery of the record returned (see TakenDelivery).
  Result<std::optional<JournalRecordData>> poll(Duration timeout, const PollWaitRunner& run_wait = {},
                                                TakenDelivery* taken = nullptr);
  Result<std::optional<JournalRecordData>> try_poll(TakenDelivery* taken = nullptr);
  Status ack(std::int64_t sequence);
  // Undoes a delivery whose record the caller could not hand on (QueueState::give_back).
  Status give_back(const QueueState::Delivery& delivery);
  // A callback while one is set is refused; none clears the slot.
  Status set_poll_callback(WakeCallback callback);

 private:
  friend class JournalQueue;
  JournalQueueConsumer(SharedQueueState state, SharedJournalLog log, std::shared_ptr<QueueNotifier> notifier,
                       std::shared_ptr<std::atomic<bool>> closed, std::shared_ptr<CallbackSlot> slot,
                       ConsumerGroupConfig config, UnixClock clock, std::shared_ptr<JournalWriterHold> writer);

  SharedQueueState state_;
  SharedJournalLog log_;
  std::shared_ptr<QueueNotifier> notifier_;
  std::shared_ptr<std::atomic<bool>> closed_;
  std::shared_ptr<CallbackSlot> slot_;
  ConsumerGroupConfig config_;
  UnixClock clock_;
  SeenNotifications seen_;
  std::shared_ptr<JournalWriterHold> writer_;
};

namespace journal {
// JournalLog::read under the log mutex.
Result<std::optional<JournalRecordData>> read_at_locked(const SharedJournalLog& log, std::int64_t sequence);
}  // namespace journal

}  // namespace quelvane
