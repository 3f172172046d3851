// One journal segment file: a 108-byte header (the common prefix and meta entries with file
// type 3, then the state words), followed by blocks whose records carry consecutive sequence
// numbers from the segment's base. Small records collect raw in a pending block of up to 64 KiB
// that is compressed in place once the next record does not fit; a record above 65,524 bytes
// gets a compressed block of its own.
//
// The state words are written after every change but never trusted: opening rebuilds every
// counter by scanning the blocks up to the file's length, so a change cut short by a kill is
// found by what its bytes say. Each change stores its record bytes first, then the block header
// that makes them count, then the state words.
//
// The open scan also builds an index of the blocks (first sequence and place of each), which
// appends and seals keep current: a read is one binary search and one block decode, and the
// last decoded block is kept for the next read.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "../error.h"
#include "../util/block_header.h"
#include "../util/fs.h"
#include "../util/mapped_file.h"

namespace quelvane {

// Called with the segment's path at every ordering point of a change, once the stores before
// it are made. Tests install one to take the file as a kill at that point would leave it.
using JournalBarrierObserver = void (*)(const fs::Path& path);
void set_journal_barrier_observer(JournalBarrierObserver observer);

class JournalSegment {
 public:
  static constexpr std::uint64_t kHeaderSize = 108;
  static constexpr std::uint64_t kStateLength = 56;
  static constexpr std::uint64_t kMaxPendingPayload = 65536;
  static constexpr std::uint64_t kMaxPendingRecordLen = kMaxPendingPayload - 12;  // 65,524

  // A new, writable segment with no records, its header synchronised.
  static Result<JournalSegment> create(const fs::Path& path, std::int64_t base_sequence, std::uint64_t initial_size,
                                       std::uint64_t max_file_size, std::uint8_t compress_level,
                                       std::uint8_t compress_type);
  // An existing segment after the open scan; the writable form makes a recovered pending
  // block whole again and rewrites the state words, the read-only form writes nothing.
  static Result<JournalSegment> open(const fs::Path& path, std::int64_t expected_base, std::uint64_t max_file_size);
  static Result<JournalSegment> open_read_only(const fs::Path& path, std::int64_t expected_base,
                                               std::uint64_t max_file_size);
  // The header checks of open, without the block scan. False for a file that is empty or zero
  // up to the end of its header: a create or roll-over cut short, which holds no records.
  static Result<bool> check_header(const fs::Path& path, std::int64_t expected_base);

  JournalSegment(JournalSegment&&) noexcept = default;
  JournalSegment& operator=(JournalSegment&&) noexcept = default;
  JournalSegment(const JournalSegment&) = delete;
  JournalSegment& operator=(const JournalSegment&) = delete;
  // Releases the mapping without a sync: durability comes from flush().
  ~JournalSegment() = default;

  // Stores the record of the sequence that follows the last one. Error::SegmentFull when the
  // file cannot grow enough.
  Status append(std::int64_t sequence, std::span<const std::uint8_t> data);
  // Makes the file hold the next record of len bytes, sealing the pending block first when the
  // record would not fit it: the append of such a record that follows needs no growth and
  // cannot fail for want of space. Error::SegmentFull when the file cannot grow enough. Does
  // nothing for a record above kMaxPendingRecordLen, whose room depends on its compression.
  Status make_room(std::uint64_t len);
  // The record's data; none when the segment holds no such sequence.
  Result<std::optional<std::vector<std::uint8_t>>> read(std::int64_t sequence);
  // Calls visit for every record with a sequence in [from, to], in order, decoding each block
  // once.
  using Visitor = std::function<void(std::int64_t sequence, std::span<const std::uint8_t> data)>;
  Status visit(std::int64_t from, std::int64_t to, const Visitor& visit);
  // Drops every record above last_kept (a writable segment, whose records up to last_kept
  // stay): after a power loss those may be torn. The cut is made in the mapping, ordered so
  // that a power loss inside it leaves the kept records whole; flush() makes it durable.
  Status cut_after(std::int64_t last_kept);
  // Synchronises a writable mapping that changed since the last flush. A writable segment
  // counts as changed from its open on: a process killed before its flush left pages of it
  // that no sync has covered.
  Status flush();
  // Lets go of the mapping and of the block read last, after a flush (a failed one keeps
  // both); what the scan found stays, and the next read or append maps the file again.
  Status unmap();

  const fs::Path& path() const { return path_; }
  std::int64_t base_sequence() const { return base_; }
  std::uint64_t record_count() const { return record_count_; }
  // The sequence the segment accepts next.
  std::int64_t next_sequence() const { return base_ + static_cast<std::int64_t>(record_count_); }
  bool clean() const { return clean_; }
  bool read_only() const { return read_only_; }
  std::uint64_t file_size() const { return file_size_; }
  std::uint64_t max_file_size() const { return max_file_size_; }
  std::uint64_t write_position() const { return write_position_; }
  std::uint64_t uncompressed_bytes() const { return uncompressed_bytes_; }
  bool has_pending() const { return pending_.has_value(); }
  std::uint64_t block_count() const { return blocks_.size(); }

 private:
  struct Pending {
    std::uint64_t at = 0;  // absolute position of the block header
    std::uint64_t payload = 0;
    std::uint64_t count = 0;
  };
  // One block as the scan (or the append that wrote it) saw it. Its form is not kept: it comes
  // from the live header at each read, as a writer beside a read-only segment may seal it.
  struct Block {
    std::uint64_t at = 0;     // absolute position of the block header
    std::int64_t first = 0;   // sequence of its first record
    std::uint64_t count = 0;
    std::uint64_t raw_len = 0;  // the raw payload the scan accepted (bounds a raw block)
  };
  // The raw payload of the block read last, with the offset of each record.
  struct Decoded {
    std::uint64_t at = ~std::uint64_t{0};
    std::vector<std::uint8_t> raw;
    std::vector<std::uint32_t> record_at;
  };

  JournalSegment(fs::Path path, MappedFile file, bool read_only);

  static Result<JournalSegment> open_any(const fs::Path& path, std::int64_t expected_base,
                                         std::uint64_t max_file_size, bool read_only);
  Status scan();
  Status grow(std::uint64_t required);
  Status seal_pending();
  Status append_to_pending(std::int64_t sequence, std::span<const std::uint8_t> data);
  Status append_single(std::int64_t sequence, std::span<const std::uint8_t> data);
  Status forget_pending();
  Status sync_state();
  // Stores the state words into file, the segment's own or the one it is being created in.
  void store_state(MappedFile& file) const;
  Status writable_map();
  Status ensure_mapped();
  // The records of one block, raw: in place for a raw block, decoded (and kept) otherwise.
  struct BlockRecords {
    std::span<const std::uint8_t> raw;
    std::span<const std::uint32_t> record_at;  // empty: walk from the start
  };
  Result<BlockRecords> read_block(const Block& block);
  // The raw payload of a sealed block, decoded into decoded_.
  Status decode_sealed(const Block& block, const util::BlockHeader& sealed);
  std::size_t block_of(std::int64_t sequence) const;
  void barrier() const;

  fs::Path path_;
  MappedFile file_;
  bool read_only_ = false;
  std::int64_t base_ = 0;
  std::uint64_t file_size_ = 0;
  std::uint64_t max_file_size_ = 0;
  std::uint64_t header_len_ = kHeaderSize;
  std::uint64_t state_at_ = 52;
  std::uint64_t write_position_ = kHeaderSize;
  // The end of the bytes the last sync covered (all of them, for a segment opened from its
  // file): a seal overwrites raw records below it only once what replaces them is durable.
  std::uint64_t synced_end_ = 0;
  std::uint64_t record_count_ = 0;
  std::uint64_t uncompressed_bytes_ = 0;
  std::optional<Pending> pending_;
  std::vector<std::uint32_t> pending_record_at_;  // record offsets inside the pending block
  bool clean_ = true;
  std::uint8_t compress_level_ = 0;
  std::uint8_t compress_type_ = 0;
  std::vector<Block> blocks_;
  Decoded decoded_;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace quelvane
