// The ordered set of a dataset's data segment files in `<dataset dir>/data`. Every block of the
// dataset has one global position: segment k has file offset k x data_segment_size, and a
// block's position is that offset plus the block's offset inside the segment. The set picks
// the segment for a new record, grows it and rolls over to a new file when it cannot grow,
// folds the totals of the segments it leaves behind into the dataset state file, locates the
// segment of a position, and retires expired segments. Opening only scans the directory; a
// segment is mapped on first use and released again by close_all().
//
// Used only under the dataset's mutex; nothing here locks.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "cache.h"
#include "dataset_state.h"
#include "dirty_queue.h"
#include "error.h"
#include "index/entry.h"
#include "index/watermark.h"
#include "segment/data.h"
#include "util/fs.h"

namespace quelvane {

// A segment that is not mapped: what the set knows of it without opening it. A file that could
// not be read keeps the empty values.
struct DataSegmentSummary {
  fs::Path path;
  std::uint64_t file_offset = 0;
  std::uint64_t file_size = 0;
  std::int64_t min_ts = std::numeric_limits<std::int64_t>::max();
  std::int64_t max_ts = std::numeric_limits<std::int64_t>::min();
  std::uint64_t record_count = 0;
  std::uint64_t data_size = 0;  // bytes of blocks after the header
  std::uint64_t uncompressed_size = 0;
  std::uint64_t invalid_record_count = 0;

  SegmentStats stats() const;
  static DataSegmentSummary of(const DataSegment& segment);
};

// One file of the set: an open segment, or the summary of a closed one.
class DataSegmentSlot {
 public:
  explicit DataSegmentSlot(DataSegment segment) : value_(std::move(segment)) {}
  explicit DataSegmentSlot(DataSegmentSummary summary) : value_(std::move(summary)) {}

  bool is_open() const { return std::holds_alternative<DataSegment>(value_); }
  DataSegment* segment() { return std::get_if<DataSegment>(&value_); }
  const DataSegment* segment() const { return std::get_if<DataSegment>(&value_); }
  const DataSegmentSummary* summary() const { return std::get_if<DataSegmentSummary>(&value_); }
  const fs::Path& path() const;
  SegmentStats stats() const;

  void close_to_summary();

 private:
  std::variant<DataSegment, DataSegmentSummary> value_;
};

// Where DataSegments::write stored a record.
struct WritePlace {
  std::uint64_t file_offset = 0;
  std::uint64_t block_offset = 0;
  std::uint16_t in_block = 0;

  std::uint64_t position() const { return file_offset + block_offset; }
  bool operator==(const WritePlace&) const = default;
};

// Where a cut after a power loss left the data: its last segment and the global position its
// blocks now end at (both 0 with no segment).
struct DataCut {
  std::uint64_t last_segment = 0;
  std::uint64_t end = 0;
};

class DataSegments final : public DataSync {
 public:
  // 20 zero-padded decimal digits.
  static std::string file_name(std::uint64_t file_offset);

  // An empty set; `<dataset_dir>/data` is created. No segment file exists before the first write.
  static Result<DataSegments> create(const fs::Path& dataset_dir, std::uint64_t data_segment_size,
                                     std::uint64_t initial_data_segment_size, std::uint8_t compress_level,
                                     std::uint8_t compress_type);
  // The segments found in `<dataset_dir>/data`, every one closed.
  static Result<DataSegments> open(const fs::Path& dataset_dir, std::uint64_t data_segment_size,
                                   std::uint64_t initial_data_segment_size, std::uint8_t compress_level,
                                   std::uint8_t compress_type);

  DataSegments(DataSegments&&) noexcept = default;
  DataSegments& operator=(DataSegments&&) noexcept = default;

  // Stores a record in the latest segment, growing it or rolling over to a new one. hook (the
  // dataset state file, or none) receives the totals of the segments left behind.
  Result<WritePlace> write(std::int64_t timestamp, std::span<const std::uint8_t> data, SegmentStatsHook* hook);

  // The open segment at file_offset, opened first when closed. The pointer stays valid until the
  // set next opens, closes or removes segments.
  Result<DataSegment*> get_or_reopen(std::uint64_t file_offset);
  // The open segment holding a global position. Error::NotFound when no segment covers it (or
  // its file is gone); a segment that cannot be opened gives its own error.
  Result<DataSegment*> locate(std::uint64_t position);
  // The data length of the record an index entry names (entry.block_offset is global).
  Result<std::uint32_t> entry_record_len(const IndexEntry& entry, BlockCache* cache);

  // Extends the latest record, which must be the last of the latest segment's pending block.
  Result<std::uint32_t> append_to_record(std::uint64_t position, std::uint16_t in_block,
                                         std::span<const std::uint8_t> bytes);
  // Rewrites the latest record in place, under the same condition.
  Status correction_write(std::uint64_t position, std::uint16_t in_block, std::span<const std::uint8_t> data);
  // Counts one more superseded or deleted record in the segment holding position.
  Status invalidate(std::uint64_t position);

  // Hands the hook the totals of the segments in [its watermark, new_file_offset).
  Status fold_sealed_stats(SegmentStatsHook* hook, std::uint64_t new_file_offset);
  // Synchronises every open segment, in ascending order; stops at the first failure.
  Status flush();
  // flush(), then where the data ends: what the index may name once this returned.
  Result<DataMark> sync_data() override;
  std::optional<DataMark> durable_mark() const override { return durable_mark_; }
  DataMark mark() const;
  // After a power loss: the data goes back to what a mark covered, and to the record `named`
  // when it lies past it (an entry the flush covered was rewritten to name a later copy).
  // Segments past the last one kept are removed, that one is cut after the records it must
  // keep (a seal or an extension made durable past them is kept whole), synchronised, and the
  // set is scanned again.
  Result<DataCut> cut_to(const DataMark& mark, const std::optional<IndexEntry>& named);
  // Whether the record an index entry names lies below end and reads with the entry's timestamp.
  bool holds_record(const IndexEntry& entry, std::uint64_t end);
  // Synchronises and closes every open segment into its summary; stops at the first failure.
  Status close_all();
  // Removes the closed segments whose newest record is below cutoff; returns their totals.
  std::vector<SegmentStats> reclaim_expired(std::int64_t cutoff);
  void set_notifier(std::optional<FlushNotifier> notifier);

  const fs::Path& data_dir() const { return data_dir_; }
  std::uint64_t data_segment_size() const { return data_segment_size_; }
  std::uint64_t next_file_offset() const { return next_file_offset_; }
  // The file offset of the segment that takes new records (0 while there is none).
  std::uint64_t latest_file_offset() const;
  // The file offset of the segment that holds a global position.
  std::uint64_t segment_offset_of(std::uint64_t position) const { return position - position % data_segment_size_; }
  std::uint64_t cache_id() const { return cache_id_; }
  void set_cache_id(std::uint64_t id) { cache_id_ = id; }
  const std::map<std::uint64_t, DataSegmentSlot>& slots() const { return slots_; }
  std::size_t open_count() const;
  // The open segment at file_offset, if that slot is open (flush targets look segments up here).
  DataSegment* find_open(std::uint64_t file_offset);

 private:
  DataSegments(fs::Path data_dir, std::uint64_t data_segment_size, std::uint64_t initial_data_segment_size,
               std::uint8_t compress_level, std::uint8_t compress_type)
      : data_dir_(std::move(data_dir)),
        data_segment_size_(data_segment_size),
        initial_data_segment_size_(initial_data_segment_size),
        compress_level_(compress_level),
        compress_type_(compress_type) {}

  // Registers, as closed slots, the segment files at file offset from or above that the set does
  // not hold yet, and moves next_file_offset past them.
  Status scan_from(std::uint64_t from);
  // scan_from(next_file_offset_), unless the last such scan found nothing and the directory has
  // not changed since.
  void scan_for_new();
  // The segment that takes the next record: the latest one while it is active and has room,
  // else a new one at next_file_offset.
  Result<DataSegment*> write_target(SegmentStatsHook* hook);
  // Creates the segment at file_offset and puts it in the set.
  Result<DataSegment*> open_new_segment(std::uint64_t file_offset, SegmentStatsHook* hook);
  // Syncs the open segment with the greatest offset and marks it clean, before a new one starts.
  Status settle_last_segment();

  fs::Path data_dir_;
  std::optional<FlushNotifier> notifier_;
  std::uint64_t data_segment_size_;
  std::uint64_t initial_data_segment_size_;
  std::map<std::uint64_t, DataSegmentSlot> slots_;
  // The directory's stamp when scan_for_new last found nothing in it.
  std::optional<fs::DirStamp> fruitless_scan_;
  std::uint64_t next_file_offset_ = 0;
  // A new set has nothing to make durable; an opened one knows nothing until it syncs (a kill
  // may have left what no sync covered).
  std::optional<DataMark> durable_mark_;
  std::uint64_t cache_id_ = 0;
  std::uint8_t compress_level_;
  std::uint8_t compress_type_;
};

}  // namespace quelvane
