// One data segment file: the 124-byte data header, then blocks back to back. New records go
// into the raw pending block, written through the mapping record by record; when the next
// record would take its payload past 64 KiB the block is compressed in place, and a record too
// large for a shared block gets a compressed block of its own. The header's state words mirror
// the counters, so a reopened segment carries on inside its pending block.
//
// Crash safety rests on the order of the stores into the mapping. Every change writes its bytes
// first, then the block header, then the state words, whose last word commits it: the pending
// payload size for the pending block, the write position for the totals. Two changes overwrite
// bytes in place, and both first stage what they write past the block: a seal its compressed
// bytes (growing the file for them; a file that cannot grow so far keeps the block raw), a
// correction its new record (a file without room for it refuses the correction, which the
// dataset then stores as a replacement). A correction under way is marked in the reserved word
// of the pending block's header (see CorrectionMarker). A segment reopened after a kill at any
// instant is reconciled with its last committed state (see restore()), an interrupted seal or
// correction finished from its staged copy; one that cannot be is kept for reading and takes no
// new records.
//
// Readers may share the file with a live writer (a read-only store beside a writable one): a
// record copied out of a raw block is kept only when a second look at the block header shows
// no seal or correction in between (see read_stable()).
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "cache.h"
#include "dataset_state.h"
#include "dirty_queue.h"
#include "error.h"
#include "header.h"
#include "index/entry.h"
#include "util/block_header.h"
#include "util/fs.h"
#include "util/live_block.h"
#include "util/mapped_file.h"

namespace quelvane {

// Where a new record went: its block's offset inside the segment and its place in the block.
struct RecordPlace {
  std::uint64_t block_offset = 0;
  std::uint16_t in_block = 0;

  bool operator==(const RecordPlace&) const = default;
};

// A record read back: its timestamp and a copy of its data.
using RecordData = std::pair<std::int64_t, std::vector<std::uint8_t>>;

// A record of 65,525 bytes or more, compressed once and reused by every attempt of one write
// (each growth step and a roll-over retry the append).
struct CompressedRecord {
  bool ready = false;
  std::uint8_t compress_type = 0;
  std::vector<std::uint8_t> bytes;

  // Compresses the record (its 12-byte header and its data) unless that is done already for
  // this compress_type.
  Status prepare(std::int64_t timestamp, std::span<const std::uint8_t> data, std::uint8_t compress_level,
                 std::uint8_t type);
};

// Called with the segment's path at every ordering point of a change, once the stores before
// it are made. Tests install one to take the file as a kill at that point would leave it; there
// is none otherwise.
using StoreBarrierObserver = void (*)(const fs::Path& path);
void set_store_barrier_observer(StoreBarrierObserver observer);

class DataSegment {
 public:
  static constexpr std::uint64_t kMaxRecordLen = 4ull << 20;
  // A shared block stops taking records at 64 KiB of payload, so every in_block fits 16 bits.
  static constexpr std::uint64_t kMaxSharedPayload = 65536;
  static constexpr std::uint64_t kMaxSharedRecordLen = kMaxSharedPayload - 12;  // 65,524
  // Room a record needs in a segment: a new pending block, or a block of its own.
  static constexpr std::uint64_t kPendingBlockOverhead = 28;

  // A new file must hold at least its header: Error::InvalidData "initial data segment size {}
  // is smaller than header 124" otherwise.
  static Status check_initial_size(std::uint64_t initial_size);
  // A new, mapped, active segment with an empty state; the header is synchronised before this
  // returns. A file this call created is removed again when it fails.
  static Result<DataSegment> create(const fs::Path& path, std::uint64_t file_offset, std::uint64_t initial_size,
                                    std::uint64_t max_file_size, std::uint8_t compress_level,
                                    std::uint8_t compress_type);
  // An existing segment, mapped, its pending block restored. A header that does not parse is
  // an error; a pending block that cannot be restored is not: the segment is then kept for
  // reading (restore_error() says why) and refuses new records.
  static Result<DataSegment> open(const fs::Path& path, std::uint64_t file_offset, std::uint64_t max_file_size);
  // What a cut after a power loss keeps of a segment: its first `records` records (what the last
  // flush covered) and, when block is given, at least through the record at in_block of the
  // block at that position (one that an entry the flush covered was rewritten to name since).
  struct TailKeep {
    std::uint64_t records = 0;
    std::optional<std::uint64_t> block;
    std::uint16_t in_block = 0;
  };
  // After a power loss: takes the segment file back to the blocks that hold what keep names,
  // keeping whole a sealed block or a last record that a seal or an extension made durable past
  // it, and synchronises it. Returns where the blocks now end. A file whose blocks do not hold
  // it is damage below what a flush covered: an error, and nothing is cut.
  static Result<std::uint64_t> cut_tail(const fs::Path& path, const TailKeep& keep);

  DataSegment(DataSegment&&) noexcept = default;
  DataSegment& operator=(DataSegment&&) noexcept = default;
  DataSegment(const DataSegment&) = delete;
  DataSegment& operator=(const DataSegment&) = delete;
  // Synchronises a mapped segment before releasing it; a failure can only be logged here.
  ~DataSegment() = default;

  // Maps an unmapped segment again from its file (nothing when mapped).
  Status reopen();
  // Doubles the file, up to max_file_size. A failure keeps the current mapping and file.
  Status grow();

  // Stores a record; Error::SegmentFull when the current file has no room (the caller grows
  // it). scratch, when given, carries the compressed form of a large record across attempts.
  Result<RecordPlace> append_record(std::int64_t timestamp, std::span<const std::uint8_t> data,
                                    std::uint8_t compress_level, CompressedRecord* scratch = nullptr);
  // Compresses the pending block in place, growing the file until a copy of the output fits past
  // the block. Error::SegmentFull when it cannot grow that far: the block stays raw.
  Status seal_pending_block(std::uint8_t compress_level);
  // Extends the last record of the pending block; returns its previous data length.
  Result<std::uint32_t> append_to_record(std::uint64_t block_offset, std::uint16_t in_block,
                                         std::span<const std::uint8_t> bytes);
  // Replaces the data of the last record of the pending block in place.
  Status correction_write(std::uint64_t block_offset, std::uint16_t in_block, std::span<const std::uint8_t> data);

  // entry.block_offset is relative to this segment. dataset_id 0 or no cache: nothing is cached.
  Result<RecordData> read_record(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache) const;
  Result<std::uint32_t> record_len(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache) const;
  // The record handed to view in place, inside the raw block or the decoded one, with no copy;
  // view's answer is the result. Beside a live writer that changed the block meanwhile, view is
  // called again and only its last call read the record.
  using RecordViewer = std::function<Result<bool>(std::int64_t timestamp, std::span<const std::uint8_t> data)>;
  Result<bool> view_record(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache,
                           const RecordViewer& view) const;
  // The same on behalf of a range cursor, which keeps its last block in hot.
  Result<RecordData> read_record_hot(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache,
                                     HotBlock& hot) const;
  Result<std::uint32_t> record_len_hot(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache,
                                       HotBlock& hot) const;

  // One more superseded or deleted record, persisted.
  Status invalidate();
  // Installs the dataset's reporter; a segment already changed reports itself at once.
  void set_notifier(std::optional<FlushNotifier> notifier);
  // Synchronises the mapping and marks the segment clean.
  Status flush();
  // Releases the mapping without a final sync (the caller has just synchronised it).
  void release_mapping();
  // Roll-over leaves the segment behind: it takes no new blocks from the set.
  void deactivate() { active_ = false; }

  const fs::Path& path() const { return path_; }
  std::uint64_t file_offset() const { return file_offset_; }
  std::uint64_t file_size() const { return file_size_; }
  std::uint64_t max_file_size() const { return max_file_size_; }
  std::uint64_t header_len() const { return header_len_; }
  std::uint64_t used() const { return used_; }
  std::uint64_t capacity() const { return file_size_ > header_len_ ? file_size_ - header_len_ : 0; }
  std::uint64_t record_count() const { return record_count_; }
  std::uint64_t uncompressed_size() const { return uncompressed_size_; }
  std::int64_t min_ts() const { return min_ts_; }
  std::int64_t max_ts() const { return max_ts_; }
  std::uint64_t invalid_record_count() const { return invalid_record_count_; }
  std::uint8_t compress_type() const { return compress_type_; }
  bool mapped() const { return mapping_.file.mapped(); }
  bool active() const { return active_; }
  bool clean() const { return dirty_.clean(); }
  bool notified() const { return dirty_.notified(); }
  bool has_pending() const { return pending_.has_value(); }
  std::uint64_t pending_offset() const { return pending_ ? pending_->offset : header::kNoPendingBlock; }
  std::uint64_t pending_payload() const { return pending_ ? pending_->payload : 0; }
  std::uint64_t pending_count() const { return pending_ ? pending_->count : 0; }
  // Why the segment was kept for reading only, if it was.
  const std::optional<Error>& restore_error() const { return restore_error_; }
  // The seven totals as the set reports them.
  SegmentStats stats() const;

 private:
  struct Pending {
    std::uint64_t offset = 0;   // block offset of the raw pending block
    std::uint64_t payload = 0;  // its payload size
    std::uint64_t count = 0;    // its records
    std::uint32_t marker = 0;   // its header's reserved word, kept across republishing
  };

  // The reserved word of the pending block's header, which files of every version write 0 and
  // no reader before this one looks at: a correction under way sets kBusy with the span from
  // the corrected record's data to its staged copy (the longer of the old and new data, so the
  // copy lies past both forms of the record), and bumps the generation, which stays when it
  // ends, so that two looks at the header around a read tell a correction in between even when
  // it left the block's size as it was. A block of an older file reads as generation 0, idle.
  struct CorrectionMarker {
    static constexpr std::uint32_t kBusy = 0x80000000u;
    static constexpr std::uint32_t kGenerationShift = 16;
    static constexpr std::uint32_t kGenerationMask = 0x7FFFu;
    static constexpr std::uint32_t kSpanMask = 0xFFFFu;

    static bool busy(std::uint32_t word) { return (word & kBusy) != 0; }
    static std::uint32_t span(std::uint32_t word) { return word & kSpanMask; }
    // The word of the next correction, under way, and the word it leaves when done.
    static std::uint32_t next_busy(std::uint32_t word, std::uint64_t span) {
      const std::uint32_t generation = ((word >> kGenerationShift) + 1) & kGenerationMask;
      return kBusy | (generation << kGenerationShift) | static_cast<std::uint32_t>(span);
    }
    static std::uint32_t idle(std::uint32_t word) { return word & (kGenerationMask << kGenerationShift); }
  };

  // A correction of the last record found marked under way: where the record and its staged
  // copy lie (absolute file positions), and the copy's data length.
  struct StagedCorrection {
    std::uint64_t record_at = 0;
    std::uint64_t staged_at = 0;
    std::uint64_t data_len = 0;
    std::uint32_t marker = 0;
    std::uint64_t in_block = 0;  // the record's place in the block
    bool whole = false;          // the copy is there, whole, for the record's timestamp
  };

  // The mapping; a segment released while mapped with changes no flush covered is
  // synchronised first. One that only read (a read-only handle) is let go without a sync.
  struct Mapping {
    MappedFile file;
    bool changed = false;  // written since it was mapped or last synchronised
    Mapping() = default;
    Mapping(Mapping&& o) noexcept : file(std::move(o.file)), changed(std::exchange(o.changed, false)) {}
    Mapping& operator=(Mapping&& o) noexcept;
    ~Mapping() { release(); }
    void release();
  };

  DataSegment(fs::Path path, std::uint64_t file_offset, std::uint64_t max_file_size)
      : path_(std::move(path)),
        file_offset_(file_offset),
        max_file_size_(max_file_size),
        dirty_(FlushTarget::data_segment(file_offset)) {}

  // Maps the file and takes the counters from its header, then restores the pending block.
  Status map_from_file();
  // Reconciles the pending block and the totals with the state words after a reopen.
  Status restore(const header::DataState& state);
  Result<Pending> settle_raw_pending(const header::PendingState& state, const util::BlockHeader& block) const;
  Status finish_interrupted_block(std::uint64_t offset, const util::BlockHeader& block);
  std::optional<std::vector<std::uint8_t>> decode_complete(std::span<const std::uint8_t> compressed,
                                                           const util::BlockHeader& block) const;
  Status recount_totals(std::uint64_t up_to_offset, std::uint64_t extra_records, std::uint64_t extra_raw);
  // The correction the marker says is under way on the raw block at block_at, when the block's
  // other records lead up to the corrected one (count is the block's record count); its staged
  // copy is whole when it lies inside the file and carries the timestamp of the record.
  std::optional<StagedCorrection> staged_correction(std::uint64_t block_at, std::uint64_t count,
                                                    std::uint32_t marker) const;
  // Copies the staged record over the record, then commits it as correction_write does.
  void finish_correction(const StagedCorrection& staged, std::uint64_t block_at);
  void widen_time_range(std::span<const std::uint8_t> raw_payload, std::uint64_t count);

  // The last record of the pending block, checked for an in-place change: the refusals come in
  // one order, with the texts of the operation asking (raw_size_mismatch is checked when given).
  struct LastRecordMessages {
    const char* not_last_block;
    const char* not_pending;
    const char* sealed;
    const char* raw_size_mismatch;
    const char* not_last_record;
  };
  struct LastRecord {
    util::BlockHeader block;
    std::uint64_t block_at;   // absolute position of the block header
    std::uint64_t record_at;  // absolute position of the record header
    std::uint64_t data_len;
  };
  Result<LastRecord> last_record_of_pending(std::uint64_t block_offset, std::uint16_t in_block,
                                            const LastRecordMessages& messages);
  Status begin_change();
  Result<RecordPlace> start_pending_block(std::int64_t timestamp, std::span<const std::uint8_t> data);
  Result<RecordPlace> add_to_pending_block(std::int64_t timestamp, std::span<const std::uint8_t> data);
  Result<RecordPlace> append_single_record(std::int64_t timestamp, std::span<const std::uint8_t> data,
                                           std::uint8_t compress_level, CompressedRecord* scratch);
  // Looks the block at block_offset up for a read: header in bounds, flags valid, payload in
  // bounds.
  Result<util::LiveHeader> block_for_read(std::uint64_t block_offset) const;
  // Maps the file again when [at, at + len) lies past the mapping and the file has grown since
  // it was mapped: a live writer elsewhere grows it under a reader (a read-only store's segment),
  // whose reads may then need a block, or a seal's or a correction's staged copy, past its end.
  // No view of the mapping taken before may be used after.
  Status cover(std::uint64_t at, std::uint64_t len) const;
  // The decompressed payload of a sealed block, bounded by its uncompressed_size.
  Result<BlockPayload> decompress_block(std::uint64_t block_offset, const util::BlockHeader& block) const;
  std::span<const std::uint8_t> raw_payload(std::uint64_t block_offset, const util::BlockHeader& block) const;
  // The decoded bytes a record is read from, with the texts its readers report: the raw block in
  // place, the hot block, a cache hit ("record ... out of bounds") or a fresh decompression.
  // in_block is where the record lies in bytes: the entry's own, except for a record read from
  // its staged copy.
  struct RecordSource {
    BlockPayload owner;  // keeps bytes alive; null for the raw block, which lives in the mapping
    std::span<const std::uint8_t> bytes;
    RecordMessages messages;
    std::uint16_t in_block = 0;
  };
  Result<RecordSource> record_source(std::uint64_t dataset_id, std::uint64_t block_offset, std::uint16_t in_block,
                                     const util::LiveHeader& look, BlockCache* cache, HotBlock* hot) const;
  Result<RecordSource> sealed_source(std::uint64_t dataset_id, std::uint64_t block_offset,
                                     const util::BlockHeader& block, BlockCache* cache, HotBlock* hot) const;
  // Runs extract on the record's source and keeps the result only when the block header, looked
  // at again afterwards, shows that no seal or correction overwrote the bytes in between.
  template <class Extract>
  auto read_stable(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache, HotBlock* hot,
                   Extract extract) const -> decltype(extract(std::declval<const RecordSource&>()));
  Result<BlockPayload> hot_payload(std::uint64_t dataset_id, std::uint64_t block_offset,
                                   const util::BlockHeader& block, BlockCache* cache, HotBlock& hot) const;

  void note_timestamp(std::int64_t timestamp);
  // State words in commit order: the pending block's, then the totals.
  void store_pending_words(std::uint64_t offset, std::uint64_t count, std::uint64_t payload);
  void store_pending_words();
  void store_total_words();
  void publish_block_header(std::uint64_t pos, const util::BlockHeader& block, std::uint32_t reserved = 0);
  void store_marker(std::uint64_t block_at, std::uint32_t marker);
  void mark_dirty();
  // Whether the bytes at a file position lie in blocks the last sync covered.
  bool synced(std::uint64_t file_at) const { return file_at < header_len_ || file_at - header_len_ < synced_used_; }
  // Orders the stores made so far before the ones that follow.
  void barrier() const;

  // A read maps the file again when a live writer has grown it (see cover()); the segment's
  // state stays as it was.
  mutable Mapping mapping_;
  fs::Path path_;
  std::uint64_t file_offset_ = 0;
  mutable std::uint64_t file_size_ = 0;
  std::uint64_t max_file_size_ = 0;
  std::uint64_t header_len_ = header::kDataHeaderSize;
  // Where the state area starts, located once per mapping; the header never changes after
  // create. An error here (a file that is not a data segment) refuses every state write.
  Result<std::uint64_t> state_at_ = header::kStateOffset;
  std::uint64_t used_ = 0;
  // The bytes of blocks the last sync covered (all the file held, for a segment mapped from it):
  // they are overwritten only once what replaces them is durable.
  std::uint64_t synced_used_ = 0;
  std::uint64_t record_count_ = 0;
  std::uint64_t uncompressed_size_ = 0;
  std::int64_t min_ts_ = std::numeric_limits<std::int64_t>::max();
  std::int64_t max_ts_ = std::numeric_limits<std::int64_t>::min();
  std::uint64_t invalid_record_count_ = 0;
  std::optional<Pending> pending_;
  std::optional<Error> restore_error_;
  // The reopen settled the pending block differently from its header in the file.
  bool pending_header_stale_ = false;
  // The reopen found a correction under way; the next change finishes it in the file.
  std::optional<StagedCorrection> correction_to_finish_;
  std::uint8_t compress_type_ = 0;
  bool active_ = false;
  DirtyTracker dirty_;
};

}  // namespace quelvane
