// The store-wide queue on which mapped objects report their first change since their last
// synchronisation, so that a flush syncs only what changed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "dataset_key.h"
#include "util/mutex.h"

namespace quelvane {

// What one dataset must synchronise: a data segment by its file offset, an index segment by its
// start timestamp, or a consumer group's state file by the group's name.
struct FlushTarget {
  enum class Kind : std::uint8_t { DataSegment, IndexSegment, ConsumerGroup };

  static FlushTarget data_segment(std::uint64_t file_offset);
  static FlushTarget index_segment(std::int64_t start_ts);
  static FlushTarget consumer_group(std::string group);

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  // Each accessor belongs to one kind; asking another kind is a broken invariant.
  std::uint64_t file_offset() const;
  std::int64_t start_ts() const;
  const std::string& group() const;

  // A copy that is safe to make when memory may run out: the standard library's variant is
  // left broken by an alternative whose copy throws, so the group's name is copied first.
  FlushTarget copy() const;

  bool operator==(const FlushTarget&) const = default;

 private:
  using Value = std::variant<std::uint64_t, std::int64_t, std::string>;  // in Kind's order
  explicit FlushTarget(Value v) : value_(std::move(v)) {}
  Value value_;
};

struct DirtyItem {
  DataSetKey key;
  FlushTarget target;

  bool operator==(const DirtyItem&) const = default;
};

// A first-in, first-out queue of (dataset key, target). It never deduplicates: reporters keep
// duplicates rare and consumers skip targets that are already clean. Its mutex is a leaf: no
// other lock is taken while it is held.
//
// The items are kept by key, each with its place in the queue, so that taking or putting back
// one dataset's targets costs that dataset's items, not the whole queue's: a flush of every
// dirty dataset, one key after another, stays linear in the items.
//
// Running out of memory never poisons it or leaves it half-changed: an operation that cannot
// get its memory has no effect. A report that could not be kept that way (a push, a put-back,
// a drain cut short) leaves the queue's missed mark, since the queue then no longer names
// everything that changed: whoever takes the mark synchronises every open dataset whole.
class DirtyQueue {
 public:
  DirtyQueue();
  DirtyQueue(const DirtyQueue&) = delete;
  DirtyQueue& operator=(const DirtyQueue&) = delete;

  // Appends at the back; false (and the missed mark) when memory for the item cannot be had.
  bool push(const DataSetKey& key, const FlushTarget& target);
  // The same for a consumer group's target, its name copied in here so that a failure to copy
  // it is a missed report too.
  bool push_group(const DataSetKey& key, const std::string& group);
  // Every item, in queue order; the queue is left empty.
  std::vector<DirtyItem> take_all();
  // The targets of one dataset in queue order; the other datasets' items stay in their order.
  // Without memory for the result it throws std::bad_alloc and takes nothing.
  std::vector<FlushTarget> take_for(const DataSetKey& key);
  // The distinct keys of the queued items, in the order they first appear; nothing is taken.
  std::vector<DataSetKey> keys();
  std::size_t size();
  // Returns targets that a flush failed on or did not reach, ahead of everything queued since,
  // so that nothing unsynced is ever forgotten.
  void put_back(const DataSetKey& key, std::vector<FlushTarget> targets);

  // Whether a report was missed since the mark was last taken; the mark is cleared.
  bool take_missed();
  // Sets the mark again, for a taker that could not synchronise everything.
  void note_missed();

 private:
  // A target and its place in the whole queue: places grow at the back and shrink at the front.
  struct Placed {
    std::int64_t place;
    FlushTarget target;
  };
  using ByKey = std::unordered_map<DataSetKey, std::vector<Placed>>;
  struct Items {
    // Each key's targets in queue order; a key without targets has no entry.
    ByKey by_key;
    std::int64_t next_back = 0;
    std::int64_t next_front = -1;
    std::size_t size = 0;
  };

  // An entry made outside the lock, ready to be linked into the table under it.
  static ByKey::node_type entry(const DataSetKey& key, std::vector<Placed> targets);

  Mutex<Items> items_;
  std::atomic<bool> missed_{false};
};

// Groups drained items by dataset: keys in the order they first appear, each key's targets in
// queue order.
std::vector<std::pair<DataSetKey, std::vector<FlushTarget>>> group_by_key(std::vector<DirtyItem> items);

// How one dataset's segments report themselves: its key and the store's queue.
struct FlushNotifier {
  DataSetKey key;
  std::shared_ptr<DirtyQueue> queue;

  // False when the queue could not keep the report (see DirtyQueue::push).
  bool mark_dirty(const FlushTarget& target) const;
};

// The clean/notified state of one mapped file that reports itself on the dirty queue: its first
// change after a synchronisation reports it once, and a synchronisation makes it clean and ready
// to report again. A file without a notifier reports nothing.
class DirtyTracker {
 public:
  explicit DirtyTracker(FlushTarget target) : target_(std::move(target)) {}

  bool clean() const { return clean_; }
  bool notified() const { return notified_; }
  // A change since the last synchronisation.
  void changed() {
    clean_ = false;
    report();
  }
  // A change made before the notifier arrived still has to reach the queue.
  void set_notifier(std::optional<FlushNotifier> notifier) {
    notifier_ = std::move(notifier);
    if (!clean_) report();
  }
  // The mapping was synchronised, or mapped afresh.
  void synced() {
    clean_ = true;
    notified_ = false;
  }

 private:
  // A report the queue could not keep leaves the file unnotified, so that its next change
  // reports it again; until then the queue's missed mark has it synchronised.
  void report() {
    if (notified_ || !notifier_) return;
    notified_ = notifier_->mark_dirty(target_);
  }

  FlushTarget target_;
  std::optional<FlushNotifier> notifier_;
  bool clean_ = true;
  bool notified_ = false;
};

}  // namespace quelvane
