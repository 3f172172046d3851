#include "segment.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>

#include "../compress.h"
#include "../header.h"
#include "../util/block_header.h"
#include "../util/bytes.h"
#include "../util/live_block.h"
#include "../util/log.h"
#include "../util/text.h"
#include "../util/time.h"

namespace quelvane {

namespace {

constexpr const char* kLogTarget = "quelvane::journal::segment";
constexpr std::uint64_t kBlockHeader = util::kBlockHeaderSize;
constexpr std::uint64_t kRecordHeader = util::kRecordHeaderSize;
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kNoPending = ~std::uint64_t{0};
constexpr std::uint64_t kMaxBlockRecords = 65535;
constexpr std::uint16_t kRawFlags = 0;
constexpr std::uint16_t kSealedFlags = util::kCompressed | util::kSealed;
constexpr std::uint16_t kSingleFlags = util::kCompressed | util::kSealed | util::kSingleRecord;

// State words, from the start of the state area.
std::atomic<JournalBarrierObserver> barrier_observer{nullptr};

constexpr std::uint64_t kFileSizeWord = 0;
constexpr std::uint64_t kWritePositionWord = 8;
constexpr std::uint64_t kRecordCountWord = 16;
constexpr std::uint64_t kUncompressedWord = 24;
constexpr std::uint64_t kPendingOffsetWord = 32;
constexpr std::uint64_t kPendingPayloadWord = 40;
constexpr std::uint64_t kPendingCountWord = 48;

std::unexpected<Error> invalid(std::string message) { return fail(Error::invalid_data(std::move(message))); }
std::unexpected<Error> closed_segment() { return fail(Error::mmap("journal segment is closed")); }
std::unexpected<Error> read_only_segment() { return invalid("read-only journal segment cannot be modified"); }

bool sum_overflows(std::uint64_t a, std::uint64_t b) { return a > kU64Max - b; }

// What the header says, once its checks passed.
struct Header {
  std::int64_t base = 0;
  std::uint64_t max_file_size = 0;
  std::uint8_t compress_level = 0;
  std::uint8_t compress_type = 0;
  std::uint64_t state_at = 0;    // 52 for every file this system writes
  std::uint64_t header_len = 0;  // 108 likewise; blocks start here
};

// The meta entries, walked strictly: an entry running past the meta area is an error.
Result<Header> parse_meta(std::span<const std::uint8_t> file, std::uint64_t meta_length) {
  if (meta_length < 3) return invalid("journal base_sequence meta missing");
  const auto meta = file.subspan(header::kPrefixSize, meta_length);
  std::optional<std::int64_t> base;
  std::optional<std::uint64_t> max_size;
  std::optional<std::uint8_t> level;
  std::optional<std::uint8_t> type;
  std::uint64_t pos = 0;
  while (meta_length - pos >= 3) {
    const std::uint8_t tag = meta[pos];
    const std::uint16_t len = bytes::load_le<std::uint16_t>(meta.data() + pos + 1);
    const std::uint64_t value_at = pos + 3;
    if (!bytes::fits(meta_length, value_at, len)) return invalid("journal meta TLV truncated");
    const std::uint8_t* v = meta.data() + value_at;
    if (tag == header::kTagBase && len == 8) base = bytes::load_le<std::int64_t>(v);
    if (tag == header::kTagMaxFileSize && len == 8) max_size = bytes::load_le<std::uint64_t>(v);
    if (tag == header::kTagCompressLevel && len == 1) level = *v;
    if (tag == header::kTagCompressType && len == 1) type = *v;
    pos = value_at + len;
  }
  if (!base) return invalid("journal base_sequence meta missing");
  if (!max_size) return invalid("journal file_size meta missing");
  if (!level) return invalid("journal compress_level meta missing");
  if (!type) return invalid("journal compress_type meta missing");
  return Header{.base = *base, .max_file_size = *max_size, .compress_level = *level, .compress_type = *type};
}

// The header checks, in their order. Never changes the file.
Result<Header> parse_header(std::span<const std::uint8_t> file, std::int64_t expected_base) {
  if (file.size() < JournalSegment::kHeaderSize) return invalid("journal segment header truncated");
  if (!std::equal(header::kMagic.begin(), header::kMagic.end(), file.begin())) return fail(Error::invalid_magic());
  const std::uint16_t version = bytes::get<std::uint16_t>(file, 4);
  if (version >= 2)
    QV_LOG(Warn, kLogTarget, "Journal segment has version ", version, " but current version is ", header::kVersion);
  const std::uint8_t file_type = file[6];
  if (file_type != header::kJournalFileType) return invalid(text::cat("unexpected journal file_type ", file_type));
  const std::uint64_t meta_length = bytes::get<std::uint16_t>(file, 7);
  if (file.size() < meta_length + 11) return invalid("journal segment state length truncated");
  const std::uint64_t state_length = bytes::get<std::uint16_t>(file, header::kPrefixSize + meta_length);
  if (state_length < JournalSegment::kStateLength)
    return invalid(text::cat("journal state_length ", state_length, " is smaller than ", JournalSegment::kStateLength));
  if (file.size() < meta_length + state_length + 11) return invalid("journal state truncated");
  Header h = QV_TRY(parse_meta(file, meta_length));
  QV_TRY(compress::check_compress_type(h.compress_type));
  if (h.base != expected_base)
    return invalid(text::cat("journal segment base_sequence mismatch: expected ", expected_base, ", got ", h.base));
  // A longer meta or state area than this system writes moves the state and the blocks with
  // it; only the 56 bytes of state words are ever written.
  h.state_at = header::kPrefixSize + meta_length + 2;
  h.header_len = h.state_at + state_length;
  return h;
}

// Walks exactly count records of a raw payload whose sequences run from first; the payload's
// last record must end at its end. Fills record_at with each record's offset.
Status check_records(std::span<const std::uint8_t> raw, std::uint64_t count, std::int64_t first,
                     std::vector<std::uint32_t>& record_at) {
  record_at.clear();
  std::uint64_t pos = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!bytes::fits(raw.size(), pos, kRecordHeader)) return invalid("journal record header out of block bounds");
    const util::RecordHeader rh = util::read_record_header(raw, pos);
    if (!bytes::fits(raw.size(), pos + kRecordHeader, rh.data_len))
      return invalid("journal record payload out of block bounds");
    if (rh.key != first + static_cast<std::int64_t>(i)) return invalid("journal sequence not found in selected block");
    record_at.push_back(static_cast<std::uint32_t>(pos));
    pos += kRecordHeader + rh.data_len;
  }
  if (pos != raw.size()) return invalid("journal block records do not fill its payload");
  return {};
}

bool whole_records(std::span<const std::uint8_t> raw, std::uint64_t count, std::int64_t first,
                   std::vector<std::uint32_t>& record_at) {
  return check_records(raw, count, first, record_at).has_value();
}

// The leading records of a raw payload that are whole and sequenced from first, at most
// 65,535 of them and at most `room`. Returns the bytes they take.
std::uint64_t salvage_records(std::span<const std::uint8_t> raw, std::int64_t first, std::uint64_t room,
                              std::vector<std::uint32_t>& record_at) {
  record_at.clear();
  std::uint64_t pos = 0;
  const std::uint64_t most = std::min(kMaxBlockRecords, room);
  while (record_at.size() < most && bytes::fits(raw.size(), pos, kRecordHeader)) {
    const util::RecordHeader rh = util::read_record_header(raw, pos);
    if (rh.key != first + static_cast<std::int64_t>(record_at.size())) break;
    if (!bytes::fits(raw.size(), pos + kRecordHeader, rh.data_len)) break;
    record_at.push_back(static_cast<std::uint32_t>(pos));
    pos += kRecordHeader + rh.data_len;
  }
  return pos;
}

}  // namespace

void set_journal_barrier_observer(JournalBarrierObserver observer) { barrier_observer.store(observer); }

JournalSegment::JournalSegment(fs::Path path, MappedFile file, bool read_only)
    : path_(std::move(path)), file_(std::move(file)), read_only_(read_only) {}

// A kill leaves the stores made into the mapping up to that instant; the fence keeps the
// compiler from moving stores across a step, and the observer (tests) takes the file there.
void JournalSegment::barrier() const {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (JournalBarrierObserver observer = barrier_observer.load(std::memory_order_relaxed)) [[unlikely]]
    observer(path_);
}

// ---- create and open --------------------------------------------------------------------

Result<JournalSegment> JournalSegment::create(const fs::Path& path, std::int64_t base_sequence,
                                              std::uint64_t initial_size, std::uint64_t max_file_size,
                                              std::uint8_t compress_level, std::uint8_t compress_type) {
  if (base_sequence < 1) return invalid("journal base_sequence must be positive");
  QV_TRY(compress::check_compress_type(compress_type));
  if (initial_size < kHeaderSize)
    return invalid(text::cat("initial journal segment size ", initial_size, " is smaller than header ", kHeaderSize));
  // Growth never shrinks a file, so a file born above its maximum could never take a record.
  if (initial_size > max_file_size)
    return invalid(text::cat("initial journal segment size ", initial_size, " exceeds maximum ", max_file_size));
  if (path.has_parent_path()) QV_TRY(fs::create_dir_all(path.parent_path()));

  JournalSegment seg(path, MappedFile{}, false);
  seg.base_ = base_sequence;
  seg.max_file_size_ = max_file_size;
  seg.compress_level_ = compress_level;
  seg.compress_type_ = compress_type;

  std::array<std::uint8_t, kHeaderSize> image{};
  const header::MetaValues meta{.created_ms = unix_millis_now(),
                                .base = base_sequence,
                                .max_file_size = max_file_size,
                                .compress_level = compress_level,
                                .compress_type = compress_type};
  seg.state_at_ = header::write_file_header(image, header::kJournalFileType, meta, kStateLength);
  seg.file_ = QV_TRY(MappedFile::create(path, initial_size, [&](MappedFile& made) {
    seg.file_size_ = made.size();
    made.write(0, image);
    seg.store_state(made);
    return made.sync();
  }));
  seg.clean_ = true;
  return seg;
}

Result<bool> JournalSegment::check_header(const fs::Path& path, std::int64_t expected_base) {
  const MappedFile file = QV_TRY(MappedFile::open(path, MappedFile::Access::ReadOnly));
  const auto bytes = file.bytes();
  auto zero = [&](std::uint64_t from, std::uint64_t to) {
    to = std::min<std::uint64_t>(to, bytes.size());
    return from >= to || bytes::all_zero(bytes.subspan(from, to - from));
  };
  // Empty or zero up to the end of the header: the file was never written. A create of an
  // earlier version made the file under its own name and wrote the magic last, so a header
  // without it in front of an empty first block is one cut short.
  if (zero(0, kHeaderSize)) return false;
  if (zero(0, header::kMagic.size()) && zero(kHeaderSize, kHeaderSize + kBlockHeader)) return false;
  QV_TRY(parse_header(bytes, expected_base));
  return true;
}

Result<JournalSegment> JournalSegment::open(const fs::Path& path, std::int64_t expected_base,
                                            std::uint64_t max_file_size) {
  return open_any(path, expected_base, max_file_size, false);
}

Result<JournalSegment> JournalSegment::open_read_only(const fs::Path& path, std::int64_t expected_base,
                                                      std::uint64_t max_file_size) {
  return open_any(path, expected_base, max_file_size, true);
}

Result<JournalSegment> JournalSegment::open_any(const fs::Path& path, std::int64_t expected_base,
                                                std::uint64_t max_file_size, bool read_only) {
  MappedFile file = QV_TRY(
      MappedFile::open(path, read_only ? MappedFile::Access::ReadOnly : MappedFile::Access::ReadWrite));
  const Header h = QV_TRY(parse_header(file.bytes(), expected_base));
  // Record i carries base + i, so a base below 1 names no sequence a journal uses.
  if (h.base < 1) return invalid("journal base_sequence must be positive");
  JournalSegment seg(path, std::move(file), read_only);
  seg.base_ = h.base;
  seg.file_size_ = seg.file_.size();
  seg.max_file_size_ = std::max(h.max_file_size, max_file_size);
  seg.header_len_ = h.header_len;
  seg.state_at_ = h.state_at;
  seg.compress_level_ = h.compress_level;
  seg.compress_type_ = h.compress_type;
  seg.synced_end_ = std::numeric_limits<std::uint64_t>::max();
  QV_TRY(seg.scan());
  return seg;
}

// Rebuilds the counters, the pending block and the block index from the blocks, up to the
// file's length; the state words are not looked at. Damage ends the segment before the first
// block that is not whole, except that the whole, correctly sequenced records at the start of
// a damaged raw block are kept as the pending block.
Status JournalSegment::scan() {
  const auto file = file_.bytes();
  std::uint64_t pos = header_len_;
  std::vector<std::uint32_t> record_at;
  std::vector<std::uint8_t> decoded;
  blocks_.clear();
  pending_.reset();
  pending_record_at_.clear();
  record_count_ = 0;
  uncompressed_bytes_ = 0;

  // Sequences end at the largest i64: a segment never counts a record beyond it.
  auto room = [&] { return static_cast<std::uint64_t>(INT64_MAX - base_) - record_count_; };
  auto accept = [&](const Block& block, std::uint64_t raw_len) {
    blocks_.push_back(block);
    record_count_ += block.count;
    uncompressed_bytes_ += raw_len;
  };
  // The raw block at pos keeps its leading whole records as the pending block; the scan ends.
  auto salvage = [&](std::uint64_t available) {
    if (available < kRecordHeader) return;
    const std::int64_t first = next_sequence();
    const std::uint64_t taken =
        salvage_records(file.subspan(pos + kBlockHeader, available), first, room(), record_at);
    if (record_at.empty()) return;
    pending_ = Pending{pos, taken, record_at.size()};
    pending_record_at_ = record_at;
    accept(Block{pos, first, record_at.size(), taken}, taken);
    pos += kBlockHeader + taken;
  };

  while (pos <= file_size_ && file_size_ - pos >= kBlockHeader) {
    const util::BlockHeader bh = util::read_block_header(file, pos);
    if (bh.record_count == 0 || bh.payload_size == 0) break;
    if (bh.record_count > room()) break;
    // Only the three forms this segment writes are read; any other is damage.
    if (bh.flags != kRawFlags && bh.flags != kSealedFlags && bh.flags != kSingleFlags) break;
    const std::uint64_t payload_at = pos + kBlockHeader;
    const std::int64_t first = next_sequence();
    if (!bytes::fits(file_size_, payload_at, bh.payload_size)) {
      if (bh.flags == kRawFlags) salvage(file_size_ - payload_at);
      break;
    }
    if (bh.flags == kRawFlags) {
      const auto raw = file.subspan(payload_at, bh.payload_size);
      if (bh.uncompressed_size != bh.payload_size || !whole_records(raw, bh.record_count, first, record_at)) {
        salvage(bh.payload_size);
        break;
      }
      pending_ = Pending{pos, bh.payload_size, bh.record_count};
      pending_record_at_ = record_at;
      accept(Block{pos, first, bh.record_count, bh.payload_size}, bh.payload_size);
      pos = payload_at + bh.payload_size;
      continue;
    }
    // A sealed block: its compressed bytes in place, or, for a seal cut short while it copied
    // them over the raw records, the copy it staged past the block first.
    auto decodes = [&](std::uint64_t at) {
      if (!bytes::fits(file_size_, at, bh.payload_size)) return false;
      auto raw = compress::decompress(file.subspan(at, bh.payload_size), compress_type_, bh.uncompressed_size);
      return raw && raw->size() == bh.uncompressed_size && whole_records(*raw, bh.record_count, first, record_at);
    };
    if (!decodes(payload_at)) {
      const std::uint64_t staged_at = util::staged_copy_at(payload_at, bh);
      if (bh.flags != kSealedFlags || !decodes(staged_at)) break;
      // A read-only segment leaves the seal to the writer and reads the block from whichever
      // copy decodes (read_block).
      if (!read_only_) {
        const std::vector<std::uint8_t> staged(file.begin() + staged_at, file.begin() + staged_at + bh.payload_size);
        file_.write(payload_at, staged);
      }
    }
    pending_.reset();
    pending_record_at_.clear();
    accept(Block{pos, first, bh.record_count, bh.uncompressed_size}, bh.uncompressed_size);
    pos = payload_at + bh.payload_size;
  }
  write_position_ = pos;

  if (pending_ && pending_->payload > kU32Max) return invalid("journal recovered pending block too large");
  if (read_only_) return {};
  clean_ = false;
  if (pending_) {
    // A block cut short is whole again.
    util::write_block_header({static_cast<std::uint32_t>(pending_->payload), kRawFlags,
                              static_cast<std::uint16_t>(pending_->count),
                              static_cast<std::uint32_t>(pending_->payload)},
                             file_.mutable_bytes(), pending_->at);
  }
  return sync_state();
}

// ---- mapping and state ------------------------------------------------------------------

Status JournalSegment::ensure_mapped() {
  if (file_.mapped()) return {};
  file_ = QV_TRY(MappedFile::open(path_, read_only_ ? MappedFile::Access::ReadOnly : MappedFile::Access::ReadWrite));
  file_size_ = file_.size();
  return {};
}

Status JournalSegment::writable_map() {
  if (!file_.mapped()) return closed_segment();
  if (read_only_ || !file_.writable()) return read_only_segment();
  return {};
}

Status JournalSegment::grow(std::uint64_t required) {
  while (file_size_ < required) {
    if (read_only_) return invalid("read-only journal segment cannot expand");
    const std::uint64_t doubled = file_size_ > kU64Max / 2 ? kU64Max : 2 * file_size_;
    const std::uint64_t new_size = std::min(doubled, max_file_size_);
    // At or above its maximum a file has no more room; it never shrinks.
    if (new_size <= file_size_) return fail(Error::segment_full());
    QV_TRY(ensure_mapped());
    QV_TRY(file_.grow(new_size));
    file_size_ = file_.size();
    clean_ = false;
  }
  return {};
}

Status JournalSegment::sync_state() {
  QV_TRY(writable_map());
  store_state(file_);
  return {};
}

void JournalSegment::store_state(MappedFile& file) const {
  const std::uint64_t s = state_at_;
  file.store<std::uint64_t>(s + kFileSizeWord, file_size_);
  file.store<std::uint64_t>(s + kWritePositionWord, write_position_);
  file.store<std::uint64_t>(s + kRecordCountWord, record_count_);
  file.store<std::uint64_t>(s + kUncompressedWord, uncompressed_bytes_);
  file.store<std::uint64_t>(s + kPendingOffsetWord, pending_ ? pending_->at - header_len_ : kNoPending);
  file.store<std::uint64_t>(s + kPendingPayloadWord, pending_ ? pending_->payload : 0);
  file.store<std::uint64_t>(s + kPendingCountWord, pending_ ? pending_->count : 0);
}

Status JournalSegment::flush() {
  if (!clean_ && file_.mapped() && file_.writable()) QV_TRY(file_.sync());
  clean_ = true;
  synced_end_ = write_position_;
  return {};
}

Status JournalSegment::unmap() {
  QV_TRY(flush());
  file_.unmap();
  decoded_ = Decoded{};
  return {};
}

// ---- append -----------------------------------------------------------------------------

Status JournalSegment::append(std::int64_t sequence, std::span<const std::uint8_t> data) {
  if (sequence != next_sequence())
    return invalid(text::cat("journal sequence ", sequence, " is not next for segment ", base_, " record_count ",
                             record_count_));
  if (sequence == INT64_MAX) return invalid("journal sequence overflow");
  // A segment left without its mapping (a failed remap) is mapped again rather than refused.
  if (!read_only_) QV_TRY(ensure_mapped());
  const std::uint64_t len = data.size();
  if (len > kMaxPendingRecordLen) return append_single(sequence, data);
  QV_TRY(make_room(len));
  if (pending_) return append_to_pending(sequence, data);
  QV_TRY(writable_map());
  // An empty header first: until the record is complete the block does not count.
  util::write_block_header({}, file_.mutable_bytes(), write_position_);
  barrier();
  pending_ = Pending{write_position_, 0, 0};
  pending_record_at_.clear();
  blocks_.push_back(Block{write_position_, sequence, 0, 0});
  write_position_ += kBlockHeader;
  return append_to_pending(sequence, data);
}

Status JournalSegment::make_room(std::uint64_t len) {
  // A record of its own block is compressed first, so its room is made at its append; no
  // change of a dataset or of the store makes one that long.
  if (len > kMaxPendingRecordLen) return {};
  if (!read_only_) QV_TRY(ensure_mapped());
  // Room for the record's place and its block's entry before anything changes: running out of
  // memory then changes nothing.
  pending_record_at_.reserve(pending_record_at_.size() + 1);
  if (pending_ && pending_->payload + kRecordHeader + len <= kMaxPendingPayload)
    return grow(write_position_ + kRecordHeader + len);
  if (pending_) {
    QV_TRY(seal_pending());
    QV_TRY(forget_pending());
  }
  if (sum_overflows(write_position_, kBlockHeader + kRecordHeader + len))
    return invalid("journal append position overflow");
  QV_TRY(grow(write_position_ + kBlockHeader + kRecordHeader + len));
  blocks_.reserve(blocks_.size() + 1);
  return {};
}

Status JournalSegment::append_to_pending(std::int64_t sequence, std::span<const std::uint8_t> data) {
  if (!pending_) return invalid("journal pending block missing");
  QV_TRY(writable_map());
  Pending& p = *pending_;
  const std::uint64_t record_len = kRecordHeader + data.size();
  if (p.payload + record_len > kU32Max) return invalid("journal pending block too large");
  if (p.count + 1 > kMaxBlockRecords) return invalid("journal pending record_count exceeds u16");
  const std::uint64_t in_block = p.payload;
  // Room for the record's place before anything changes: running out of memory then changes nothing.
  pending_record_at_.reserve(pending_record_at_.size() + 1);
  util::write_record(file_.mutable_bytes(), p.at + kBlockHeader + in_block, sequence, data);
  barrier();
  p.payload += record_len;
  p.count += 1;
  util::write_block_header({static_cast<std::uint32_t>(p.payload), kRawFlags, static_cast<std::uint16_t>(p.count),
                            static_cast<std::uint32_t>(p.payload)},
                           file_.mutable_bytes(), p.at);
  barrier();
  pending_record_at_.push_back(static_cast<std::uint32_t>(in_block));
  Block& block = blocks_.back();
  block.count = p.count;
  block.raw_len = p.payload;
  write_position_ += record_len;
  record_count_ += 1;
  uncompressed_bytes_ += record_len;
  QV_TRY(sync_state());
  clean_ = false;
  return {};
}

Status JournalSegment::seal_pending() {
  if (!pending_) return invalid("journal pending block missing");
  QV_TRY(writable_map());
  const Pending p = *pending_;
  const std::uint64_t payload_at = p.at + kBlockHeader;
  // Compressed straight out of the mapping: nothing remaps it before the output is complete.
  const std::vector<std::uint8_t> compressed =
      QV_TRY(compress::compress(file_.bytes().subspan(payload_at, p.payload), compress_level_, compress_type_));
  if (compressed.size() > kU32Max) return invalid("journal compressed block too large");
  if (p.count > kMaxBlockRecords) return invalid("journal pending record_count exceeds u16");
  if (p.payload > kU32Max) return invalid("journal raw block too large");
  const util::BlockHeader sealed{static_cast<std::uint32_t>(compressed.size()), kSealedFlags,
                                 static_cast<std::uint16_t>(p.count), static_cast<std::uint32_t>(p.payload)};
  // The compressed bytes are staged past both forms of the block (incompressible records come
  // out longer), then the header says sealed, then they overwrite the raw records: a seal cut
  // short is finished from the copy at the next open. The file grows until the copy fits; when
  // it cannot, the block stays raw and unchanged and the record goes to the next segment, as
  // overwriting records without a copy to finish from could lose them all.
  //
  // Records a sync covered are overwritten only once the copy, then the sealed header, are on
  // the disk, and the copy over them is before the next record lands on the staged copy: at
  // every instant a power loss leaves the raw block, or a sealed one that decodes in place or
  // from its copy. Records no sync covered may go either way.
  const std::uint64_t staged_at = payload_at + std::max<std::uint64_t>(p.payload, compressed.size());
  QV_TRY(grow(staged_at + compressed.size()));
  const bool over_synced = payload_at < synced_end_;
  file_.write(staged_at, compressed);
  barrier();
  if (over_synced) QV_TRY(file_.sync_range(staged_at, compressed.size()));
  util::write_block_header(sealed, file_.mutable_bytes(), p.at);
  barrier();
  if (over_synced) QV_TRY(file_.sync_range(p.at, kBlockHeader));
  file_.write(payload_at, compressed);
  barrier();
  if (over_synced) QV_TRY(file_.sync_range(payload_at, compressed.size()));
  write_position_ = payload_at + compressed.size();
  // What lies past the sealed block no longer counts, so the next block's seal needs no sync.
  if (over_synced) synced_end_ = write_position_;
  QV_TRY(sync_state());
  clean_ = false;
  return {};
}

Status JournalSegment::forget_pending() {
  pending_.reset();
  pending_record_at_.clear();
  return sync_state();
}

Status JournalSegment::append_single(std::int64_t sequence, std::span<const std::uint8_t> data) {
  if (pending_) {
    QV_TRY(seal_pending());
    QV_TRY(forget_pending());
  }
  const std::uint64_t len = data.size();
  if (len > kU32Max) return invalid("journal payload exceeds u32");
  scratch_.resize(kRecordHeader + len);
  util::write_record(scratch_, 0, sequence, data);
  const std::vector<std::uint8_t> compressed = QV_TRY(compress::compress(scratch_, compress_level_, compress_type_));
  scratch_.clear();
  scratch_.shrink_to_fit();
  if (sum_overflows(write_position_, kBlockHeader + compressed.size()))
    return invalid("journal single block overflow");
  QV_TRY(grow(write_position_ + kBlockHeader + compressed.size()));
  QV_TRY(writable_map());
  if (compressed.size() > kU32Max) return invalid("journal single block compressed size exceeds u32");
  if (kRecordHeader + len > kU32Max) return invalid("journal single block raw size exceeds u32");
  const std::uint64_t at = write_position_;
  file_.write(at + kBlockHeader, compressed);
  barrier();
  util::write_block_header({static_cast<std::uint32_t>(compressed.size()), kSingleFlags, 1,
                            static_cast<std::uint32_t>(kRecordHeader + len)},
                           file_.mutable_bytes(), at);
  barrier();
  blocks_.push_back(Block{at, sequence, 1, kRecordHeader + len});
  write_position_ = at + kBlockHeader + compressed.size();
  record_count_ += 1;
  uncompressed_bytes_ += kRecordHeader + len;
  QV_TRY(sync_state());
  clean_ = false;
  return {};
}

// ---- cut ----------------------------------------------------------------------------------

Status JournalSegment::cut_after(std::int64_t last_kept) {
  if (last_kept >= next_sequence() - 1) return {};
  QV_TRY(writable_map());
  if (last_kept < base_) {
    blocks_.clear();
    pending_.reset();
    pending_record_at_.clear();
    write_position_ = header_len_;
  } else {
    const std::size_t b = block_of(last_kept + 1);
    const Block block = blocks_[b];
    const auto keep = static_cast<std::uint64_t>(last_kept + 1 - block.first);
    blocks_.resize(keep == 0 ? b : b + 1);
    if (keep == 0) {
      pending_.reset();
      pending_record_at_.clear();
      write_position_ = block.at;
    } else {
      // The block that holds the last record kept goes on as the raw pending block of its
      // first `keep` records.
      const BlockRecords records = QV_TRY(read_block(block));
      std::vector<std::uint32_t> record_at;
      const std::uint64_t kept_len = salvage_records(records.raw, block.first, keep, record_at);
      if (record_at.size() != keep) return invalid("journal block to cut holds fewer records than it counts");
      const bool sealed = (util::look_block_header(file_.bytes(), block.at).header.flags & util::kCompressed) != 0;
      if (sealed) {
        // The raw records go over the compressed ones, and reach the disk before the header
        // says raw: a power loss in between leaves the header sealed over bytes that do not
        // decode, and the next open cuts again from the staged copy or ends the segment there.
        const std::vector<std::uint8_t> raw(records.raw.begin(), records.raw.begin() + kept_len);
        QV_TRY(grow(block.at + kBlockHeader + kept_len));
        file_.write(block.at + kBlockHeader, raw);
        barrier();
        QV_TRY(file_.sync());
      }
      util::write_block_header({static_cast<std::uint32_t>(kept_len), kRawFlags, static_cast<std::uint16_t>(keep),
                                static_cast<std::uint32_t>(kept_len)},
                               file_.mutable_bytes(), block.at);
      barrier();
      pending_ = Pending{block.at, kept_len, keep};
      pending_record_at_ = std::move(record_at);
      blocks_.back().count = keep;
      blocks_.back().raw_len = kept_len;
      write_position_ = block.at + kBlockHeader + kept_len;
    }
  }
  // Nothing past the cut reads as a block again, whatever its bytes.
  if (bytes::fits(file_size_, write_position_, kBlockHeader))
    util::write_block_header({}, file_.mutable_bytes(), write_position_);
  barrier();
  record_count_ = 0;
  uncompressed_bytes_ = 0;
  for (const Block& kept : blocks_) {
    record_count_ += kept.count;
    uncompressed_bytes_ += kept.raw_len;
  }
  decoded_ = Decoded{};
  QV_TRY(sync_state());
  clean_ = false;
  return {};
}

// ---- read -------------------------------------------------------------------------------

std::size_t JournalSegment::block_of(std::int64_t sequence) const {
  auto it = std::upper_bound(blocks_.begin(), blocks_.end(), sequence,
                             [](std::int64_t seq, const Block& b) { return seq < b.first; });
  QV_ASSERT(it != blocks_.begin(), "journal sequence below the segment's first block");
  return static_cast<std::size_t>(it - blocks_.begin() - 1);
}

// A block's form comes from its header as it is now: a live writer may have sealed a block
// this read-only segment saw raw. A raw block is bounded by what the scan accepted, whatever
// its header says since.
Result<JournalSegment::BlockRecords> JournalSegment::read_block(const Block& block) {
  if (!bytes::fits(file_.size(), block.at, kBlockHeader)) return invalid("journal block payload out of bounds");
  if (decoded_.at == block.at) return BlockRecords{decoded_.raw, decoded_.record_at};
  util::BlockHeader live = util::look_block_header(file_.bytes(), block.at).header;
  if ((live.flags & util::kCompressed) == 0) {
    if (!bytes::fits(file_.size(), block.at + kBlockHeader, block.raw_len))
      return invalid("journal block payload out of bounds");
    const auto raw = file_.bytes().subspan(block.at + kBlockHeader, block.raw_len);
    const bool is_pending = pending_ && pending_->at == block.at;
    const std::span<const std::uint32_t> record_at =
        is_pending ? std::span<const std::uint32_t>(pending_record_at_) : std::span<const std::uint32_t>();
    // This segment is the file's only writer: nothing changes the records under it.
    if (!read_only_) return BlockRecords{raw, record_at};
    // A live writer may seal the block in place at any instant, overwriting the records: they
    // are copied out, and the copy holds them only if the header still says raw after it.
    decoded_.at = kNoPending;
    decoded_.raw.assign(raw.begin(), raw.end());
    live = util::look_block_header(file_.bytes(), block.at).header;
    if ((live.flags & util::kCompressed) == 0) {
      decoded_.record_at.assign(record_at.begin(), record_at.end());
      decoded_.at = block.at;
      return BlockRecords{decoded_.raw, decoded_.record_at};
    }
  }
  QV_TRY(decode_sealed(block, live));
  return BlockRecords{decoded_.raw, decoded_.record_at};
}

Status JournalSegment::decode_sealed(const Block& block, const util::BlockHeader& sealed) {
  decoded_.at = kNoPending;
  const std::uint64_t payload_at = block.at + kBlockHeader;
  // A seal this read-only segment did not see grew the file for its staged copy first.
  const std::uint64_t needed = sealed.flags == kSealedFlags
                                   ? util::staged_copy_at(payload_at, sealed) + sealed.payload_size
                                   : payload_at + sealed.payload_size;
  if (read_only_ && file_.size() < needed) QV_TRY(file_.remap_if_grown());
  if (!bytes::fits(file_.size(), payload_at, sealed.payload_size)) return invalid("journal block payload out of bounds");
  const auto whole = [&](std::span<const std::uint8_t> raw) {
    return check_records(raw, sealed.record_count, block.first, decoded_.record_at);
  };
  auto raw = util::decode_sealed(file_.bytes(), payload_at, sealed, compress_type_, whole);
  // The bytes in place may have been half copied and the staged copy overwritten since by the
  // writer's next block: that writer had finished the copy in place first.
  if (!raw && read_only_) raw = util::decode_sealed(file_.bytes(), payload_at, sealed, compress_type_, whole);
  decoded_.raw = QV_TRY(std::move(raw));
  decoded_.at = block.at;
  return {};
}

namespace {

// Record i of a block: through its known offset, or by walking the payload from the start.
Result<std::span<const std::uint8_t>> record_in_block(std::span<const std::uint8_t> raw,
                                                      std::span<const std::uint32_t> record_at, std::uint64_t i,
                                                      std::int64_t sequence) {
  std::uint64_t pos = 0;
  if (i < record_at.size()) {
    pos = record_at[i];
  } else {
    for (std::uint64_t k = 0; k < i; ++k) {
      if (!bytes::fits(raw.size(), pos, kRecordHeader)) return invalid("journal record header out of block bounds");
      const std::uint32_t len = bytes::load_le<std::uint32_t>(raw.data() + pos);
      pos += kRecordHeader + len;
    }
  }
  if (!bytes::fits(raw.size(), pos, kRecordHeader)) return invalid("journal record header out of block bounds");
  const util::RecordHeader rh = util::read_record_header(raw, pos);
  if (!bytes::fits(raw.size(), pos + kRecordHeader, rh.data_len))
    return invalid("journal record payload out of block bounds");
  if (rh.key != sequence) return invalid("journal sequence not found in selected block");
  return raw.subspan(pos + kRecordHeader, rh.data_len);
}

}  // namespace

Result<std::optional<std::vector<std::uint8_t>>> JournalSegment::read(std::int64_t sequence) {
  QV_TRY(ensure_mapped());
  if (sequence < base_ || sequence >= next_sequence()) return std::nullopt;
  const Block& block = blocks_[block_of(sequence)];
  const BlockRecords records = QV_TRY(read_block(block));
  const auto data = QV_TRY(record_in_block(records.raw, records.record_at,
                                           static_cast<std::uint64_t>(sequence - block.first), sequence));
  return std::vector<std::uint8_t>(data.begin(), data.end());
}

Status JournalSegment::visit(std::int64_t from, std::int64_t to, const Visitor& visit) {
  QV_TRY(ensure_mapped());
  from = std::max(from, base_);
  to = std::min(to, next_sequence() - 1);
  if (from > to) return {};
  for (std::size_t b = block_of(from); b < blocks_.size() && blocks_[b].first <= to; ++b) {
    const Block block = blocks_[b];
    const BlockRecords records = QV_TRY(read_block(block));
    // One walk over the block's records.
    std::uint64_t pos = 0;
    for (std::uint64_t i = 0; i < block.count; ++i) {
      const std::int64_t seq = block.first + static_cast<std::int64_t>(i);
      if (seq > to) break;
      if (!bytes::fits(records.raw.size(), pos, kRecordHeader))
        return invalid("journal record header out of block bounds");
      const util::RecordHeader rh = util::read_record_header(records.raw, pos);
      if (!bytes::fits(records.raw.size(), pos + kRecordHeader, rh.data_len))
        return invalid("journal record payload out of block bounds");
      if (rh.key != seq) return invalid("journal sequence not found in selected block");
      if (seq >= from) visit(seq, records.raw.subspan(pos + kRecordHeader, rh.data_len));
      pos += kRecordHeader + rh.data_len;
    }
  }
  return {};
}

}  // namespace quelvane
