// The dataset index: every written timestamp mapped to the place of its record, kept as a set
// of index segment files ordered by start timestamp. Segments are opened lazily: at open every
// file is a closed summary, mapped only when an operation needs it.
//
// Sparse mode holds one entry per written timestamp, strictly increasing; a segment starts at
// the first timestamp written into it. Continuous mode holds one slot per timestamp on a grid
// laid from the base timestamp; skipped timestamps hold sentinel placeholders.
//
// The index hands out sentinel entries like any other: callers treat them as absent records.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "dataset_state.h"
#include "dirty_queue.h"
#include "error.h"
#include "index/entry.h"
#include "index/segment.h"
#include "index/watermark.h"
#include "util/fs.h"

namespace quelvane {

// A segment file that is not open.
struct IndexSegmentSummary {
  std::optional<std::int64_t> last_timestamp;  // of its last whole entry, when readable
  fs::Path path;
  std::int64_t start = 0;
  std::uint64_t capacity = 0;
  std::uint64_t count = 0;
  std::uint64_t header_len = IndexSegment::kHeaderLen;
};

using IndexSegmentSlot = std::variant<IndexSegment, IndexSegmentSummary>;

// Where a range step stopped: a hint for the next step, which the caller gives together with
// a range narrowed past the returned timestamp.
struct IndexCursor {
  std::int64_t segment_start = 0;
  std::uint64_t slot = 0;
};

struct IndexHit {
  std::int64_t segment_start = 0;
  std::uint64_t slot = 0;
  IndexEntry entry;
};

using TimeRange = std::pair<std::int64_t, std::int64_t>;

class Index {
 public:
  class RangeReader;

  // An empty index over a new directory (created with its parents).
  static Result<Index> create(const fs::Path& dir, std::uint64_t index_segment_size,
                              std::uint64_t initial_index_segment_size, bool continuous, std::uint8_t compress_level,
                              std::uint8_t compress_type);
  // Every segment file of dir as a closed summary; a missing directory opens an empty index.
  static Result<Index> open(const fs::Path& dir, std::uint64_t index_segment_size,
                            std::uint64_t initial_index_segment_size, bool continuous, std::uint8_t compress_level,
                            std::uint8_t compress_type);

  ~Index();
  Index(Index&&) noexcept = default;
  Index& operator=(Index&&) noexcept = default;
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // Installed on the index and every open segment; none stops the reports.
  void set_notifier(std::optional<FlushNotifier> notifier);
  // What every sync of an index segment makes durable first; with it the newest segment's
  // header carries the watermark. The index does not own it.
  void set_data_sync(DataSync* data_sync) { data_sync_ = data_sync; }

  // The watermark the newest segment's header holds, as the last sync left it.
  std::optional<Watermark> durable_watermark() const;
  // After a power loss: the entries of the newest segment from slot `trusted` on are kept while
  // they follow each other in order and `holds` confirms the record of every live one; the
  // first that does not, and all after it, are cut. Returns how many were cut.
  Result<std::uint64_t> cut_unconfirmed(std::uint64_t trusted, const std::function<bool(const IndexEntry&)>& holds);
  // The live entries a mark covering the newest segment's first `trusted` covers (every entry
  // of the older segments) that name a block at or past `from`: a second write or a correction
  // since the flush can have rewritten one to name a copy past the mark's data.
  Result<std::vector<IndexEntry>> covered_entries_from(std::uint64_t trusted, std::uint64_t from);
  // Whether the entry of ts is on the disk as it is now, so that rewriting it must wait for
  // what the new entry names to be durable.
  bool entry_durable(std::int64_t ts) const;

  // A new latest entry without filling (sparse datasets).
  Status append(std::int64_t ts, std::uint64_t block_offset, std::uint16_t in_block, TimeRangeHook* hook);
  // A new latest entry after the previous latest; continuous mode fills the skipped slots.
  Status append_after(std::optional<std::int64_t> previous, std::int64_t ts, std::uint64_t block_offset,
                      std::uint16_t in_block, TimeRangeHook* hook);
  // Refuses, naming the file, a new latest entry at ts that could only go into a segment
  // whose file cannot be read; checked before the record is stored, so that a refused write
  // stores nothing. A sparse entry above such a segment's start goes into a new segment.
  Status check_new_latest(std::int64_t ts);
  // Continuous mode: makes the segments a new latest entry at ts after previous fills hold its
  // placeholders and its entry (grown, or created empty), so that once its record is stored
  // the append cannot fail for want of space; a write refused here has written nothing.
  // Sparse mode, or before the grid has a base: nothing to do.
  Status make_room_after(std::optional<std::int64_t> previous, std::int64_t ts, TimeRangeHook* hook);
  // The entry stored for exactly ts, sentinels included.
  Result<std::optional<IndexEntry>> lookup(std::int64_t ts);
  // Points the entry of ts at a new location and returns the one it held (a sentinel when a
  // continuous slot is filled for the first time).
  Result<IndexEntry> correct_entry(std::int64_t ts, std::uint64_t block_offset, std::uint16_t in_block,
                                   TimeRangeHook* hook);
  // Turns the entry of ts into the sentinel and returns the entry it held.
  Result<IndexEntry> delete_entry(std::int64_t ts);

  // One step of a range walk over [from, to], upwards resp. downwards. With live_only the
  // step passes over sentinels and returns the first live entry, so a walk over a sparsely
  // written continuous range costs one step per record, not one per slot.
  Result<std::optional<IndexHit>> next_in_range(std::int64_t from, std::int64_t to,
                                                std::optional<IndexCursor> cursor, bool live_only = false);
  Result<std::optional<IndexHit>> prev_in_range(std::int64_t from, std::int64_t to,
                                                std::optional<IndexCursor> cursor, bool live_only = false);
  // Every entry of [from, to] in ascending order, streamed a batch at a time. The reader
  // refers to this index and must not outlive it or see it moved.
  RangeReader read_range(std::int64_t from, std::int64_t to);
  // The same, collected.
  Result<std::vector<IndexEntry>> entries_in_range(std::int64_t from, std::int64_t to);
  // How many entries [from, to] holds, for sizing a range read's result up front, without
  // mapping anything: exact over open segments, a closed segment counted only when it lies
  // wholly inside the range. Never more than the entries the range holds, nor than the
  // segments visited hold, also over a damaged segment whose order the searches cannot trust;
  // 0 in continuous mode, where placeholders would outnumber the records by any margin.
  std::uint64_t entries_hint(std::int64_t from, std::int64_t to) const;

  // (smallest start, greatest last timestamp) over every segment but the newest.
  std::optional<TimeRange> sealed_time_range() const;
  // The newest segment's (start, last timestamp), when it holds a readable entry.
  std::optional<TimeRange> newest_time_range() const;
  // The greatest last timestamp over all segments: the latest indexed timestamp, which may be a
  // deleted record or a placeholder.
  std::optional<std::int64_t> latest_timestamp() const { return latest_; }
  // The latest timestamp as a reopened dataset recomputes it: the last whole entry of the
  // newest closed segment that holds entries, read from its file, and that of the newest open
  // segment that holds entries; unreadable ones contribute nothing.
  std::optional<std::int64_t> read_latest_timestamp() const;

  std::size_t open_segment_count() const;
  std::size_t segment_count() const { return segments_.size(); }
  std::optional<std::int64_t> base() const { return base_; }
  bool continuous() const { return continuous_; }
  const fs::Path& dir() const { return dir_; }

  // Synchronises every open segment in start order, the data first; the first failure ends
  // the pass. The newest segment takes the watermark, re-stamped with this boot.
  Status flush();
  // Synchronises one segment named by a dirty target; absent, closed or clean ones need nothing.
  Status flush_segment(std::int64_t start);
  // Synchronises and closes every open segment; one whose sync fails stays open, registered
  // and dirty, and ends the pass.
  Status close_segments();
  // Deletes the closed segments whose every entry lies below cutoff (and empty ones); returns
  // how many left the index.
  std::uint64_t retain_after(std::int64_t cutoff);

 private:
  using Segments = std::map<std::int64_t, IndexSegmentSlot>;

  Index(fs::Path dir, std::uint64_t index_segment_size, std::uint64_t initial_index_segment_size, bool continuous,
        std::uint8_t compress_level, std::uint8_t compress_type);

  // Continuous grid: the start of t's segment, and the last timestamp a segment covers.
  Result<std::int64_t> continuous_segment_start(std::int64_t t) const;
  Status check_segment_size() const;
  std::uint64_t entries_per_segment() const;
  std::int64_t segment_end(std::int64_t start) const;
  // The start of the segment that would hold t (continuous: its grid start, errors returned;
  // sparse: the greatest start at or below t, none when there is none).
  Result<std::optional<std::int64_t>> locate(std::int64_t t) const;

  // The open, mapped segment registered at start.
  Result<IndexSegment*> segment_at(std::int64_t start);
  // segment_at, or a new segment file at start after the previous newest was synchronised and
  // the hook told the range of the segments before it.
  Result<IndexSegment*> segment_for(std::int64_t start, TimeRangeHook* hook);
  // The segment a new latest entry at ts would go into first: ts's grid segment, or the
  // newest; none when there is none.
  Result<std::optional<std::int64_t>> new_latest_segment(std::int64_t ts) const;
  // True when that segment is a closed file that cannot be read and a sparse entry at ts can
  // start a segment of its own; the refusal of check_new_latest when it cannot.
  Result<bool> newest_is_damaged(std::int64_t ts);
  Status append_growing(IndexSegment& seg, const IndexEntry& entry);
  // The segment at start, made when missing, grown until it holds slots entries or is at its
  // maximum size.
  Status make_room_in(std::int64_t start, std::uint64_t slots, TimeRangeHook* hook);
  Status append_sparse(const IndexEntry& entry, TimeRangeHook* hook);
  Status append_continuous(const IndexEntry& entry, TimeRangeHook* hook);
  Status fill_placeholders(std::int64_t from, std::int64_t to);
  Status fill_segment(IndexSegment& seg, std::int64_t first, std::uint64_t n);
  Result<IndexEntry> insert_out_of_order(const IndexEntry& entry, TimeRangeHook* hook);
  // Continuous appends that set the base drop it again when they leave no entry behind, as a
  // reopened index would. A template, not a std::function: every continuous write passes
  // through here, and a capturing closure would be allocated on each.
  template <class Append>
  Status with_base(std::int64_t ts, Append&& append);
  // Placeholders in ts's grid segment from the slots it holds up to ts - 1; false when the
  // segment already holds ts's slot.
  Result<bool> fill_up_to(std::int64_t ts);
  // Sparse: removes the empty segments above ts at the top of the map (what a roll-over
  // interrupted before its first entry leaves), which would otherwise make every later write
  // start a segment of its own.
  Status drop_empty_above(std::int64_t ts);
  // Forgets a segment that holds no entry and removes its file.
  Segments::iterator discard_empty(Segments::iterator it);
  // Syncs the data, then the segment, the newest one with a watermark naming both; returns
  // the data mark (none without a data sync).
  Result<std::optional<DataMark>> sync_segment(IndexSegment& seg);
  Watermark mark_for(const DataMark& data, std::uint64_t entries) const;

  static std::optional<TimeRange> contribution(const IndexSegmentSlot& slot);
  static std::optional<TimeRange> time_range(Segments::const_iterator first, Segments::const_iterator last);
  bool holds_entries() const;
  void refresh_latest();
  void note_latest(std::optional<std::int64_t> ts);

  std::optional<std::int64_t> base_;
  fs::Path dir_;
  std::optional<FlushNotifier> notifier_;
  DataSync* data_sync_ = nullptr;
  std::uint64_t index_segment_size_ = 0;
  std::uint64_t initial_index_segment_size_ = 0;
  Segments segments_;
  std::uint64_t header_len_ = IndexSegment::kHeaderLen;
  bool continuous_ = false;
  std::uint8_t compress_level_ = 0;
  std::uint8_t compress_type_ = 0;
  // The greatest last timestamp over all segments, kept so that a sparse append need not
  // visit every segment.
  std::optional<std::int64_t> latest_;
};

// Streams the entries of a range segment by segment, holding at most one batch. It finds its
// place again by segment start and slot on every refill, so the index may change in between.
class Index::RangeReader {
 public:
  // The next entry in ascending order, sentinels included; none once the range is exhausted.
  Result<std::optional<IndexEntry>> next();
  // The entries next() would give up to the end of the current batch, taken all at once; an
  // empty span once the range is exhausted. The span lasts until the reader is next used.
  Result<std::span<const IndexEntry>> next_batch();

 private:
  friend class Index;
  static constexpr std::size_t kBatch = 4096;

  RangeReader(Index& index, std::int64_t from, std::int64_t to)
      : index_(&index), from_(from), to_(to), done_(to < from) {}
  Status refill();

  Index* index_;
  std::int64_t from_;
  std::int64_t to_;
  bool done_;
  bool started_ = false;
  std::int64_t segment_ = 0;  // the segment being read
  bool positioned_ = false;   // slot_ is the next slot of segment_
  std::uint64_t slot_ = 0;
  std::vector<IndexEntry> batch_;
  std::size_t pos_ = 0;
};

}  // namespace quelvane
