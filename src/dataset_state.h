// The dataset state file: a 64-byte mapped file of running totals over the sealed data
// segments (every segment below the watermark) and the index's time range, together with the
// two narrow interfaces through which the data segment set and the index report to it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "error.h"
#include "util/fs.h"
#include "util/mapped_file.h"

namespace quelvane {

// The totals of one data segment, as the segment set hands them over at roll-over and returns
// them from retention.
struct SegmentStats {
  std::uint64_t file_offset = 0;
  std::uint64_t record_count = 0;
  std::uint64_t data_size = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint64_t invalid_record_count = 0;
  std::int64_t min_ts = 0;
  std::int64_t max_ts = 0;

  bool operator==(const SegmentStats&) const = default;
};

// Called by the data segment set when it opens a new data segment.
class SegmentStatsHook {
 public:
  virtual ~SegmentStatsHook() = default;
  // The file offset below which segment totals are already folded in.
  virtual std::uint64_t watermark() const = 0;
  // Folds the totals of the segments whose file offsets lie in [watermark, new_file_offset).
  virtual Status on_append(std::uint64_t new_file_offset, std::span<const SegmentStats> segments) = 0;
};

// Called by the index when it opens a new index segment: the range over the earlier segments,
// or none.
class TimeRangeHook {
 public:
  virtual ~TimeRangeHook() = default;
  virtual Status on_time_range(std::optional<std::pair<std::int64_t, std::int64_t>> range) = 0;
};

class DatasetStateFile final : public SegmentStatsHook, public TimeRangeHook {
 public:
  static constexpr std::uint64_t kFileSize = 64;
  static constexpr std::uint32_t kVersion = 1;
  // The stored form of "no time range".
  static constexpr std::int64_t kNoMin = INT64_MAX;
  static constexpr std::int64_t kNoMax = INT64_MIN;

  // `<dataset_dir>/state`, opened writable; created empty when missing, recreated empty when it
  // exists but is not a valid state file.
  static Result<DatasetStateFile> open_or_create(const fs::Path& dataset_dir);
  // Never written: a missing file gives the empty values, an invalid one is refused.
  static Result<DatasetStateFile> open_read_only(const fs::Path& dataset_dir);
  // The existing file at `path`, validated and mapped read-write.
  static Result<DatasetStateFile> open(const fs::Path& path);

  DatasetStateFile(DatasetStateFile&&) noexcept = default;
  DatasetStateFile& operator=(DatasetStateFile&&) noexcept = default;
  DatasetStateFile(const DatasetStateFile&) = delete;
  DatasetStateFile& operator=(const DatasetStateFile&) = delete;
  // Releases the mapping only: every change was synchronised when it was made.
  ~DatasetStateFile() override = default;

  std::uint64_t watermark() const override { return values_.watermark; }
  Status on_append(std::uint64_t new_file_offset, std::span<const SegmentStats> segments) override;
  Status on_time_range(std::optional<std::pair<std::int64_t, std::int64_t>> range) override;

  Status set_time_range(std::int64_t min, std::int64_t max);
  // One more invalid record in a segment below the watermark.
  Status record_delete();
  // Takes the totals of a reclaimed sealed segment out (each stopping at 0); the watermark and
  // the time range stay.
  Status subtract_reclaimed(const SegmentStats& reclaimed);
  // Sets the four totals to the sums over those of the given segments that lie below the
  // watermark, as the segment files now give them; persists only a change, and returns whether
  // there was one.
  Result<bool> refold(std::span<const SegmentStats> segments);
  // After a power loss took the data back to the segment at file_offset: segments from there on
  // are no longer folded in (refold then sums those below). Nothing changes when the watermark
  // is not above it.
  Status lower_watermark(std::uint64_t file_offset);

  std::int64_t min_timestamp() const { return values_.min_timestamp; }
  std::int64_t max_timestamp() const { return values_.max_timestamp; }
  std::uint64_t total_record_count() const { return values_.total_record_count; }
  std::uint64_t total_data_size() const { return values_.total_data_size; }
  std::uint64_t total_uncompressed_size() const { return values_.total_uncompressed_size; }
  std::uint64_t total_invalid_record_count() const { return values_.total_invalid_record_count; }
  bool read_only() const { return read_only_; }
  bool mapped() const { return mapping_.mapped(); }
  const fs::Path& path() const { return path_; }

 private:
  // The seven values the file mirrors, in file order.
  struct Values {
    std::uint64_t watermark = 0;
    std::int64_t min_timestamp = kNoMin;
    std::int64_t max_timestamp = kNoMax;
    std::uint64_t total_record_count = 0;
    std::uint64_t total_data_size = 0;
    std::uint64_t total_uncompressed_size = 0;
    std::uint64_t total_invalid_record_count = 0;

    // Adds a segment's totals, each stopping at the largest value.
    void fold_in(const SegmentStats& s);
    bool operator==(const Values&) const = default;
  };

  DatasetStateFile(MappedFile mapping, fs::Path path, Values values, bool read_only)
      : mapping_(std::move(mapping)), path_(std::move(path)), values_(values), read_only_(read_only) {}

  static Result<DatasetStateFile> create(const fs::Path& path);
  static void write_image(MappedFile& mapping, const Values& values);
  // Writes the in-memory values through to the file and synchronises it.
  Status persist();

  MappedFile mapping_;
  fs::Path path_;
  Values values_;
  bool read_only_ = false;
};

}  // namespace quelvane
