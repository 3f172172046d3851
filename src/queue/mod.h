// A dataset queue: the dataset as a durable work queue. Producers push payloads at the next
// timestamp; named consumer groups receive every record above their watermark in timestamp
// order, at least once, with acknowledgement, redelivery after a timeout and a retry limit.
// Every handle of one group shares that group's `QueueState`.
//
// Locks are always taken in one order: the dataset's mutex, then the queue's group map, then
// one group's state. Anything that must take an earlier lock (reporting a group dirty takes
// the dataset's mutex) releases the later ones first. Wake callbacks never run under any of
// them, and callbacks taken out of slots are released only after the locks are dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../dataset.h"
#include "../error.h"
#include "../util/fs.h"
#include "../util/mutex.h"
#include "../util/time.h"
#include "notifier.h"
#include "state.h"

namespace quelvane {

struct DatasetQueueConsumerInfo {
  std::string group_name;
  std::uint16_t running_expired_seconds = 0;
  std::uint8_t max_retry_count = 0;

  bool operator==(const DatasetQueueConsumerInfo&) const = default;
};

struct DatasetQueueConsumerState {
  std::int64_t processed_ts = 0;
  std::vector<DatasetQueueConsumerPendingEntry> pending_entries;  // in position order

  bool operator==(const DatasetQueueConsumerState&) const = default;
};

struct DatasetQueueConsumerInspectResult {
  DatasetQueueConsumerInfo info;
  DatasetQueueConsumerState state;

  bool operator==(const DatasetQueueConsumerInspectResult&) const = default;
};

// Runs one wait of a blocking poll. A caller that holds a lock of its own while it polls (the
// interpreter's) gives it up around the call; no store lock is held while it runs. It returns
// false to end the poll at once, empty and without another attempt: the caller has something
// to handle before anything is taken (a signal).
using PollWaitRunner = std::function<bool(const std::function<void()>& wait)>;

// Where a poll reports the delivery of the record it returns, for a caller that may have to
// give it back; reset when the poll returns no record, or one it did not take itself.
using TakenDelivery = std::optional<QueueState::Delivery>;

// Reads the record of a redelivery just taken. A read that fails, by an error or for want of
// memory, gives the delivery back first: nobody holds it, so left in flight it would cost the
// group a retry it never made, and under a retry limit the record itself.
template <class Read, class GiveBack>
auto read_redelivery(const QueueState::Delivery& delivery, Read&& read, GiveBack&& give_back) -> decltype(read()) {
  try {
    auto read_result = read();
    if (!read_result) (void)give_back(delivery);  // an error; a record that is gone is no failure
    return read_result;
  } catch (const std::bad_alloc&) {
    (void)give_back(delivery);
    throw;
  }
}

// What a blocking poll does when its notifier reports the deadline already passed before any
// wait: end empty, or look once more (a redelivery may have come due meanwhile).
enum class PassedDeadline { EndEmpty, PollAgain };

// The waiting loop of a blocking poll, shared by the dataset and journal queue consumers:
// polls once, then waits on `notifier` and polls again after each notification it had not
// seen, until a record comes, the deadline after `timeout` passes or `closed` answers true
// (then the poll fails with `closed_error()`). `try_poll` returns Result<std::optional<R>>.
template <class TryPoll>
auto poll_until(QueueNotifier& notifier, SeenNotifications& seen_handle, Duration timeout,
                const std::function<bool()>& closed, Error (*closed_error)(), PassedDeadline passed,
                const PollWaitRunner& run_wait, TryPoll&& try_poll) -> decltype(try_poll()) {
  // This poll's view of the notifications, handed back to the handle however the poll ends.
  struct Seen {
    SeenNotifications& handle;
    std::uint64_t count = handle.start();
    ~Seen() { handle.finish(count); }
  } seen{seen_handle};
  if (auto first = QV_TRY(try_poll())) return first;
  // An unrepresentable deadline is never due: such a poll ends by a record or a close.
  const std::optional<Instant> deadline = deadline_after(Clock::now(), timeout);
  while (true) {
    Result<QueueNotifier::WaitResult> waited = QueueNotifier::WaitResult::DeadlinePassed;
    const std::function<void()> wait = [&] { waited = notifier.wait(deadline, closed, seen.count); };
    if (run_wait) {
      if (!run_wait(wait)) return std::nullopt;
    } else {
      wait();
    }
    switch (QV_TRY(std::move(waited))) {
      case QueueNotifier::WaitResult::Closed:
        return fail(closed_error());
      case QueueNotifier::WaitResult::Notified:
        if (auto record = QV_TRY(try_poll())) return record;
        break;
      case QueueNotifier::WaitResult::DeadlinePassed:
        if (passed == PassedDeadline::EndEmpty) return std::nullopt;
        [[fallthrough]];
      case QueueNotifier::WaitResult::TimedOut:
        // A redelivery may have come due while waiting.
        return try_poll();
    }
  }
}

namespace queue {

inline constexpr std::size_t kMaxGroupNameLen = 255;

// 1 to 255 bytes of [0-9A-Za-z_-], so a name is always one plain file name.
Status check_group_name(std::string_view name);

}  // namespace queue

// One open group: its shared state, the callback slots of every handle opened on it, and its
// closed flag, which every one of those handles reads.
struct ConsumerGroup {
  std::vector<std::shared_ptr<CallbackSlot>> slots;
  SharedQueueState state;
  std::shared_ptr<std::atomic<bool>> closed;
};

struct QueueGroups {
  std::unordered_map<std::string, ConsumerGroup> groups;
  std::unordered_map<std::string, ConsumerGroupConfig> configs;
};

// The queue's shared core, attached to its dataset while open.
class QueueInner final : public AttachedQueue {
 public:
  QueueInner(std::shared_ptr<QueueNotifier> notifier, UnixClock clock);

  // Closes the queue for good and every group with it (in-flight entries released, states
  // synchronised), then wakes every blocked poller so it sees the close at once. The callbacks
  // taken out of the slots go to `released`, for the caller to let go of after its locks.
  Status close_all(Wake& released) override;
  Status flush_group(const std::string& group) override;
  Status flush_all() override;
  std::uint32_t consumer_group_count() override;

  bool closed() const { return closed_->load(); }

 private:
  friend class DatasetQueue;
  friend class DatasetQueueConsumer;

  // The body of close_all with the group map held; callbacks taken out of the slots go to
  // `released` so that the caller can let go of them after its locks.
  Status close_all_locked(QueueGroups& g, Wake& released);

  Mutex<QueueGroups> groups_;
  std::shared_ptr<std::atomic<bool>> closed_;
  // Only to wake pollers when the queue closes from the dataset's side.
  std::weak_ptr<QueueNotifier> notifier_;
  UnixClock clock_;
};

// A record handed to a consumer: (timestamp, data).
using QueueRecord = RecordData;

class DatasetQueueConsumer {
 public:
  // One attempt: first an entry due for redelivery, else the next new record. Never waits.
  Result<std::optional<QueueRecord>> try_poll(TakenDelivery* taken = nullptr);
  // Attempts until a record comes, the timeout passes (then one last attempt) or the handle
  // closes. A huge timeout waits until a notification or a close.
  Result<std::optional<QueueRecord>> poll(Duration timeout, const PollWaitRunner& run_wait = {},
                                          TakenDelivery* taken = nullptr);
  // Undoes a delivery whose record the caller could not hand on (QueueState::give_back); a
  // closed group keeps what its close left.
  Status give_back(const QueueState::Delivery& delivery);
  Status ack(std::int64_t timestamp);
  // Synchronises the dataset's records, then the group's state, now (the group's progress is
  // never durable before the records it covers); in-flight entries stay in flight.
  Status flush();
  // Closes the group for every handle of it; unacknowledged entries are due again after the
  // group is reopened.
  Status close();
  Result<DatasetQueueConsumerInspectResult> inspect();
  // Registers a wake callback on this handle, or clears it (nullptr).
  Status poll_callback(WakeCallback callback);
  // Queues one deferred flush of the group when it changed since its last sync.
  Status schedule_flush();

  bool is_closed() const { return queue_closed_->load() || group_closed_->load(); }
  const std::string& group_name() const { return group_name_; }

 private:
  friend class DatasetQueue;
  DatasetQueueConsumer(std::string group_name, SharedQueueState state, std::shared_ptr<QueueNotifier> notifier,
                       Dataset dataset, std::shared_ptr<std::atomic<bool>> queue_closed,
                       std::shared_ptr<std::atomic<bool>> group_closed, std::shared_ptr<QueueInner> inner,
                       std::shared_ptr<CallbackSlot> slot, ConsumerGroupConfig config);

  Status check_open() const;
  Result<std::optional<QueueRecord>> poll_new(TakenDelivery* taken);

  std::string group_name_;
  SharedQueueState state_;
  std::shared_ptr<QueueNotifier> notifier_;
  Dataset dataset_;
  std::shared_ptr<std::atomic<bool>> queue_closed_;
  std::shared_ptr<std::atomic<bool>> group_closed_;
  std::shared_ptr<QueueInner> inner_;
  std::shared_ptr<CallbackSlot> slot_;
  ConsumerGroupConfig config_;
  SeenNotifications seen_;
};

class DatasetQueue {
 public:
  // Opens the dataset's queue (at most one at a time) and attaches it to the dataset. clock
  // gives delivery times in Unix seconds.
  static Result<DatasetQueue> open(const Dataset& dataset, UnixClock clock = system_unix_clock());

  // Stores the payload at the latest timestamp + 1 (1 on an empty dataset) and wakes the
  // consumers; returns that timestamp.
  Result<std::int64_t> push(std::span<const std::uint8_t> payload);
  Result<DatasetQueueConsumer> open_consumer(std::string_view group_name, ConsumerGroupConfig config);
  // Closes the group if it is open and deletes its state file.
  Status drop_consumer(std::string_view group_name);
  // Every entry of the queue directory, sorted; answers after a close too.
  Result<std::vector<std::string>> get_consumer_group_names() const;
  // Closes the queue the dataset holds now, and wakes this handle's pollers.
  Status close();

 private:
  DatasetQueue(Dataset dataset, std::shared_ptr<QueueInner> inner, std::shared_ptr<QueueNotifier> notifier)
      : dataset_(std::move(dataset)), inner_(std::move(inner)), notifier_(std::move(notifier)) {}

  Dataset dataset_;
  std::shared_ptr<QueueInner> inner_;
  std::shared_ptr<QueueNotifier> notifier_;
};

namespace queue {

// The dataset's side of its queue, for a caller that holds no lock of the dataset.
// Detaches the attached queue, if any, closing every group.
Status close_dataset_queue(const Dataset& dataset);
// <dataset dir>/queue; no closed check.
Result<fs::Path> queue_dir(const Dataset& dataset);
// Puts the group on the store's dirty-target queue, when the dataset has one.
Status mark_queue_dirty(const Dataset& dataset, const std::string& group_name);

}  // namespace queue

}  // namespace quelvane
