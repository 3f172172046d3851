#include "segment/data.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <thread>

#include "compress.h"
#include "util/block_header.h"
#include "util/bytes.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace quelvane {

namespace {

constexpr const char* kLog = "quelvane::segment::data";
constexpr std::uint64_t kBlockHeader = util::kBlockHeaderSize;
constexpr std::uint64_t kRecordHeader = util::kRecordHeaderSize;
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

std::atomic<StoreBarrierObserver> barrier_observer{nullptr};

std::unexpected<Error> invalid(std::string message) { return fail(Error::invalid_data(std::move(message))); }

bool is_raw_flags(std::uint16_t flags) { return (flags & util::kCompressed) == 0; }

bool sum_overflows(std::uint64_t a, std::uint64_t b) { return a > std::numeric_limits<std::uint64_t>::max() - b; }

std::uint64_t apply_delta(std::uint64_t value, std::int64_t delta) {
  if (delta >= 0) return value + static_cast<std::uint64_t>(delta);
  const std::uint64_t down = static_cast<std::uint64_t>(-(delta + 1)) + 1;
  return value > down ? value - down : 0;
}

// Walks the records of a raw payload from its start, at most max_records of them, within the
// payload. ends[i] is where record i ends (ends[0] = 0 is the start); overshoot marks a record
// whose header fits but whose data runs past the payload.
struct RecordWalk {
  std::vector<std::uint64_t> ends{0};
  bool overshoot = false;

  std::uint64_t whole() const { return ends.size() - 1; }
  std::uint64_t end() const { return ends.back(); }
};

RecordWalk walk_records(std::span<const std::uint8_t> payload, std::uint64_t max_records) {
  RecordWalk walk;
  std::uint64_t pos = 0;
  while (walk.whole() < max_records && bytes::fits(payload.size(), pos, kRecordHeader)) {
    const std::uint64_t len = bytes::load_le<std::uint32_t>(payload.data() + pos);
    if (!bytes::fits(payload.size(), pos + kRecordHeader, len)) {
      walk.overshoot = true;
      break;
    }
    pos += kRecordHeader + len;
    walk.ends.push_back(pos);
  }
  return walk;
}

}  // namespace

Status CompressedRecord::prepare(std::int64_t timestamp, std::span<const std::uint8_t> data,
                                std::uint8_t compress_level, std::uint8_t type) {
  if (ready && compress_type == type) return {};
  std::vector<std::uint8_t> record(kRecordHeader + data.size());
  util::write_record(record, 0, timestamp, data);
  bytes = QV_TRY(compress::compress(record, compress_level, type));
  compress_type = type;
  ready = true;
  return {};
}

void set_store_barrier_observer(StoreBarrierObserver observer) { barrier_observer.store(observer); }

// A kill leaves the stores made into the mapping up to that instant, in program order as long
// as the compiler keeps them in that order; the fence keeps it from moving stores across a step.
void DataSegment::barrier() const {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (StoreBarrierObserver observer = barrier_observer.load(std::memory_order_relaxed)) [[unlikely]]
    observer(path_);
}

DataSegment::Mapping& DataSegment::Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    release();
    file = std::move(o.file);
    changed = std::exchange(o.changed, false);
  }
  return *this;
}

void DataSegment::Mapping::release() {
  if (!file.mapped()) return;
  // Also run by the destructor: the failure's message may find no memory, and the mapping goes
  // either way.
  try {
    if (auto synced = changed ? file.sync() : Status{}; !synced)
      QV_LOG(Error, kLog, "[DataSegment drop] mmap flush failed: ", synced.error().payload());
  } catch (...) {
  }
  file.unmap();
  changed = false;
}

// ---- create, open, reopen ----------------------------------------------------------------

Status DataSegment::check_initial_size(std::uint64_t initial_size) {
  if (initial_size < header::kDataHeaderSize)
    return invalid(text::cat("initial data segment size ", initial_size, " is smaller than header ",
                             header::kDataHeaderSize));
  return {};
}

Result<DataSegment> DataSegment::create(const fs::Path& path, std::uint64_t file_offset, std::uint64_t initial_size,
                                        std::uint64_t max_file_size, std::uint8_t compress_level,
                                        std::uint8_t compress_type) {
  QV_TRY(compress::check_compress_type(compress_type));
  if (file_offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return invalid("data segment file_offset exceeds i64");
  QV_TRY(check_initial_size(initial_size));

  std::array<std::uint8_t, header::kDataHeaderSize> image{};
  const header::MetaValues meta{
      .created_ms = unix_millis_now(),
      .base = static_cast<std::int64_t>(file_offset),
      .max_file_size = max_file_size,
      .compress_level = compress_level,
      .compress_type = compress_type,
  };
  header::write_data_header(meta, header::DataState{}, image);
  DataSegment seg(path, file_offset, max_file_size);
  seg.mapping_.file = QV_TRY(MappedFile::create(path, initial_size, [&image](MappedFile& file) {
    file.write(0, image);
    return file.sync();
  }));
  const MappedFile& file = seg.mapping_.file;

  seg.file_size_ = file.size();
  seg.header_len_ = header::kDataHeaderSize;
  seg.state_at_ = header::locate_state(file.bytes(), header::kDataFileType, header::kInvalidRecordCountWord);
  seg.compress_type_ = compress_type;
  seg.active_ = true;
  return seg;
}

Result<DataSegment> DataSegment::open(const fs::Path& path, std::uint64_t file_offset, std::uint64_t max_file_size) {
  DataSegment seg(path, file_offset, max_file_size);
  QV_TRY(seg.map_from_file());
  return seg;
}

Result<std::uint64_t> DataSegment::cut_tail(const fs::Path& path, const TailKeep& keep) {
  MappedFile file = QV_TRY(MappedFile::open(path, MappedFile::Access::ReadWrite));
  const header::FileHeader h = QV_TRY(header::parse_data_header(file.bytes()));
  const std::uint64_t state =
      QV_TRY(header::locate_state(file.bytes(), header::kDataFileType, header::kInvalidRecordCountWord));
  const std::uint64_t header_len = h.header_len;
  auto damaged = [&](const char* what) {
    return invalid(text::cat(path.native(), ": ", what, " below the end the last flush covered"));
  };
  const auto image = file.bytes();
  std::uint64_t pos = 0;
  std::uint64_t records = 0;
  std::uint64_t raw = 0;
  std::optional<Pending> pending;
  while (records < keep.records || (keep.block && pos <= *keep.block)) {
    const std::uint64_t at = header_len + pos;
    if (!bytes::fits(file.size(), at, kBlockHeader)) return damaged("block header");
    const util::BlockHeader block = util::read_block_header(image, at);
    if (!util::check_block_flags(block.flags)) return damaged("block flags");
    const std::uint64_t payload_at = at + kBlockHeader;
    if (is_raw_flags(block.flags)) {
      // The block left pending: its records up to the count, and through the one the entry
      // names. The last may have grown since, an extension durable before its new length.
      const std::uint64_t room = std::min(file.size() - payload_at, kMaxSharedPayload);
      const RecordWalk walk = walk_records(image.subspan(payload_at, room), 0xFFFF);
      std::uint64_t n = keep.records - std::min(keep.records, records);
      if (keep.block && *keep.block == pos) {
        while (n < walk.whole() && walk.ends[n] <= keep.in_block) ++n;
      }
      if (n == 0 || n > walk.whole() || (keep.block && *keep.block > pos)) return damaged("pending block records");
      pending = Pending{pos, walk.ends[n], n, CorrectionMarker::idle(
                                                   bytes::get<std::uint32_t>(image, at + util::kBlockReservedOffset))};
      pos += kBlockHeader + walk.ends[n];
      break;
    }
    if (!bytes::fits(file.size(), payload_at, block.payload_size)) return damaged("sealed block");
    // The block that reaches the count may have been sealed after the flush, and so may any
    // after it: a seal over synced records synced its staged copy and its header before it
    // copied over them, so it is whole in place or is finished from the copy.
    if (records + block.record_count >= keep.records) {
      const std::uint8_t type = h.meta.compress_type;
      auto fills = [&](std::span<const std::uint8_t> payload) -> Status {
        const RecordWalk w = walk_records(payload, block.record_count);
        if (w.overshoot || w.whole() != block.record_count || w.end() != payload.size())
          return invalid("sealed block records do not fill its payload");
        return {};
      };
      if (!util::decode_in_place(image, payload_at, block, type, fills)) {
        if ((block.flags & util::kSingleRecord) != 0) return damaged("single-record block");
        const std::uint64_t staged_at = util::staged_copy_at(payload_at, block);
        if (!util::decode_in_place(image, staged_at, block, type, fills)) return damaged("sealed block");
        const std::vector<std::uint8_t> staged(image.begin() + static_cast<std::ptrdiff_t>(staged_at),
                                               image.begin() + static_cast<std::ptrdiff_t>(staged_at + block.payload_size));
        file.write(payload_at, staged);
      }
    }
    records += block.record_count;
    raw += block.uncompressed_size;
    pos += kBlockHeader + block.payload_size;
  }
  if (pending) {
    records += pending->count;
    raw += pending->payload;
    const auto payload = static_cast<std::uint32_t>(pending->payload);
    std::array<std::uint8_t, kBlockHeader> block_image{};
    util::write_block_header({payload, 0, static_cast<std::uint16_t>(pending->count), payload}, block_image, 0);
    bytes::store_le<std::uint32_t>(block_image.data() + util::kBlockReservedOffset, pending->marker);
    file.write(header_len + pending->offset, block_image);
  }
  file.store<std::uint64_t>(state + header::kPendingBlockOffsetWord, pending ? pending->offset : header::kNoPendingBlock);
  file.store<std::uint64_t>(state + header::kPendingRecordCountWord, pending ? pending->count : 0);
  file.store<std::uint64_t>(state + header::kPendingWrotePositionWord, pending ? pending->payload : 0);
  file.store<std::uint64_t>(state + header::kRecordCountWord, records);
  file.store<std::uint64_t>(state + header::kUncompressedSizeWord, raw);
  file.store<std::uint64_t>(state + header::kWritePositionWord, header_len + pos);
  QV_TRY(file.sync());
  return pos;
}

Status DataSegment::reopen() {
  if (mapped()) return {};
  return map_from_file();
}

Status DataSegment::map_from_file() {
  MappedFile file = QV_TRY(MappedFile::open(path_, MappedFile::Access::ReadWrite));
  const header::FileHeader h = QV_TRY(header::parse_data_header(file.bytes()));
  if (h.version > header::kVersion)
    QV_LOG(Warn, kLog, "Opening file with version ", h.version, ", expected 1. Parsing known fields.");

  state_at_ = header::locate_state(file.bytes(), header::kDataFileType, header::kInvalidRecordCountWord);
  mapping_.file = std::move(file);
  file_size_ = mapping_.file.size();
  header_len_ = h.header_len;
  const header::DataTotals& totals = h.data.totals;
  used_ = totals.write_position > header_len_ ? totals.write_position - header_len_ : 0;
  record_count_ = totals.record_count;
  uncompressed_size_ = totals.uncompressed_size;
  min_ts_ = totals.min_ts;
  max_ts_ = totals.max_ts;
  invalid_record_count_ = h.data.invalid_record_count;
  compress_type_ = h.meta.compress_type;
  active_ = true;
  dirty_.synced();
  pending_.reset();
  pending_header_stale_ = false;
  restore_error_.reset();

  if (auto restored = restore(h.data); !restored) {
    QV_LOG(Warn, kLog, "[DataSegment open] ", path_.native(), ": ", restored.error().display(),
           "; kept for reading, new records go to a new segment");
    restore_error_ = restored.error();
    active_ = false;
  }
  // Whatever the file held at its open may be on the disk; only what is added from here on is
  // known not to be until the next sync.
  synced_used_ = used_;
  return {};
}

// ---- restoring the pending block -----------------------------------------------------------

// The stores of every change are ordered (see the header comment), so a kill leaves one of a
// few recognisable states; each is brought back to a consistent segment here, in memory only.
// Nothing is written, with one exception below (finishing a seal's copy, which rewrites the
// very bytes the seal writes): a reader in another process may be looking at a change in
// progress. The next change of this segment rewrites the pending block header (begin_change)
// and every state word.
Status DataSegment::restore(const header::DataState& state) {
  const header::PendingState& ps = state.pending;
  if (ps.pending_block_offset == header::kNoPendingBlock) {
    // The next block goes at the write position; one past the file would run off the mapping.
    if (used_ > capacity()) return invalid("write position beyond segment file size");
    return {};
  }
  const std::uint64_t offset = ps.pending_block_offset;
  if (sum_overflows(header_len_, offset) || sum_overflows(header_len_ + offset, kBlockHeader) ||
      sum_overflows(header_len_ + offset + kBlockHeader, ps.pending_wrote_position))
    return invalid("pending block position overflow");
  const std::uint64_t block_at = header_len_ + offset;
  if (file_size_ < block_at + kBlockHeader + ps.pending_wrote_position)
    return invalid("pending block extends beyond segment file size");
  if (!mapped()) return fail(Error::mmap("segment closed during pending restore"));

  const util::BlockHeader block = util::read_block_header(mapping_.file.bytes(), block_at);
  if (block.flags != 0) return finish_interrupted_block(offset, block);

  const std::uint32_t marker = bytes::get<std::uint32_t>(mapping_.file.bytes(), block_at + util::kBlockReservedOffset);
  // A correction marked under way is carried through from its staged copy, whatever of it
  // reached the block; the copy is written in place by the next change, and readers take the
  // record from the copy until then.
  std::optional<StagedCorrection> staged = staged_correction(block_at, ps.pending_record_count, marker);
  if (staged && !staged->whole) staged.reset();
  Pending settled =
      staged ? Pending{offset, staged->in_block + kRecordHeader + staged->data_len, ps.pending_record_count}
             : QV_TRY(settle_raw_pending(ps, block));
  settled.marker = CorrectionMarker::idle(marker);
  const std::uint64_t end = offset + kBlockHeader + settled.payload;
  // Totals written after a change that is now undone, or before one carried through, are
  // counted again; matching state words and write position mean they are complete.
  const bool settled_as_committed =
      settled.payload == ps.pending_wrote_position && settled.count == ps.pending_record_count;
  if (end != used_ || !settled_as_committed) {
    QV_TRY(recount_totals(offset, settled.count, settled.payload));
    widen_time_range(mapping_.file.bytes().subspan(block_at + kBlockHeader, settled.payload), settled.count);
  }
  pending_ = settled;
  used_ = end;
  correction_to_finish_ = staged;
  const util::BlockHeader committed{static_cast<std::uint32_t>(settled.payload), 0,
                                    static_cast<std::uint16_t>(settled.count),
                                    static_cast<std::uint32_t>(settled.payload)};
  // A marker left busy without a usable copy goes with the next change's header.
  pending_header_stale_ = !staged && (!(block == committed) || CorrectionMarker::busy(marker));
  return {};
}

std::optional<DataSegment::StagedCorrection> DataSegment::staged_correction(std::uint64_t block_at,
                                                                           std::uint64_t count,
                                                                           std::uint32_t marker) const {
  if (!CorrectionMarker::busy(marker) || count == 0) return std::nullopt;
  const auto file = mapping_.file.bytes();
  const std::uint64_t payload_at = block_at + kBlockHeader;
  if (!bytes::fits(file_size_, block_at, kBlockHeader)) return std::nullopt;
  // The records before the corrected one are never touched by it.
  const RecordWalk before =
      walk_records(file.subspan(payload_at, std::min(file_size_ - payload_at, kMaxSharedPayload)), count - 1);
  if (before.whole() != count - 1) return std::nullopt;
  const std::uint64_t record_at = payload_at + before.end();
  const std::uint64_t staged_at = record_at + kRecordHeader + CorrectionMarker::span(marker);
  if (!bytes::fits(file_size_, record_at, kRecordHeader)) return std::nullopt;
  StagedCorrection found{record_at, staged_at, 0, marker, before.end(), false};
  if (!bytes::fits(file_size_, staged_at, kRecordHeader)) return found;
  const util::RecordHeader copy = util::read_record_header(file, staged_at);
  // The record's timestamp is rewritten with the value it had, so it is never torn.
  found.whole = copy.key == util::read_record_header(file, record_at).key &&
                copy.data_len <= CorrectionMarker::span(marker) &&
                before.end() + kRecordHeader + copy.data_len <= kMaxSharedPayload &&
                bytes::fits(file_size_, staged_at + kRecordHeader, copy.data_len);
  found.data_len = copy.data_len;
  return found;
}

// The state words are the commit: the records must walk from the block's start to the committed
// size. The block header is written before them and its fields are separate stores, so only its
// payload_size (one store, and the bound every read uses) is consulted.
Result<DataSegment::Pending> DataSegment::settle_raw_pending(const header::PendingState& state,
                                                            const util::BlockHeader& block) const {
  const std::uint64_t offset = state.pending_block_offset;
  const std::uint64_t payload_at = header_len_ + offset + kBlockHeader;
  const std::uint64_t size = state.pending_wrote_position;
  const std::uint64_t count = state.pending_record_count;
  const std::uint64_t header_size = block.payload_size;

  const RecordWalk walk = walk_records(mapping_.file.bytes().subspan(payload_at, file_size_ - payload_at), count);
  auto mismatch = [&]() -> std::unexpected<Error> {
    if (header_size != size) return invalid("pending block payload_size does not match pending_wrote_position");
    if (block.record_count != count) return invalid("pending block record_count does not match header state");
    return invalid("pending block records do not fill its payload");
  };
  // A correction by an earlier version took its record out of the block header before replacing
  // its bytes in place: a header that ends where the last committed record starts means those
  // bytes may be torn.
  if (count > 0 && walk.whole() >= count - 1 && walk.ends[count - 1] == header_size && header_size < size)
    return mismatch();
  if (walk.overshoot || walk.whole() != count) return mismatch();
  const std::uint64_t records_end = walk.end();
  // The committed state; a header ahead of it by whole records (stored after the last commit,
  // never handed out) is simply superseded.
  if (records_end == size) return Pending{offset, size, count};
  // The records reach exactly as far as the header: the change was complete before its state
  // words (an added record whose count was committed before its size, a correction past its
  // final header), so it is carried through.
  if (records_end == header_size) return Pending{offset, header_size, count};
  // An extension of the last record commits with the record's new length, stored last: the
  // state words may already count bytes the record does not, and are taken back to its end.
  if (records_end < size && header_size == size) return Pending{offset, records_end, count};
  return mismatch();
}

// The raw payload of a sealed block's compressed bytes, when they decode to exactly what its
// header says.
std::optional<std::vector<std::uint8_t>> DataSegment::decode_complete(std::span<const std::uint8_t> compressed,
                                                                       const util::BlockHeader& block) const {
  auto raw = compress::decompress(compressed, compress_type_, block.uncompressed_size);
  if (!raw || raw->size() != block.uncompressed_size) return std::nullopt;
  const RecordWalk walk = walk_records(*raw, block.record_count);
  if (walk.overshoot || walk.whole() != block.record_count || walk.end() != raw->size()) return std::nullopt;
  return std::move(*raw);
}

// A pending block whose header already says sealed: a seal, or the write of a single-record
// block (which points the pending words at its block until its totals are committed), was cut
// short after its header. With the compressed bytes complete the operation is finished. A seal
// cut short while it copied them over the raw records is finished from the copy it staged past
// the block first; without a complete copy the block stays refused. The copy's place comes from
// the sealed header, as the seal and the readers take it: the pending size word may be behind
// the block the seal compressed (a reopen that carried a record through keeps it until the next
// change stores it).
Status DataSegment::finish_interrupted_block(std::uint64_t offset, const util::BlockHeader& block) {
  auto refused = [&] { return invalid(text::cat("pending block has non-raw flags: ", text::hex(block.flags))); };
  if (!util::check_block_flags(block.flags) || (block.flags & util::kSealed) == 0) return refused();
  const std::uint64_t payload_at = header_len_ + offset + kBlockHeader;
  if (!bytes::fits(file_size_, payload_at, block.payload_size)) return refused();
  const auto file = mapping_.file.bytes();
  auto raw = decode_complete(file.subspan(payload_at, block.payload_size), block);
  if (!raw && (block.flags & util::kSingleRecord) == 0) {
    const std::uint64_t staged_at = util::staged_copy_at(payload_at, block);
    if (bytes::fits(file_size_, staged_at, block.payload_size)) {
      const auto span = file.subspan(staged_at, block.payload_size);
      // Copied out before it is checked: the bytes written back are exactly the ones checked.
      const std::vector<std::uint8_t> staged(span.begin(), span.end());
      raw = decode_complete(staged, block);
      // The same bytes the seal itself was writing, so finishing it here is safe even while
      // that seal is still running in another process.
      if (raw) {
        mapping_.file.write(payload_at, staged);
        // Only a dirty segment is synced: the repair reaches the disk at the next flush.
        mark_dirty();
      }
    }
  }
  if (!raw) return refused();

  const std::uint64_t end = offset + kBlockHeader + block.payload_size;
  if (end != used_) QV_TRY(recount_totals(offset, block.record_count, block.uncompressed_size));
  widen_time_range(*raw, block.record_count);
  pending_.reset();
  used_ = end;
  return {};
}

// The totals are committed by the write position, stored last. When it disagrees with the
// blocks found, they are counted again from the block headers, each of which carries its record
// count and raw size; extra_* are those of the last block, settled by the caller.
Status DataSegment::recount_totals(std::uint64_t up_to_offset, std::uint64_t extra_records, std::uint64_t extra_raw) {
  const auto file = mapping_.file.bytes();
  std::uint64_t pos = 0;
  std::uint64_t records = extra_records;
  std::uint64_t raw = extra_raw;
  while (pos < up_to_offset) {
    const std::uint64_t at = header_len_ + pos;
    if (!bytes::fits(file_size_, at, kBlockHeader)) break;
    const util::BlockHeader b = util::read_block_header(file, at);
    if (!util::check_block_flags(b.flags)) break;
    records += b.record_count;
    raw += b.uncompressed_size;
    pos += kBlockHeader + b.payload_size;
  }
  if (pos != up_to_offset) return invalid("segment blocks do not lead to the pending block");
  record_count_ = records;
  uncompressed_size_ = raw;
  return {};
}

void DataSegment::widen_time_range(std::span<const std::uint8_t> raw_payload, std::uint64_t count) {
  const RecordWalk walk = walk_records(raw_payload, count);
  for (std::uint64_t i = 0; i < walk.whole(); ++i)
    note_timestamp(util::read_record_header(raw_payload, walk.ends[i]).key);
}

// ---- records in ------------------------------------------------------------------------------

// Every change starts here: a segment kept for reading, or one without a state area, takes
// none; a pending block header that the reopen found out of step with the state words is
// rewritten first, so that the change's own checks read the committed block.
Status DataSegment::begin_change() {
  if (restore_error_) return fail(*restore_error_);
  if (!state_at_) return fail(state_at_.error());
  if (correction_to_finish_ && pending_) finish_correction(*correction_to_finish_, header_len_ + pending_->offset);
  correction_to_finish_.reset();
  if (pending_header_stale_ && pending_) {
    const auto payload = static_cast<std::uint32_t>(pending_->payload);
    publish_block_header(header_len_ + pending_->offset,
                         {payload, 0, static_cast<std::uint16_t>(pending_->count), payload}, pending_->marker);
  }
  pending_header_stale_ = false;
  return {};
}

Result<RecordPlace> DataSegment::append_record(std::int64_t timestamp, std::span<const std::uint8_t> data,
                                               std::uint8_t compress_level, CompressedRecord* scratch) {
  if (data.size() > kMaxRecordLen) return invalid("record data_len exceeds 4MiB limit");
  if (!mapped()) return fail(Error::mmap("segment closed during write"));
  QV_TRY(begin_change());
  if (data.size() > kMaxSharedRecordLen) return append_single_record(timestamp, data, compress_level, scratch);
  if (pending_ && pending_->payload + kRecordHeader + data.size() > kMaxSharedPayload)
    QV_TRY(seal_pending_block(compress_level));
  if (pending_) return add_to_pending_block(timestamp, data);
  return start_pending_block(timestamp, data);
}

Result<RecordPlace> DataSegment::start_pending_block(std::int64_t timestamp, std::span<const std::uint8_t> data) {
  const std::uint64_t raw = kRecordHeader + data.size();
  if (capacity() < used_ || capacity() - used_ < kBlockHeader + raw) return fail(Error::segment_full());
  const std::uint64_t offset = used_;
  const std::uint64_t block_at = header_len_ + offset;
  auto file = mapping_.file.mutable_bytes();
  util::write_record(file, block_at + kBlockHeader, timestamp, data);
  barrier();
  publish_block_header(block_at, {static_cast<std::uint32_t>(raw), 0, 1, static_cast<std::uint32_t>(raw)});

  pending_ = Pending{offset, raw, 1};
  used_ += kBlockHeader + raw;
  record_count_ += 1;
  uncompressed_size_ += raw;
  note_timestamp(timestamp);
  store_pending_words();
  store_total_words();
  mark_dirty();
  return RecordPlace{offset, 0};
}

Result<RecordPlace> DataSegment::add_to_pending_block(std::int64_t timestamp, std::span<const std::uint8_t> data) {
  Pending& p = *pending_;
  const std::uint64_t raw = kRecordHeader + data.size();
  if (capacity() < used_ || capacity() - used_ < raw) return fail(Error::segment_full());
  if (p.payload >= kMaxSharedPayload) return invalid("pending record offset exceeds u16");
  const std::uint64_t new_payload = p.payload + raw;
  if (new_payload > kU32Max) return invalid("pending payload exceeds u32");
  QV_ASSERT(p.offset + kBlockHeader + p.payload == used_ && p.count < 0xFFFF, "the pending block ends the segment");

  const std::uint64_t block_at = header_len_ + p.offset;
  auto file = mapping_.file.mutable_bytes();
  util::write_record(file, block_at + kBlockHeader + p.payload, timestamp, data);
  barrier();
  publish_block_header(block_at,
                       {static_cast<std::uint32_t>(new_payload), 0, static_cast<std::uint16_t>(p.count + 1),
                        static_cast<std::uint32_t>(new_payload)},
                       p.marker);

  const RecordPlace place{p.offset, static_cast<std::uint16_t>(p.payload)};
  p.payload = new_payload;
  p.count += 1;
  used_ += raw;
  record_count_ += 1;
  uncompressed_size_ += raw;
  note_timestamp(timestamp);
  store_pending_words();
  store_total_words();
  mark_dirty();
  return place;
}

Result<RecordPlace> DataSegment::append_single_record(std::int64_t timestamp, std::span<const std::uint8_t> data,
                                                      std::uint8_t compress_level, CompressedRecord* scratch) {
  if (pending_) QV_TRY(seal_pending_block(compress_level));
  CompressedRecord local;
  CompressedRecord& compressed = scratch != nullptr ? *scratch : local;
  QV_TRY(compressed.prepare(timestamp, data, compress_level, compress_type_));
  const std::uint64_t length = compressed.bytes.size();
  if (length > kU32Max) return invalid("compressed block exceeds u32");
  if (capacity() < used_ || capacity() - used_ < kBlockHeader + length) return fail(Error::segment_full());

  const std::uint64_t offset = used_;
  const std::uint64_t block_at = header_len_ + offset;
  const std::uint64_t raw = kRecordHeader + data.size();
  constexpr auto kSingleFlags = static_cast<std::uint16_t>(util::kCompressed | util::kSealed | util::kSingleRecord);
  publish_block_header(block_at,
                       {static_cast<std::uint32_t>(length), kSingleFlags, 1, static_cast<std::uint32_t>(raw)});
  mapping_.file.write(block_at + kBlockHeader, compressed.bytes);
  barrier();
  // Until the totals are committed the pending words point at the new block, so that a reopen
  // finds the block and finishes the write instead of counting it half.
  store_pending_words(offset, 0, 0);

  used_ = offset + kBlockHeader + length;
  record_count_ += 1;
  uncompressed_size_ += raw;
  note_timestamp(timestamp);
  store_total_words();
  store_pending_words();
  mark_dirty();
  return RecordPlace{offset, 0};
}

Status DataSegment::seal_pending_block(std::uint8_t compress_level) {
  if (!mapped()) return fail(Error::mmap("segment closed during write"));
  if (!pending_) return {};
  QV_TRY(begin_change());
  const Pending p = *pending_;
  const std::uint64_t block_at = header_len_ + p.offset;
  // Compressed straight out of the mapping: nothing remaps it before the output is complete.
  std::vector<std::uint8_t> compressed = QV_TRY(compress::compress(
      mapping_.file.bytes().subspan(block_at + kBlockHeader, p.payload), compress_level, compress_type_));
  if (compressed.size() > kU32Max) return invalid("compressed block exceeds u32");
  const std::uint64_t end = p.offset + kBlockHeader + compressed.size();
  // The compressed bytes go past the block first, so that a seal cut short while it overwrites
  // the raw records is finished from that copy at reopen; the copy starts past both the raw
  // block and the sealed one, which may be the longer. Without room for it the records would be
  // at stake: the file grows until the copy fits, and a file that cannot grow so far keeps its
  // block raw (the set then rolls over to a new segment).
  const std::uint64_t staged = std::max(used_, end);
  while (capacity() < staged + compressed.size()) {
    if (!grow()) return fail(Error::segment_full());
  }
  // Records a sync covered are overwritten only once the copy, then the sealed header, are on
  // the disk, and the copy over them is before anything lands on the staged copy: at every
  // instant a power loss leaves the raw block, or a sealed one that decodes in place or from
  // its copy. Records no sync covered may go either way.
  const bool over_synced = p.offset < synced_used_;
  mapping_.file.write(header_len_ + staged, compressed);
  barrier();
  if (over_synced) QV_TRY(mapping_.file.sync_range(header_len_ + staged, compressed.size()));
  constexpr auto kSealedFlags = static_cast<std::uint16_t>(util::kCompressed | util::kSealed);
  publish_block_header(block_at, {static_cast<std::uint32_t>(compressed.size()), kSealedFlags,
                                  static_cast<std::uint16_t>(p.count), static_cast<std::uint32_t>(p.payload)});
  if (over_synced) QV_TRY(mapping_.file.sync_range(block_at, kBlockHeader));
  mapping_.file.write(block_at + kBlockHeader, compressed);
  barrier();
  if (over_synced) QV_TRY(mapping_.file.sync_range(block_at + kBlockHeader, compressed.size()));
  used_ = end;
  store_total_words();
  pending_.reset();
  store_pending_words();
  mark_dirty();
  return {};
}

Result<DataSegment::LastRecord> DataSegment::last_record_of_pending(std::uint64_t block_offset, std::uint16_t in_block,
                                                                   const LastRecordMessages& messages) {
  if (!mapped()) return fail(Error::mmap("segment mmap not open"));
  QV_TRY(begin_change());
  if (sum_overflows(header_len_, block_offset) || !bytes::fits(file_size_, header_len_ + block_offset, kBlockHeader))
    return invalid("block header out of bounds");
  const auto file = mapping_.file.bytes();
  const std::uint64_t block_at = header_len_ + block_offset;
  const util::BlockHeader block = util::read_block_header(file, block_at);
  if (block_at + kBlockHeader + block.payload_size != header_len_ + used_) return invalid(messages.not_last_block);
  if (!pending_ || pending_->offset != block_offset) return invalid(messages.not_pending);
  if ((block.flags & (util::kCompressed | util::kSealed)) != 0) return invalid(messages.sealed);
  if (messages.raw_size_mismatch != nullptr && block.payload_size != block.uncompressed_size)
    return invalid(messages.raw_size_mismatch);
  const std::uint64_t record_at = block_at + kBlockHeader + in_block;
  if (!bytes::fits(file_size_, record_at, kRecordHeader)) return invalid("cannot read record header");
  const std::uint64_t data_len = util::read_record_header(file, record_at).data_len;
  if (in_block + kRecordHeader + data_len != block.payload_size) return invalid(messages.not_last_record);
  return LastRecord{block, block_at, record_at, data_len};
}

Result<std::uint32_t> DataSegment::append_to_record(std::uint64_t block_offset, std::uint16_t in_block,
                                                    std::span<const std::uint8_t> extra) {
  static constexpr LastRecordMessages kAppend{
      "append: target block is not the last in segment", "append: target block is not pending",
      "append: target block is sealed or compressed", "append: pending raw payload_size != uncompressed_size",
      "append: target record is not the last in block"};
  const LastRecord target = QV_TRY(last_record_of_pending(block_offset, in_block, kAppend));
  const util::BlockHeader& block = target.block;
  const std::uint64_t block_at = target.block_at;
  const std::uint64_t block_end = block_at + kBlockHeader + block.payload_size;
  const std::uint64_t record_at = target.record_at;
  const std::uint64_t old_len = target.data_len;
  const std::uint64_t new_len = old_len + extra.size();
  if (new_len > kMaxRecordLen) return invalid("record data_len exceeds 4MiB limit");
  if (new_len > kMaxSharedRecordLen) return invalid("append: final record exceeds pending block capacity");
  if (file_size_ < block_end + extra.size()) return fail(Error::segment_full());
  const std::uint64_t new_payload = block.payload_size + extra.size();
  if (new_payload > kU32Max) return invalid("append block payload overflow");

  auto out = mapping_.file.mutable_bytes();
  bytes::copy_in(out, block_end, extra);
  barrier();
  // A length a sync covered may reach the disk in its new form before the bytes it now
  // counts: those are made durable first, so that a power loss leaves the record short or whole.
  if (synced(record_at)) QV_TRY(mapping_.file.sync_range(block_end, extra.size()));
  publish_block_header(block_at,
                       {static_cast<std::uint32_t>(new_payload), block.flags, block.record_count,
                        static_cast<std::uint32_t>(new_payload)},
                       pending_->marker);
  pending_->payload += extra.size();
  used_ += extra.size();
  uncompressed_size_ += extra.size();
  store_pending_words();
  store_total_words();
  // The record's new length commits the extension: until it is stored the record reads as it
  // was, and a reopen takes the block back to the record's end.
  bytes::put<std::uint32_t>(out, record_at, static_cast<std::uint32_t>(new_len));
  barrier();
  mark_dirty();
  return static_cast<std::uint32_t>(old_len);
}

Status DataSegment::correction_write(std::uint64_t block_offset, std::uint16_t in_block,
                                     std::span<const std::uint8_t> data) {
  static constexpr LastRecordMessages kCorrection{
      "correction write: target block is not the last in segment", "correction write: target block is not pending",
      "correction write: target block is sealed or compressed, not supported", nullptr,
      "correction write: target record is not the last in block"};
  const LastRecord target = QV_TRY(last_record_of_pending(block_offset, in_block, kCorrection));
  const util::BlockHeader& block = target.block;
  const std::uint64_t block_at = target.block_at;
  const std::uint64_t record_at = target.record_at;
  const std::uint64_t old_len = target.data_len;
  // Copying over a record a sync covered could leave it torn after a power loss: the dataset
  // stores a replacement instead.
  if (synced(record_at)) return invalid("correction write: the record is durable; it is replaced");
  if (data.size() > kMaxRecordLen) return invalid("record data_len exceeds 4MiB limit");
  const std::int64_t delta = static_cast<std::int64_t>(data.size()) - static_cast<std::int64_t>(old_len);
  const std::int64_t new_payload = static_cast<std::int64_t>(block.payload_size) + delta;
  const std::int64_t new_raw = static_cast<std::int64_t>(block.uncompressed_size) + delta;
  if (new_payload < 0 || new_raw < 0) return invalid("correction write: negative block size");
  if (new_payload > static_cast<std::int64_t>(kU32Max) || new_raw > static_cast<std::int64_t>(kU32Max))
    return invalid("correction write: block size exceeds u32");
  if (new_payload > static_cast<std::int64_t>(kMaxSharedPayload))
    return invalid("correction write: oversized record requires exclusive block");
  // The new record is staged past both forms of the record before anything in the block
  // changes, so that a reopen after a kill at any instant finishes the correction from it.
  // Without room for the copy the correction is refused (the dataset stores a replacement).
  const std::uint64_t span = std::max<std::uint64_t>(old_len, data.size());
  const std::uint64_t staged_at = record_at + kRecordHeader + span;
  if (!bytes::fits(file_size_, staged_at, kRecordHeader + data.size())) return fail(Error::segment_full());

  auto out = mapping_.file.mutable_bytes();
  util::write_record(out, staged_at, util::read_record_header(mapping_.file.bytes(), record_at).key, data);
  barrier();
  const std::uint32_t marker = CorrectionMarker::next_busy(pending_->marker, span);
  store_marker(block_at, marker);
  pending_->payload = apply_delta(pending_->payload, delta);
  used_ = apply_delta(used_, delta);
  uncompressed_size_ = apply_delta(uncompressed_size_, delta);
  finish_correction({record_at, staged_at, data.size(), marker, in_block}, block_at);
  return {};
}

// The counters already count the corrected record; the file follows them here. The marker
// stays busy until the state words are committed, so a kill anywhere in between leaves the
// staged copy in charge.
void DataSegment::finish_correction(const StagedCorrection& staged, std::uint64_t block_at) {
  auto out = mapping_.file.mutable_bytes();
  const auto copy = mapping_.file.bytes().subspan(staged.staged_at, kRecordHeader + staged.data_len);
  bytes::copy_in(out, staged.record_at, copy);
  barrier();
  const auto payload = static_cast<std::uint32_t>(pending_->payload);
  publish_block_header(block_at, {payload, 0, static_cast<std::uint16_t>(pending_->count), payload}, staged.marker);
  store_pending_words();
  store_total_words();
  pending_->marker = CorrectionMarker::idle(staged.marker);
  store_marker(block_at, pending_->marker);
  mark_dirty();
}

// ---- reads ---------------------------------------------------------------------------------

namespace {

bool is_raw(const util::BlockHeader& block) { return (block.flags & util::kCompressed) == 0; }

// A record read beside a writer that keeps changing its block is retried this often before the
// read gives up; a writer changes a block for microseconds at a time.
constexpr int kRawReadAttempts = 1000;
// A sealed block that does not decode in place nor from its staged copy is looked at again
// this often: a live writer may have finished its copy in between.
constexpr int kSealedReadAttempts = 3;

}  // namespace

Result<util::LiveHeader> DataSegment::block_for_read(std::uint64_t block_offset) const {
  if (!mapped()) return fail(Error::mmap("segment is closed, cannot read"));
  if (sum_overflows(header_len_, block_offset)) return invalid("block header out of bounds");
  const std::uint64_t block_at = header_len_ + block_offset;
  QV_TRY(cover(block_at, kBlockHeader));
  if (!bytes::fits(file_size_, block_at, kBlockHeader)) return invalid("block header out of bounds");
  const util::LiveHeader look = util::look_block_header(mapping_.file.bytes(), block_at);
  QV_TRY(util::check_block_flags(look.header.flags));
  QV_TRY(cover(block_at + kBlockHeader, look.header.payload_size));
  if (!bytes::fits(file_size_, block_at + kBlockHeader, look.header.payload_size))
    return invalid("block payload out of bounds");
  return look;
}

Status DataSegment::cover(std::uint64_t at, std::uint64_t len) const {
  if (bytes::fits(file_size_, at, len) || !mapped()) return {};
  QV_TRY(mapping_.file.remap_if_grown());
  file_size_ = mapping_.file.size();
  return {};
}

std::span<const std::uint8_t> DataSegment::raw_payload(std::uint64_t block_offset, const util::BlockHeader& block) const {
  return mapping_.file.bytes().subspan(header_len_ + block_offset + kBlockHeader, block.payload_size);
}

Result<BlockPayload> DataSegment::decompress_block(std::uint64_t block_offset, const util::BlockHeader& block) const {
  auto whole = [&](std::span<const std::uint8_t> raw) -> Status {
    const RecordWalk walk = walk_records(raw, block.record_count);
    if (walk.overshoot || walk.whole() != block.record_count || walk.end() != raw.size())
      return invalid("sealed block records do not fill its payload");
    return {};
  };
  const std::uint64_t payload_at = header_len_ + block_offset + kBlockHeader;
  // A seal copies its staged bytes over the raw records before it lets the pending words go
  // (or, cut short by a kill, until a reopen finished it): while they still name the block its
  // bytes may be half copied, and the staged copy stands in for them. Any other sealed block
  // is whole in place, and its staged region may hold later blocks.
  bool sealing = false;
  if (state_at_) {
    sealing = bytes::get<std::uint64_t>(mapping_.file.bytes(), *state_at_ + header::kPendingBlockOffsetWord) ==
              block_offset;
    std::atomic_thread_fence(std::memory_order_acquire);
  }
  // The seal grew the file for its copy when the copy did not fit.
  if (sealing) QV_TRY(cover(util::staged_copy_at(payload_at, block), block.payload_size));
  const auto file = mapping_.file.bytes();
  std::vector<std::uint8_t> raw =
      sealing ? QV_TRY(util::decode_sealed(file, payload_at, block, compress_type_, whole))
              : QV_TRY(util::decode_in_place(file, payload_at, block, compress_type_, whole));
  return std::make_shared<const std::vector<std::uint8_t>>(std::move(raw));
}

Result<BlockPayload> DataSegment::hot_payload(std::uint64_t dataset_id, std::uint64_t block_offset,
                                              const util::BlockHeader& block, BlockCache* cache, HotBlock& hot) const {
  const BlockKey key{dataset_id, file_offset_, block_offset};
  if (BlockPayload held = hot.get(key)) return held;
  const bool cached = cache != nullptr && dataset_id != 0;
  if (cached) {
    if (BlockPayload hit = cache->get(key)) {
      hot.set(key, hit);
      return hit;
    }
  }
  BlockPayload payload = QV_TRY(decompress_block(block_offset, block));
  if (cached) {
    if (BlockPayload present = cache->insert(key, payload)) payload = std::move(present);
    if (cache->max_memory() != 0) hot.set(key, payload);
  }
  return payload;
}

Result<DataSegment::RecordSource> DataSegment::sealed_source(std::uint64_t dataset_id, std::uint64_t block_offset,
                                                             const util::BlockHeader& block, BlockCache* cache,
                                                             HotBlock* hot) const {
  if (hot != nullptr) {
    BlockPayload payload = QV_TRY(hot_payload(dataset_id, block_offset, block, cache, *hot));
    return RecordSource{payload, *payload, RecordMessages::HotBlock};
  }
  const bool cached = cache != nullptr && dataset_id != 0;
  const BlockKey key{dataset_id, file_offset_, block_offset};
  if (cached) {
    if (BlockPayload hit = cache->get(key)) return RecordSource{hit, *hit, RecordMessages::Plain};
  }
  BlockPayload payload = QV_TRY(decompress_block(block_offset, block));
  if (cached) {
    if (BlockPayload present = cache->insert(key, payload)) payload = std::move(present);
  }
  return RecordSource{payload, *payload, RecordMessages::HotBlock};
}

Result<DataSegment::RecordSource> DataSegment::record_source(std::uint64_t dataset_id, std::uint64_t block_offset,
                                                             std::uint16_t in_block, const util::LiveHeader& look,
                                                             BlockCache* cache, HotBlock* hot) const {
  if (!is_raw(look.header)) {
    RecordSource src = QV_TRY(sealed_source(dataset_id, block_offset, look.header, cache, hot));
    src.in_block = in_block;
    return src;
  }
  // The raw block is read in place; only the record is copied. The last record of a block
  // under correction is read from its staged copy, which is whole while the marker is set.
  if (CorrectionMarker::busy(look.reserved)) {
    const std::uint64_t block_at = header_len_ + block_offset;
    auto staged = staged_correction(block_at, look.header.record_count, look.reserved);
    if (staged && staged->in_block == in_block && !staged->whole) {
      // The copy lies within its span past the record, which may reach past the mapping.
      const std::uint64_t mapped_size = file_size_;
      QV_TRY(cover(staged->staged_at, kRecordHeader + CorrectionMarker::span(look.reserved)));
      if (file_size_ != mapped_size) staged = staged_correction(block_at, look.header.record_count, look.reserved);
    }
    if (staged && staged->in_block == in_block) {
      // Its bytes in place may be half rewritten: without its copy (past this mapping's end, or
      // damaged) the record is not read.
      if (!staged->whole) return invalid("record under correction: its staged copy cannot be read");
      return RecordSource{nullptr, mapping_.file.bytes().subspan(staged->staged_at, kRecordHeader + staged->data_len),
                          RecordMessages::HotBlock, 0};
    }
  }
  return RecordSource{nullptr, raw_payload(block_offset, look.header), RecordMessages::HotBlock, in_block};
}

// A record copied out of a raw block stands when a second look at the header shows the same
// form and marker: a seal or a correction that overwrote its bytes in between changes one of
// them. Records added behind it and an extension of it change only the size, which matters
// only to a read that failed on it. A sealed block decodes whole or not at all.
template <class Extract>
auto DataSegment::read_stable(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache, HotBlock* hot,
                              Extract extract) const -> decltype(extract(std::declval<const RecordSource&>())) {
  const std::uint64_t block_at = header_len_ + entry.block_offset;
  for (int attempt = 1;; ++attempt) {
    const util::LiveHeader look = QV_TRY(block_for_read(entry.block_offset));
    auto source = record_source(dataset_id, entry.block_offset, entry.in_block, look, cache, hot);
    if (!is_raw(look.header)) {
      if (source) return extract(*source);
      if (attempt >= kSealedReadAttempts) return fail(source.error());
    } else if (!source) {
      // A record under correction without its staged copy: a live writer is about to finish.
      if (attempt >= kRawReadAttempts) return fail(source.error());
    } else {
      auto result = extract(*source);
      const util::LiveHeader again = util::look_block_header(mapping_.file.bytes(), block_at);
      const bool untouched = again.header.flags == look.header.flags && again.reserved == look.reserved;
      if (untouched && (result || again == look)) return result;
      if (attempt >= kRawReadAttempts) return invalid("block kept changing while it was read");
    }
    std::this_thread::yield();
  }
}

Result<RecordData> DataSegment::read_record(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache) const {
  return read_stable(dataset_id, entry, cache, nullptr, [](const RecordSource& src) {
    return HotBlock::read_record(src.bytes, src.in_block, src.messages);
  });
}

Result<bool> DataSegment::view_record(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache,
                                      const RecordViewer& view) const {
  return read_stable(dataset_id, entry, cache, nullptr, [&](const RecordSource& src) -> Result<bool> {
    const auto [ts, data] = QV_TRY(HotBlock::view_record(src.bytes, src.in_block, src.messages));
    return view(ts, data);
  });
}

Result<std::uint32_t> DataSegment::record_len(std::uint64_t dataset_id, const IndexEntry& entry,
                                              BlockCache* cache) const {
  return read_stable(dataset_id, entry, cache, nullptr, [](const RecordSource& src) {
    return HotBlock::record_len(src.bytes, src.in_block, src.messages);
  });
}

Result<RecordData> DataSegment::read_record_hot(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache,
                                                HotBlock& hot) const {
  return read_stable(dataset_id, entry, cache, &hot, [](const RecordSource& src) {
    return HotBlock::read_record(src.bytes, src.in_block, src.messages);
  });
}

Result<std::uint32_t> DataSegment::record_len_hot(std::uint64_t dataset_id, const IndexEntry& entry, BlockCache* cache,
                                                  HotBlock& hot) const {
  return read_stable(dataset_id, entry, cache, &hot, [](const RecordSource& src) {
    return HotBlock::record_len(src.bytes, src.in_block, src.messages);
  });
}

// ---- counters, growth, flushing ------------------------------------------------------------

Status DataSegment::invalidate() {
  invalid_record_count_ += 1;
  if (mapped()) {
    if (!state_at_) return fail(state_at_.error());
    const std::uint64_t state = *state_at_;
    mapping_.file.store<std::uint64_t>(state + header::kInvalidRecordCountWord, invalid_record_count_);
  }
  mark_dirty();
  return {};
}

Status DataSegment::grow() {
  const std::uint64_t doubled =
      file_size_ > std::numeric_limits<std::uint64_t>::max() / 2 ? std::numeric_limits<std::uint64_t>::max() : file_size_ * 2;
  const std::uint64_t new_size = std::min(max_file_size_, doubled);
  if (new_size <= file_size_) return invalid(text::cat("segment already at max_file_size (", max_file_size_, ")"));
  if (!mapped()) return fail(Error::mmap("segment mmap not open"));
  QV_TRY(mapping_.file.grow(new_size));
  file_size_ = mapping_.file.size();
  mark_dirty();
  return {};
}

void DataSegment::set_notifier(std::optional<FlushNotifier> notifier) { dirty_.set_notifier(std::move(notifier)); }

Status DataSegment::flush() {
  // A clean mapping holds nothing a sync would write.
  if (mapped() && !dirty_.clean()) QV_TRY(mapping_.file.sync());
  dirty_.synced();
  synced_used_ = used_;
  mapping_.changed = false;
  return {};
}

void DataSegment::release_mapping() {
  mapping_.file.unmap();
  mapping_.changed = false;
}

SegmentStats DataSegment::stats() const {
  return {file_offset_, record_count_, used_, uncompressed_size_, invalid_record_count_, min_ts_, max_ts_};
}

void DataSegment::note_timestamp(std::int64_t timestamp) {
  min_ts_ = std::min(min_ts_, timestamp);
  max_ts_ = std::max(max_ts_, timestamp);
}

// Within each group the commit word goes last, behind a barrier: the pending payload size for
// the pending block, the write position for the totals. restore() relies on this order.
void DataSegment::store_pending_words(std::uint64_t offset, std::uint64_t count, std::uint64_t payload) {
  const std::uint64_t state = *state_at_;
  mapping_.file.store<std::uint64_t>(state + header::kPendingBlockOffsetWord, offset);
  mapping_.file.store<std::uint64_t>(state + header::kPendingRecordCountWord, count);
  barrier();
  mapping_.file.store<std::uint64_t>(state + header::kPendingWrotePositionWord, payload);
  barrier();
}

void DataSegment::store_pending_words() {
  if (pending_)
    store_pending_words(pending_->offset, pending_->count, pending_->payload);
  else
    store_pending_words(header::kNoPendingBlock, 0, 0);
}

void DataSegment::store_total_words() {
  const std::uint64_t state = *state_at_;
  mapping_.file.store<std::int64_t>(state + header::kMinTsWord, min_ts_);
  mapping_.file.store<std::int64_t>(state + header::kMaxTsWord, max_ts_);
  mapping_.file.store<std::uint64_t>(state + header::kRecordCountWord, record_count_);
  mapping_.file.store<std::uint64_t>(state + header::kUncompressedSizeWord, uncompressed_size_);
  barrier();
  mapping_.file.store<std::uint64_t>(state + header::kWritePositionWord, header_len_ + used_);
  barrier();
}

// The first eight bytes (payload_size, flags, record_count) go in one store, after the rest: a
// kill never leaves those fields of one header mixed with another's.
void DataSegment::publish_block_header(std::uint64_t pos, const util::BlockHeader& block, std::uint32_t reserved) {
  std::array<std::uint8_t, kBlockHeader> image{};
  util::write_block_header(block, image, 0);
  bytes::store_le<std::uint32_t>(image.data() + util::kBlockReservedOffset, reserved);
  std::uint8_t* at = mapping_.file.mutable_bytes().subspan(pos, kBlockHeader).data();
  std::memcpy(at + 8, image.data() + 8, 8);
  barrier();
  bytes::store_le<std::uint64_t>(at, bytes::load_le<std::uint64_t>(image.data()));
  barrier();
}

// One store: a look at the header sees the marker before or after it, never half of it.
void DataSegment::store_marker(std::uint64_t block_at, std::uint32_t marker) {
  bytes::store_le<std::uint32_t>(mapping_.file.mutable_bytes().subspan(block_at + util::kBlockReservedOffset, 4).data(), marker);
  barrier();
}

void DataSegment::mark_dirty() {
  dirty_.changed();
  mapping_.changed = true;
}

}  // namespace quelvane
