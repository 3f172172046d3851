// One dataset: the directory of its files and everything done to it. `Dataset` is a shared
// handle to one mutex guarding a `DatasetInner`, which owns the data segments, the index, the
// state file and meta, and the attached queue. Every operation takes the mutex for its whole
// duration; a range cursor (`QueryState`) takes it per step and holds nothing in between.
//
// Every operation also exists as a `DatasetInner` function for a caller that already holds the
// lock (the dataset queue delivers records while holding it). Such a caller runs the wake
// callbacks a write collected (`DatasetInner::take_wake`) after it has released the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cache.h"
#include "config.h"
#include "dataset_context.h"
#include "dataset_key.h"
#include "dataset_state.h"
#include "dirty_queue.h"
#include "error.h"
#include "index/entry.h"
#include "index/mod.h"
#include "meta.h"
#include "queue/notifier.h"
#include "segment/data.h"
#include "segment/mod.h"
#include "util/fs.h"
#include "util/mutex.h"
#include "util/time.h"

namespace quelvane {

namespace util {
// The real-time clock in whole seconds since the Unix epoch; a clock before the epoch, or beyond
// the signed 64-bit range, is an error.
Result<std::int64_t> unix_now_secs();
Result<std::int64_t> unix_secs_at(std::chrono::system_clock::time_point t);
}  // namespace util

// (timestamp, data length) of one record.
using RecordLength = std::pair<std::int64_t, std::uint32_t>;

// A record read in place: its data lies in a block the reader holds. Valid only while the
// dataset's lock is held and until the reader's next read, so a visitor copies what it keeps.
struct RecordView {
  std::int64_t timestamp;
  std::span<const std::uint8_t> data;
};
// Called with each record of a read, in order; false stops the read there.
using RecordVisitor = std::function<bool(const RecordView&)>;

struct DataSetInfo {
  std::string name;
  std::string dataset_type;
  std::string base_dir;
  std::uint64_t identifier = 0;
  std::uint64_t data_segment_size = 0;
  std::uint64_t index_segment_size = 0;
  std::uint64_t initial_data_segment_size = 0;
  std::uint64_t initial_index_segment_size = 0;
  std::uint8_t compress_type = 0;
  std::uint8_t compress_level = 0;
  std::uint8_t index_continuous = 0;
  std::uint64_t retention_window = 0;
  bool enable_journal = false;
  std::int64_t create_time = 0;  // Unix milliseconds

  bool operator==(const DataSetInfo&) const = default;
};

struct DataSetState {
  std::optional<std::int64_t> latest_written_timestamp;
  std::uint32_t open_data_segments = 0;
  std::uint32_t data_segments = 0;
  std::uint64_t total_record_count = 0;
  std::uint64_t total_data_size = 0;
  std::uint64_t total_uncompressed_size = 0;
  std::uint64_t total_invalid_record_count = 0;
  std::optional<std::int64_t> min_timestamp;
  std::optional<std::int64_t> max_timestamp;
  std::uint32_t open_index_segments = 0;
  std::uint32_t index_segments = 0;
  std::uint32_t pending_index_entries = 0;
  std::optional<std::int64_t> base_timestamp;
  bool read_only = false;
  bool has_block_cache = false;
  bool has_journal = false;
  bool has_queue = false;
  std::uint32_t queue_consumer_groups = 0;

  bool operator==(const DataSetState&) const = default;
};

struct DataSetInspectResult {
  DataSetInfo info;
  DataSetState state;
};

// The dataset's side of an open queue: what closing, flushing and inspecting the dataset need
// from it. The queue implements it and attaches itself through `DatasetInner::queue`.
class AttachedQueue {
 public:
  virtual ~AttachedQueue() = default;
  // Takes the queue's own mutex and closes every consumer group; the queue is closed for good.
  // The wake callbacks taken out of the groups' slots go to `released`, to be let go of once
  // the dataset is unlocked.
  virtual Status close_all(Wake& released) = 0;
  // Writes and synchronises one group's state file; an absent group needs nothing.
  virtual Status flush_group(const std::string& group) = 0;
  // Writes and synchronises every open group's state file.
  virtual Status flush_all() = 0;
  // The number of open consumer groups; 0 when the queue's mutex is poisoned.
  virtual std::uint32_t consumer_group_count() = 0;
};

class DatasetInner;

// The guard of a read-only dataset's paths. A writer elsewhere may drop the dataset and create
// another under its name; every file the handle reaches by name after its open must still be
// one of its own. It checks nothing until the opener arms it with a check of the dataset's
// identity.
class GenerationGuard final : public fs::PathGuard {
 public:
  using Check = std::function<Status()>;
  // Armed under the dataset's lock, under which every file of the dataset is reached.
  void arm(Check check) { check_ = std::move(check); }
  Status confirm() const override { return check_ ? check_() : Status{}; }

 private:
  Check check_;
};

// What a range read reuses from one record to the next: the last sealed block it decoded.
// Where the dataset has no usable block cache, the reader keeps that block alive itself (in a
// one-block cache of its own), so consecutive records of a block cost one decompression.
class BlockReader {
 public:
  // A reader that serves one call under the dataset lock may hold a strong reference to its
  // hot block (see held_); a cursor's reader, which outlives its steps, never does.
  enum class Lifetime : std::uint8_t { Cursor, OneCall };
  explicit BlockReader(Lifetime lifetime = Lifetime::Cursor) : holds_block_(lifetime == Lifetime::OneCall) {}

  Result<RecordData> read_record(DatasetInner& inner, const IndexEntry& entry);
  // The same read in place: only the first record of each block read from its segment is
  // copied (into the reader), the others are viewed inside the decoded block.
  Result<RecordView> view_record(DatasetInner& inner, const IndexEntry& entry);
  Result<std::uint32_t> read_length(DatasetInner& inner, const IndexEntry& entry);
  // Forgets the hot block (the cursor turned or skipped).
  void forget_block() {
    hot_ = HotBlock{};
    held_.reset();
  }
  // Lets go of everything it holds.
  void reset();

 private:
  Result<RecordData> fetch_record(DatasetInner& inner, const IndexEntry& entry);
  // The cache and cache id to read through.
  std::pair<BlockCache*, std::uint64_t> cache_for(DatasetInner& inner);
  // The held block when it is the entry's and the hot block would still reach it, else null.
  const std::vector<std::uint8_t>* held_block(const IndexEntry& entry) const;
  // Takes a strong reference to what the hot block now holds for key, if anything.
  void hold(const BlockKey& key, std::uint64_t position);

  HotBlock hot_;
  std::unique_ptr<BlockCache> own_cache_;
  // For a one-call reader: the hot block's payload, strongly held, and the block's global
  // position. Promoting the hot block's weak reference for every record costs two atomic
  // operations; holding the payload, the reader instead tests whether anyone besides itself
  // still holds it (the cache, or another reader), which is exactly when the weak reference
  // would still yield it, so every record reads from the same block as before. Within one
  // call the dataset's identifier and segment size cannot change, so the position names the
  // hot block's key.
  bool holds_block_;
  std::uint64_t held_position_ = 0;
  BlockPayload held_;
  // What the last view points into: a hot block, or a record copied out of a segment.
  BlockPayload viewed_;
  RecordData copied_;
};

class DatasetInner {
 public:
  DataSetKey key;  // name and dataset_type
  fs::Path dir;
  // dir as the caller spelled it (a relative data directory stays relative): what inspection
  // and the handle show. Only dir is used for file operations.
  fs::Path shown_dir;
  meta::Meta meta;
  std::uint64_t identifier = 0;
  std::uint64_t retention_window = 0;
  DataSegments segments;
  Index index;
  DatasetStateFile state_file;
  std::optional<std::int64_t> latest_written_timestamp;
  Instant last_activity;
  std::optional<DatasetContext> context;
  std::shared_ptr<AttachedQueue> queue;
  std::shared_ptr<QueueNotifier> queue_notifier;
  // The guard of dir and every path under it; none for a writable dataset, whose store holds
  // the writer lock that keeps its name from being dropped elsewhere.
  std::shared_ptr<GenerationGuard> generation;
  bool closed = false;

  DatasetInner(DataSetKey key, fs::Path dir, meta::Meta meta, DataSegments segments, Index index,
               DatasetStateFile state_file);

  // "dataset {name}/{type} is closed" once closed.
  Status check_open() const;
  bool read_only() const { return context.has_value() && context->read_only; }
  // The store's block cache, when this dataset may use it (an identifier and a context).
  BlockCache* block_cache() const;
  JournalHook* journal_hook() const;
  // The journal's room for the record of a change, made before the change; holds nothing
  // without a journal.
  Result<JournalRoom> journal_room(JournalHook* journal, JournalHook::Change change) const;
  // latest - window, saturating; none without a window or a latest timestamp.
  std::optional<std::int64_t> retention_threshold() const;
  // The wake callbacks collected by writes since the last call, to run once unlocked.
  Wake take_wake() { return std::move(pending_wake_); }

  // Writes.
  Status write(std::int64_t ts, std::span<const std::uint8_t> data);
  Status append(std::int64_t ts, std::span<const std::uint8_t> data);
  Result<std::int64_t> push_next(std::span<const std::uint8_t> data);
  Status delete_record(std::int64_t ts);
  // A checked record (check_writable_ts) as a new, corrected or replacing record.
  Result<IndexEntry> write_record(std::int64_t ts, std::span<const std::uint8_t> data, BlockCache* cache);
  Result<IndexEntry> write_out_of_order(std::int64_t ts, std::span<const std::uint8_t> data, BlockCache* cache);

  // Reads (negative timestamps count back from the latest).
  Result<std::optional<RecordData>> read(std::int64_t ts);
  Result<std::optional<RecordData>> read_latest();
  Result<bool> read_exist(std::int64_t ts);
  Result<std::optional<std::uint32_t>> read_length(std::int64_t ts);
  // A resolved, non-negative timestamp.
  Result<std::optional<RecordData>> read_one(std::int64_t ts, BlockCache* cache);
  // read and read_latest handing the record to visit in place; false when there is none. Beside
  // a live writer visit may be called again for the record, the last call counting.
  Result<bool> visit_read(std::int64_t ts, const RecordVisitor& visit);
  Result<bool> visit_latest(const RecordVisitor& visit);
  Result<std::vector<RecordData>> query_all(std::int64_t start, std::int64_t end);
  Result<std::vector<RecordLength>> query_length_all(std::int64_t start, std::int64_t end);
  // The records of query_all handed to visit one by one, read in place.
  Status visit_range(std::int64_t start, std::int64_t end, const RecordVisitor& visit);
  Result<std::vector<std::uint8_t>> query_exist(std::int64_t start, std::int64_t end);
  // The queue's reads: every entry of the range (sentinels included), and a live entry's record
  // without the retention test.
  Result<std::vector<IndexEntry>> index_entries(std::int64_t start, std::int64_t end);
  Result<RecordData> read_entry(const IndexEntry& entry);
  // One step of an index walk over [from, to] that treats entries below the current retention
  // threshold as absent; the caller narrows the range past each hit. live_only passes over
  // sentinels within the step.
  Result<std::optional<IndexHit>> next_in_range(std::int64_t from, std::int64_t to,
                                                std::optional<IndexCursor> cursor, bool live_only = false);
  Result<std::optional<IndexHit>> prev_in_range(std::int64_t from, std::int64_t to,
                                                std::optional<IndexCursor> cursor, bool live_only = false);
  // start and end with negative values counted back from the latest; none when the end is
  // before every record.
  std::optional<std::pair<std::int64_t, std::int64_t>> resolve_bounds(std::int64_t start, std::int64_t end) const;
  // [effective start, end] of a range read, or none when it is empty.
  std::optional<std::pair<std::int64_t, std::int64_t>> resolve_range(std::int64_t start, std::int64_t end) const;

  // Lifecycle.
  Status flush();
  // Takes this dataset's targets off the store's dirty-target queue and syncs them. A closed
  // dataset takes nothing: a dataset opened again under its key since owns what is queued there.
  Status flush_queued();
  Status flush_targets(std::vector<FlushTarget> targets);
  Status close_queue();
  DataSetInspectResult inspect();

 private:
  friend class BlockReader;
  std::optional<std::int64_t> resolve_single(std::int64_t ts) const;
  Status check_writable_ts(std::int64_t ts, std::size_t len) const;
  Result<IndexEntry> new_write(std::int64_t ts, std::span<const std::uint8_t> data);
  // The bookkeeping for a record that is no longer referenced (replaced or deleted).
  Status retire(const IndexEntry& old, BlockCache* cache);
  Status flush_target(const FlushTarget& target);

  Wake pending_wake_;
};

class QueryState;

class Dataset {
 public:
  using Guard = Mutex<DatasetInner>::Guard;

  static Result<Dataset> create(const DataSetKey& key, const fs::Path& dir, const DataSetConfig& config);
  // shown_dir: dir as the caller spelled it, for messages, inspection and dir_path() (dir
  // itself when empty).
  static Result<Dataset> open(const DataSetKey& key, const fs::Path& dir, const fs::Path& shown_dir = {});
  static Result<Dataset> open_read_only(const DataSetKey& key, const fs::Path& dir, const fs::Path& shown_dir = {});

  // Exclusive access to the state; "dataset mutex poisoned" after an internal failure under it.
  Result<Guard> lock() const;

  Status attach_context(DatasetContext context);
  Status set_identifier(std::uint64_t identifier);
  // From now on, a file of this read-only dataset reached by name counts only while still_here
  // succeeds, and a read reports its error instead. Checked once here, which covers everything
  // the open read since the caller last saw the dataset's identity. Nothing for a writable one.
  Status guard_generation(GenerationGuard::Check still_here);
  Status close();
  // Synchronises everything of the dataset that is not clean, then, for a journalled dataset,
  // the journal's records of its changes (after the other datasets they name).
  Status flush();
  // The same for the background and the journal's own flush: the dataset only, not counted
  // as activity; a closed dataset has nothing to sync.
  Status flush_quietly() const;
  Status flush_targets(std::vector<FlushTarget> targets);
  Status release_idle();
  Result<std::uint64_t> reclaim_expired();
  Result<DataSetInspectResult> inspect();

  // These answer even when the mutex is poisoned: 0, none, false, 0, an empty path, now.
  std::uint64_t identifier() const;
  std::optional<std::int64_t> latest_timestamp() const;
  bool enable_journal() const;
  std::uint64_t retention_window() const;
  fs::Path dir_path() const;  // the shown directory
  Instant last_activity() const;

  Status write(std::int64_t ts, std::span<const std::uint8_t> data);
  Status write_now(std::span<const std::uint8_t> data);
  Status append(std::int64_t ts, std::span<const std::uint8_t> data);
  Status append_now(std::span<const std::uint8_t> data);
  Result<std::int64_t> push_next(std::span<const std::uint8_t> data);
  Status delete_record(std::int64_t ts);

  Result<std::optional<RecordData>> read(std::int64_t ts);
  Result<std::optional<RecordData>> read_latest();
  Result<bool> visit_read(std::int64_t ts, const RecordVisitor& visit);
  Result<bool> visit_latest(const RecordVisitor& visit);
  Result<bool> read_exist(std::int64_t ts);
  Result<std::optional<std::uint32_t>> read_length(std::int64_t ts);
  Result<QueryState> query(std::int64_t start, std::int64_t end);
  Result<std::vector<RecordData>> query_all(std::int64_t start, std::int64_t end);
  Result<std::vector<RecordLength>> query_length_all(std::int64_t start, std::int64_t end);
  Status visit_range(std::int64_t start, std::int64_t end, const RecordVisitor& visit);
  Result<std::vector<std::uint8_t>> query_exist(std::int64_t start, std::int64_t end);
  Result<std::vector<IndexEntry>> index_entries(std::int64_t start, std::int64_t end);
  Result<RecordData> read_entry(const IndexEntry& entry);

  // Two handles are the same dataset.
  bool same_as(const Dataset& other) const { return mutex_ == other.mutex_; }

 private:
  explicit Dataset(std::shared_ptr<Mutex<DatasetInner>> mutex) : mutex_(std::move(mutex)) {}
  static Result<Dataset> open_with(const DataSetKey& key, const fs::Path& dir, const fs::Path& shown_dir,
                                   bool read_only);
  // Lock, closed check, f, then the collected wake callbacks once unlocked.
  template <class F>
  auto run_open(F&& f);

  std::shared_ptr<Mutex<DatasetInner>> mutex_;
};

template <class F>
auto Dataset::run_open(F&& f) {
  using R = decltype(f(std::declval<DatasetInner&>()));
  auto locked = lock();
  if (!locked) return R(std::unexpected<Error>(std::move(locked).error()));
  Guard guard = std::move(locked).value();
  if (auto open = guard->check_open(); !open) return R(std::unexpected<Error>(std::move(open).error()));
  R result = f(*guard);
  Wake wake = guard->take_wake();
  guard.release();
  wake.run();
  return result;
}

// One lazy range query: steps forwards or backwards through the index, one record at a time,
// seeing the dataset as it is at each step. It holds no lock between steps.
class QueryState {
 public:
  // One index step; the entry may be a sentinel.
  Result<std::optional<IndexEntry>> next_entry();
  Result<std::optional<RecordData>> next_record();
  Result<std::optional<RecordLength>> next_length();
  // These end the query, on success and on failure alike.
  Result<std::vector<RecordData>> collect_records();
  Result<std::vector<RecordData>> take_records(std::uint64_t count);
  Result<std::vector<RecordLength>> collect_lengths();
  Result<std::vector<RecordLength>> take_lengths(std::uint64_t count);
  // The next record handed to visit, read in place under the dataset's lock; false at the end.
  Result<bool> next_record_view(const RecordVisitor& visit);
  // Up to count records handed to visit (fewer when it stops them); ends the query, on success
  // and on failure alike.
  Status visit_records(std::uint64_t count, const RecordVisitor& visit);
  // Skips count live entries at the end the query is currently moving from.
  void skip(std::uint64_t count);
  void reverse();

  bool exhausted() const { return exhausted_; }
  bool reversed() const { return reversed_; }
  std::int64_t from() const { return from_; }
  std::int64_t to() const { return to_; }

 private:
  friend class Dataset;
  QueryState(Dataset dataset, Dataset reader, std::int64_t from, std::int64_t to)
      : dataset_(std::move(dataset)), reader_dataset_(std::move(reader)), from_(from), to_(to), exhausted_(to < from) {}

  // One index step; with live_only it passes over sentinels, which a record read would only
  // drop, without leaving the lock.
  Result<std::optional<IndexEntry>> step(bool live_only);
  // The dataset's lock for a step, its closed check passed; none when the query has ended.
  Result<std::optional<Dataset::Guard>> lock_for_step();
  // A step under that lock.
  Result<std::optional<IndexEntry>> step_in(DatasetInner& d, bool live_only);
  // Moves the front (or back) past n live entries; false when the query ran out.
  Result<bool> skip_front(DatasetInner& inner, std::uint64_t n);
  Result<bool> skip_back(DatasetInner& inner, std::uint64_t n);
  template <class T, class Step>
  Result<std::vector<T>> take(std::uint64_t count, Step step);
  // The index's count of the remaining range's entries (never more than it holds), to size a
  // collected result once. The dataset is locked briefly for it; a lock that fails leaves the
  // sizing to the steps, which report the failure.
  std::uint64_t entries_hint() const;
  void end();

  std::optional<Dataset> dataset_;
  std::optional<Dataset> reader_dataset_;
  std::int64_t from_;
  std::int64_t to_;
  std::uint64_t front_skip_ = 0;
  std::uint64_t back_skip_ = 0;
  bool reversed_ = false;
  bool exhausted_;
  std::optional<IndexCursor> cursor_;
  BlockReader reader_;
};

}  // namespace quelvane
