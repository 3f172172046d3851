// One index segment file: a 128-byte header area, then packed 14-byte entries, each the
// timestamp's distance from the segment start (u32), the record's block position (u64) and its
// offset inside the block (u16). The file is named after its start timestamp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dirty_queue.h"
#include "error.h"
#include "index/entry.h"
#include "index/watermark.h"
#include "util/fs.h"
#include "util/mapped_file.h"

namespace quelvane {

class IndexSegment {
 public:
  static constexpr std::uint64_t kHeaderLen = 128;
  static constexpr std::uint64_t kEntrySize = 14;
  // The largest distance of an entry from its segment start.
  static constexpr std::uint64_t kMaxDelta = 0xFFFF'FFFFull;

  // A new, empty segment `<dir>/<start as 20 digits>` of initial_size rounded down to whole
  // entries. A failed create leaves no file behind.
  // A mark given is in its header from the start, so that a new newest segment never reads as
  // "not known".
  static Result<IndexSegment> create(const fs::Path& dir, std::int64_t start, std::uint64_t initial_size,
                                     std::uint64_t max_size, std::uint8_t compress_level,
                                     std::uint8_t compress_type,
                                     const std::optional<Watermark>& mark = std::nullopt);
  // A segment file found on disk; its header must name expected_start.
  static Result<IndexSegment> open(const fs::Path& path, std::int64_t expected_start, std::uint64_t max_size);
  // The timestamp of the file's last whole entry (a deleted record's too), without keeping
  // anything open; none for a file of 8 bytes or fewer, or one without entries.
  static Result<std::optional<std::int64_t>> read_last_timestamp(const fs::Path& path);
  // The durable watermark in a segment file's header, without keeping anything open.
  static std::optional<Watermark> read_watermark(const fs::Path& path);
  // 20 zero-padded decimal digits; a negative start carries its sign first.
  static std::string file_name(std::int64_t start);

  IndexSegment(IndexSegment&& o) noexcept;
  IndexSegment& operator=(IndexSegment&& o) noexcept;
  IndexSegment(const IndexSegment&) = delete;
  IndexSegment& operator=(const IndexSegment&) = delete;
  // Synchronises a mapped segment that changed before releasing it; a failure can only be
  // logged here.
  ~IndexSegment();

  // Maps the file again when the segment is unmapped.
  Status ensure_mapped();
  // Doubles the file length, up to the maximum size. A failure keeps the mapping as it was.
  Status grow();
  // Writes the entry at slot count.
  Status append(const IndexEntry& entry);
  // Writes sentinels for first, first + 1, ... at slots count onward: as many of the n as the
  // current capacity holds, with one entries_end update. Returns how many were written;
  // Error::SegmentFull when none fits.
  Result<std::uint64_t> append_sentinels(std::int64_t first, std::uint64_t n);
  // Rewrites an existing slot; only append extends the segment.
  Status overwrite(std::uint64_t slot, const IndexEntry& entry);
  Result<IndexEntry> entry_at(std::uint64_t slot);
  // Forgets the entries from slot count on (a torn tail a power loss left).
  Status truncate(std::uint64_t count);

  // The watermark in the mapped header; none when absent or unreadable.
  std::optional<Watermark> watermark() const;
  void write_watermark(const Watermark& mark);

  // The entry with exactly timestamp t: binary search (sparse), or t's own slot (continuous).
  std::optional<IndexEntry> find_exact(std::int64_t t) const;
  std::optional<IndexEntry> slot_entry(std::int64_t t) const;
  std::optional<std::pair<std::uint64_t, IndexEntry>> find(std::int64_t t, bool continuous) const;
  // The first slot whose timestamp is at or above (lower) or above (upper) t.
  std::uint64_t lower_bound(std::int64_t t, bool continuous) const;
  std::uint64_t upper_bound(std::int64_t t, bool continuous) const;
  // Every entry with a timestamp in [from, to], in slot order, sentinels included.
  std::vector<IndexEntry> collect_range(std::int64_t from, std::int64_t to, bool continuous) const;

  // Appends to out the entries from slot onward, at most limit of them, while their timestamp
  // is at most to. next_slot is the slot after the last one taken; ended is set when an entry
  // above to, an unreadable slot or the end of the segment was reached.
  struct Run {
    std::uint64_t next_slot = 0;
    bool ended = false;
  };
  Run read_run(std::uint64_t slot, std::int64_t to, std::size_t limit, std::vector<IndexEntry>& out) const;

  // The first slot in [slot, end) whose entry is live, else end (slot itself when it is not
  // below end); the last one in [low, slot], else none. A slot outside the mapping counts as
  // live, so that reading it reports it. These let a walk that only wants records pass over
  // runs of sentinels without decoding them.
  std::uint64_t first_live(std::uint64_t slot, std::uint64_t end) const;
  std::optional<std::uint64_t> last_live(std::uint64_t slot, std::uint64_t low) const;

  // The timestamp of the last slot, when the segment is mapped, holds an entry and that entry
  // is readable.
  std::optional<std::int64_t> last_timestamp() const;

  void set_notifier(std::optional<FlushNotifier> notifier);
  // msync of a mapped segment that changed since its last sync; the segment counts as clean
  // (and may report itself again) only once that succeeded. An unmapped or clean segment holds
  // nothing unsynchronised.
  Status sync();

  std::int64_t start() const { return start_; }
  std::uint64_t count() const { return count_; }
  // Slots below this were on the disk at the last sync (all of them, for a segment opened from
  // its file): rewriting one must wait until what it will name is durable.
  std::uint64_t synced_count() const { return synced_count_; }
  std::uint64_t capacity() const { return capacity_; }
  std::uint64_t file_size() const { return file_size_; }
  std::uint64_t max_file_size() const { return max_file_size_; }
  std::uint64_t header_len() const { return kHeaderLen; }
  bool mapped() const { return file_.mapped(); }
  bool clean() const { return dirty_.clean(); }
  bool notified() const { return dirty_.notified(); }
  const fs::Path& path() const { return path_; }

 private:
  IndexSegment(MappedFile file, fs::Path path, std::int64_t start, std::uint64_t count, std::uint64_t file_size,
               std::uint64_t max_file_size, std::uint64_t entries_end_pos);

  // The timestamp stored in a slot; none when its bytes lie outside the mapping or start plus
  // delta overflows. Searches treat none as greater than every timestamp.
  std::optional<std::int64_t> timestamp_at(std::uint64_t slot) const;
  std::optional<IndexEntry> read_slot(std::uint64_t slot) const;
  enum class Bound : std::uint8_t { Lower, Upper };
  std::uint64_t sparse_bound(std::int64_t t, Bound bound) const;
  // delta of ts from start, or the range error.
  Result<std::uint32_t> delta_of(std::int64_t ts) const;
  // The slots [first, first + n) and the entries_end word lie inside the mapping.
  Status check_writable(std::uint64_t first, std::uint64_t n) const;
  void write_slot(std::uint64_t slot, std::uint32_t delta, std::uint64_t block_offset, std::uint16_t in_block);
  void set_count(std::uint64_t count);
  void mark_changed();
  void release() noexcept;

  MappedFile file_;
  fs::Path path_;
  std::int64_t start_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t synced_count_ = 0;
  std::uint64_t file_size_ = 0;
  std::uint64_t max_file_size_ = 0;
  // Where this file's header keeps entries_end (11 + meta_length; 52 as written).
  std::uint64_t entries_end_pos_ = 0;
  DirtyTracker dirty_;
};

}  // namespace quelvane
