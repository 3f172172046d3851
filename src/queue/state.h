// A consumer group's durable state: its watermark and its outstanding deliveries, kept in one
// mapped 4096-byte "QSTF" file. Both the dataset queues and the journal queue use it; a
// position is a record timestamp in the former and a journal sequence in the latter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "../error.h"
#include "../util/fs.h"
#include "../util/mapped_file.h"
#include "../util/mutex.h"

namespace quelvane {

// A group's settings, fixed while the group is open.
struct ConsumerGroupConfig {
  // Seconds after a delivery at which an unacknowledged entry is due again; 0 means a
  // delivered entry is not redelivered while the group stays open.
  std::uint16_t running_expired_seconds = 0;
  // Redeliveries an entry may receive before it is given up; 0 means no limit.
  std::uint8_t max_retry_count = 0;

  bool operator==(const ConsumerGroupConfig&) const = default;
};

// One outstanding delivery.
struct DatasetQueueConsumerPendingEntry {
  static constexpr std::uint8_t kPending = 0;
  static constexpr std::uint8_t kDone = 1;  // acknowledged, or given up at the retry limit

  std::int64_t timestamp = 0;   // the position
  std::int64_t start_time = 0;  // Unix seconds of the latest delivery; 0 = not in flight
  std::uint8_t status = kPending;
  std::uint8_t retry_count = 0;  // redeliveries so far, saturating at 255

  bool in_flight() const { return status == kPending && start_time != 0; }
  bool operator==(const DatasetQueueConsumerPendingEntry&) const = default;
};

// Unix time in whole seconds (0 when the clock reads before 1970): where delivery times come
// from. Queues take one so that tests can move time without sleeping.
using UnixClock = std::function<std::int64_t()>;
UnixClock system_unix_clock();

namespace queue {

// Narrows the caller's values, refusing those that do not fit.
Result<ConsumerGroupConfig> check_consumer_config(std::uint64_t running_expired_seconds,
                                                  std::uint16_t max_retry_count);

}  // namespace queue

// Every operation is called with the group's mutex held; none of them locks anything.
class QueueState {
 public:
  static constexpr std::uint64_t kFileSize = 4096;
  static constexpr std::size_t kHeaderSize = 21;
  static constexpr std::size_t kEntrySize = 18;
  // The most entries that fit after the header: 226 * 18 <= 4075 < 227 * 18.
  static constexpr std::size_t kCapacity = (kFileSize - kHeaderSize) / kEntrySize;

  // One delivery as the take that made it left its entry, so that a caller that cannot hand
  // the record on can undo it (give_back).
  struct Delivery {
    std::int64_t position = 0;
    std::int64_t start_time = 0;    // as the take set it
    std::uint8_t retry_before = 0;  // the entry's count before the take
    bool counted = false;           // the take counted a redelivery
  };

  struct Redelivery {
    std::optional<std::int64_t> position;  // the entry to deliver again
    bool changed = false;                   // an entry was chosen, given up or trimmed
    Delivery delivery;                      // the take, when an entry was chosen
    std::size_t expired = 0;                // due entries given up below `expired_below`
  };

  // Loads the group's file, or creates it with processed_ts = initial when it does not exist.
  // A file that fails a check is left exactly as it was.
  static Result<QueueState> open_or_create(fs::Path path, std::int64_t initial);

  QueueState(QueueState&&) noexcept = default;
  QueueState& operator=(QueueState&&) noexcept = default;
  // Unmaps without writing: changes made since the last write_block are lost.
  ~QueueState() = default;

  const fs::Path& path() const { return path_; }
  // The path as the caller spelled the store's directory, for messages; the file's own path
  // until set.
  void show_path_as(fs::Path shown) { shown_path_ = std::move(shown); }
  std::int64_t processed_ts() const { return processed_ts_; }
  std::span<const DatasetQueueConsumerPendingEntry> pending() const { return pending_; }
  bool clean() const { return clean_; }
  bool flush_scheduled() const { return flush_scheduled_; }

  // The first position a new delivery may have, or none when the watermark is already the
  // largest position, so that nothing can lie above it.
  std::optional<std::int64_t> next_new_position() const;
  // Whether the position is listed, done or not.
  bool is_pending(std::int64_t position) const;

  // Records a new delivery at its place in position order (a lower position can become
  // deliverable after higher ones, e.g. a record written into an earlier gap).
  // Error::PendingFull when the list is full.
  Status push_pending(DatasetQueueConsumerPendingEntry entry);
  // Marks the listed entry done and trims; Error::NotFound when it is not listed.
  Status acknowledge(std::int64_t position);
  // Picks the next entry due for redelivery, giving up those past the retry limit. Entries at
  // or above `below` are left as they are, neither due nor counted (a journal group passes its
  // next sequence: those positions hold no record yet). Due entries below `expired_below` are
  // given up without a retry counted (a dataset group passes its retention threshold: those
  // records can never be read again).
  Redelivery take_redelivery(std::uint16_t running_expired_seconds, std::uint8_t max_retry_count,
                             std::int64_t now, std::int64_t below = std::numeric_limits<std::int64_t>::max(),
                             std::int64_t expired_below = std::numeric_limits<std::int64_t>::min());
  // The first delivery of a new position, made by push_pending at start_time.
  static Delivery new_delivery(std::int64_t position, std::int64_t start_time) { return {position, start_time, 0, false}; }
  // Undoes a delivery whose record never reached anyone: the entry is no longer in flight, due
  // again at once, and the redelivery the take counted is uncounted (a new delivery stays
  // uncounted when it goes out again). An entry acknowledged, given up or delivered again since
  // is left as it is. Returns whether anything changed.
  bool give_back(const Delivery& delivery);
  // Removes the entries above position; returns how many.
  std::size_t drop_above(std::int64_t position);
  // What bring_down_to changed.
  struct BroughtDown {
    bool watermark = false;   // the watermark lay above `latest` and now stands at it
    std::size_t dropped = 0;  // listed deliveries above `latest`, removed
  };
  // Brings a group that lies past the last position its records still reach (records or
  // journal sequences that a crash took) down to `latest`: those positions go to new records,
  // which the group must receive as new deliveries.
  BroughtDown bring_down_to(std::int64_t latest);
  // Removes the leading done entries into the watermark; returns how many.
  std::size_t trim_done();
  // Releases every in-flight entry, so that it is due again at once.
  void clear_in_flight();
  // For a queue that defers its flushes: true when the state changed since its last sync and
  // no flush is queued yet, in which case it now counts as queued and the caller queues it.
  bool claim_flush();

  // Copies the state into the mapping, without flushing it. A kill at any instant leaves a
  // file that loads: the old state, the new one, or one between them that at worst lists a few
  // entries fewer (due again, or delivered anew).
  Status write_block();
  // write_block, then a synchronous flush; the state is clean afterwards.
  Status sync();

 private:
  QueueState(fs::Path path, MappedFile mapping, std::int64_t processed_ts,
             std::vector<DatasetQueueConsumerPendingEntry> pending);

  static Result<QueueState> create(fs::Path path, std::int64_t initial);
  static Result<QueueState> load(fs::Path path);
  // Ends one step of write_block.
  void step() const;
  // Drops the position's mark in uncounted_; returns whether it had one.
  bool forget_uncounted(std::int64_t position);

  fs::Path path_;
  fs::Path shown_path_;
  MappedFile mapping_;
  std::int64_t processed_ts_;
  std::vector<DatasetQueueConsumerPendingEntry> pending_;  // strictly increasing positions
  bool clean_ = true;
  bool flush_scheduled_ = false;
  // The file holds zeros from here to its end.
  std::uint64_t zero_from_ = kFileSize;
  // Listed positions given back from a delivery that counted no redelivery: their next delivery
  // counts none either. Kept in memory only: after a reopen, whatever was in flight counts.
  std::vector<std::int64_t> uncounted_;
};

// One group's state as every consumer handle of the group holds it.
using SharedQueueState = std::shared_ptr<Mutex<QueueState>>;

// lock_prefix: empty for a dataset queue (the lock is the "state file mutex"), "journal " for
// the journal queue.
SharedQueueState share_queue_state(QueueState state, std::string_view lock_prefix = {});

namespace queue {

// For tests: called with the file's path between the steps of a write into a group's file,
// whose order is what a kill can interrupt (null for none).
using StateStepObserver = void (*)(const fs::Path& path);
void set_state_step_observer(StateStepObserver observer);

}  // namespace queue

}  // namespace quelvane
