#include "header.h"

#include <algorithm>
#include <string_view>

#include "compress.h"
#include "util/bytes.h"
#include "util/log.h"
#include "util/text.h"

namespace quelvane::header {

namespace {

constexpr std::string_view kLogTarget = "quelvane::header";
constexpr std::uint64_t kMetaStart = kPrefixSize;
constexpr std::uint64_t kEntryHeadSize = 3;  // u8 tag, u16 value length

Error truncated(std::string_view what, std::uint64_t need, std::uint64_t got) {
  return Error::invalid_data(text::cat("truncated ", what, ": need ", need, " bytes, got ", got));
}

// Position of the u16 state_length; the state area follows it.
constexpr std::uint64_t state_length_pos(std::uint16_t meta_length) { return kMetaStart + meta_length; }

std::uint8_t* put_entry_head(std::uint8_t* p, std::uint8_t tag, std::uint16_t len) {
  p[0] = tag;
  bytes::store_le<std::uint16_t>(p + 1, len);
  return p + kEntryHeadSize;
}

void store_data_words(std::uint8_t* state, const DataTotals& t) {
  bytes::store_le<std::int64_t>(state + kMinTsWord, t.min_ts);
  bytes::store_le<std::int64_t>(state + kMaxTsWord, t.max_ts);
  bytes::store_le<std::uint64_t>(state + kWritePositionWord, t.write_position);
  bytes::store_le<std::uint64_t>(state + kRecordCountWord, t.record_count);
  bytes::store_le<std::uint64_t>(state + kUncompressedSizeWord, t.uncompressed_size);
}

void store_pending_words(std::uint8_t* state, const PendingState& p) {
  bytes::store_le<std::uint64_t>(state + kPendingBlockOffsetWord, p.pending_block_offset);
  bytes::store_le<std::uint64_t>(state + kPendingWrotePositionWord, p.pending_wrote_position);
  bytes::store_le<std::uint64_t>(state + kPendingRecordCountWord, p.pending_record_count);
}

DataState load_data_words(const std::uint8_t* state) {
  DataState s;
  s.totals.min_ts = bytes::load_le<std::int64_t>(state + kMinTsWord);
  s.totals.max_ts = bytes::load_le<std::int64_t>(state + kMaxTsWord);
  s.totals.write_position = bytes::load_le<std::uint64_t>(state + kWritePositionWord);
  s.totals.record_count = bytes::load_le<std::uint64_t>(state + kRecordCountWord);
  s.totals.uncompressed_size = bytes::load_le<std::uint64_t>(state + kUncompressedSizeWord);
  s.pending.pending_block_offset = bytes::load_le<std::uint64_t>(state + kPendingBlockOffsetWord);
  s.pending.pending_wrote_position = bytes::load_le<std::uint64_t>(state + kPendingWrotePositionWord);
  s.pending.pending_record_count = bytes::load_le<std::uint64_t>(state + kPendingRecordCountWord);
  s.invalid_record_count = bytes::load_le<std::uint64_t>(state + kInvalidRecordCountWord);
  return s;
}

FileHeader from_parts(const Prefix& p, const MetaValues& meta, std::uint16_t state_length) {
  FileHeader h;
  h.magic = p.magic;
  h.version = p.version;
  h.file_type = p.file_type;
  h.meta_length = p.meta_length;
  h.meta = meta;
  h.state_length = state_length;
  return h;
}

}  // namespace

std::uint64_t write_file_header(std::span<std::uint8_t> buf, std::uint8_t file_type, const MetaValues& meta,
                                std::uint16_t state_length) {
  QV_ASSERT(buf.size() >= kStateOffset, "segment header written into a buffer shorter than the header");
  std::uint8_t* p = buf.data();
  std::copy(kMagic.begin(), kMagic.end(), p);
  bytes::store_le<std::uint16_t>(p + 4, kVersion);
  p[6] = file_type;
  bytes::store_le<std::uint16_t>(p + 7, kMetaLength);

  std::uint8_t* e = p + kMetaStart;
  e = put_entry_head(e, kTagCreatedMs, 8);
  bytes::store_le<std::int64_t>(e, meta.created_ms);
  e = put_entry_head(e + 8, kTagBase, 8);
  bytes::store_le<std::int64_t>(e, meta.base);
  e = put_entry_head(e + 8, kTagMaxFileSize, 8);
  bytes::store_le<std::uint64_t>(e, meta.max_file_size);
  e = put_entry_head(e + 8, kTagCompressLevel, 1);
  *e = meta.compress_level;
  e = put_entry_head(e + 1, kTagCompressType, 1);
  *e = meta.compress_type;
  e += 1;
  QV_ASSERT(e == p + state_length_pos(kMetaLength), "meta entries do not fill the meta length");

  bytes::store_le<std::uint16_t>(e, state_length);
  return kStateOffset;
}

void write_data_header(const MetaValues& meta, const DataState& state, std::span<std::uint8_t> buf) {
  QV_ASSERT(buf.size() >= kDataHeaderSize, "data header written into a buffer shorter than the header");
  const std::uint64_t at = write_file_header(buf, kDataFileType, meta, kDataStateLength);
  std::uint8_t* words = buf.data() + at;
  store_data_words(words, state.totals);
  store_pending_words(words, state.pending);
  bytes::store_le<std::uint64_t>(words + kInvalidRecordCountWord, state.invalid_record_count);
}

void write_index_header(const MetaValues& meta, std::uint64_t entries_end, std::span<std::uint8_t> buf) {
  QV_ASSERT(buf.size() >= kIndexHeaderArea, "index header written into a buffer shorter than its area");
  const std::uint64_t at = write_file_header(buf, kIndexFileType, meta, kIndexStateLength);
  bytes::store_le<std::uint64_t>(buf.data() + at + kEntriesEndWord, entries_end);
  // A new file is zero already; clearing the rest keeps the area zero whatever buffer is given.
  std::fill(buf.begin() + static_cast<std::ptrdiff_t>(at + kIndexStateLength),
            buf.begin() + static_cast<std::ptrdiff_t>(kIndexHeaderArea), std::uint8_t{0});
}

Result<Prefix> parse_prefix(std::span<const std::uint8_t> file) {
  if (file.size() < kPrefixSize) return fail(truncated("fixed header prefix", kPrefixSize, file.size()));
  if (!std::equal(kMagic.begin(), kMagic.end(), file.begin())) return fail(Error::invalid_magic());
  Prefix p;
  std::copy(kMagic.begin(), kMagic.end(), p.magic.begin());
  p.version = bytes::load_le<std::uint16_t>(file.data() + 4);
  p.file_type = file[6];
  p.meta_length = bytes::load_le<std::uint16_t>(file.data() + 7);
  if (p.version > kVersion) {
    QV_LOG(Warn, kLogTarget, "File has version ", p.version, " but we know ", kVersion,
           ", parsing known fields only");
  }
  return p;
}

Result<MetaValues> parse_meta(std::span<const std::uint8_t> file, std::uint16_t meta_length) {
  const std::uint64_t end = kMetaStart + meta_length;
  if (file.size() < end) return fail(truncated("meta tlv", end, file.size()));
  MetaValues m;
  std::uint64_t pos = kMetaStart;
  while (pos + kEntryHeadSize <= end) {
    const std::uint8_t tag = file[pos];
    const std::uint16_t len = bytes::load_le<std::uint16_t>(file.data() + pos + 1);
    const std::uint64_t value = pos + kEntryHeadSize;
    // A value running past the area ends the walk: what was read so far stands.
    if (value + len > end) break;
    const std::uint8_t* v = file.data() + value;
    if (len == 8) {
      if (tag == kTagCreatedMs) m.created_ms = bytes::load_le<std::int64_t>(v);
      if (tag == kTagBase) m.base = bytes::load_le<std::int64_t>(v);
      if (tag == kTagMaxFileSize) m.max_file_size = bytes::load_le<std::uint64_t>(v);
    } else if (len == 1) {
      if (tag == kTagCompressLevel) m.compress_level = *v;
      if (tag == kTagCompressType) m.compress_type = *v;
    }
    pos = value + len;
  }
  return m;
}

Result<FileHeader> parse_data_header(std::span<const std::uint8_t> file) {
  const Prefix p = QV_TRY(parse_prefix(file));
  const MetaValues meta = QV_TRY(parse_meta(file, p.meta_length));
  QV_TRY(compress::check_compress_type(meta.compress_type));

  const std::uint64_t sl_pos = state_length_pos(p.meta_length);
  if (file.size() < sl_pos + 2) return fail(truncated("data state_length", sl_pos + 2, file.size()));
  const std::uint16_t sl = bytes::load_le<std::uint16_t>(file.data() + sl_pos);
  if (sl < kDataStateLength) {
    return fail(Error::invalid_data(
        text::cat("data state_length ", sl, " is smaller than v1 ", kDataStateLength)));
  }
  const std::uint64_t state = sl_pos + 2;
  if (file.size() < state + sl) return fail(truncated("data header", state + sl, file.size()));

  FileHeader h = from_parts(p, meta, sl);
  h.header_len = state + sl;
  // A longer state area comes from a later version; only the words known here are read.
  h.data = load_data_words(file.data() + state);
  return h;
}

Result<FileHeader> parse_index_header(std::span<const std::uint8_t> file) {
  const Prefix p = QV_TRY(parse_prefix(file));
  if (p.version != kVersion) {
    return fail(Error::invalid_data(
        text::cat("unsupported index file version ", p.version, ", expected ", kVersion)));
  }
  const MetaValues meta = QV_TRY(parse_meta(file, p.meta_length));
  QV_TRY(compress::check_compress_type(meta.compress_type));

  const std::uint64_t sl_pos = state_length_pos(p.meta_length);
  if (file.size() < sl_pos + 2) return fail(truncated("index state_length", sl_pos + 2, file.size()));
  const std::uint16_t sl = bytes::load_le<std::uint16_t>(file.data() + sl_pos);
  if (sl < kIndexStateLength) {
    return fail(Error::invalid_data(
        text::cat("index state_length ", sl, " is smaller than v1 ", kIndexStateLength)));
  }
  const std::uint64_t state = sl_pos + 2;
  if (state + sl > kIndexHeaderArea) {
    return fail(Error::invalid_data(text::cat("index header content length ", state + sl,
                                              " exceeds reserved entry start ", kIndexHeaderArea)));
  }
  if (file.size() < kIndexHeaderArea) {
    return fail(truncated("index header reserved area", kIndexHeaderArea, file.size()));
  }

  FileHeader h = from_parts(p, meta, sl);
  h.header_len = kIndexHeaderArea;
  h.entries_end = bytes::load_le<std::uint64_t>(file.data() + state + kEntriesEndWord);
  return h;
}

Result<std::uint64_t> locate_state(std::span<const std::uint8_t> file, std::uint8_t expected_file_type,
                                   std::uint64_t word_offset) {
  const Prefix p = QV_TRY(parse_prefix(file));
  if (p.file_type != expected_file_type) {
    return fail(Error::invalid_data(text::cat("unexpected file_type ", p.file_type)));
  }
  const std::uint64_t sl_pos = state_length_pos(p.meta_length);
  if (file.size() < sl_pos + 2) return fail(truncated("state_length", sl_pos + 2, file.size()));
  const std::uint16_t sl = bytes::load_le<std::uint16_t>(file.data() + sl_pos);
  const std::uint64_t state = sl_pos + 2;
  if (file.size() < state + sl) return fail(truncated("state", state + sl, file.size()));
  if (!bytes::fits(sl, word_offset, 8)) {
    return fail(Error::invalid_data(
        text::cat("state field offset ", word_offset, " exceeds state_length ", sl)));
  }
  return state;
}

void write_data_state_at(std::span<std::uint8_t> file, std::uint64_t state_offset, const DataTotals& totals) {
  QV_ASSERT(bytes::fits(file.size(), state_offset, kUncompressedSizeWord + 8),
            "data state words written past the end of the file");
  store_data_words(file.data() + state_offset, totals);
}

void write_pending_state_at(std::span<std::uint8_t> file, std::uint64_t state_offset,
                            const PendingState& pending) {
  QV_ASSERT(bytes::fits(file.size(), state_offset, kPendingRecordCountWord + 8),
            "pending state words written past the end of the file");
  store_pending_words(file.data() + state_offset, pending);
}

Status write_data_state(std::span<std::uint8_t> file, const DataTotals& totals) {
  const std::uint64_t state = QV_TRY(locate_state(file, kDataFileType, kUncompressedSizeWord));
  write_data_state_at(file, state, totals);
  return {};
}

Status write_pending_state(std::span<std::uint8_t> file, const PendingState& pending) {
  const std::uint64_t state = QV_TRY(locate_state(file, kDataFileType, kPendingRecordCountWord));
  write_pending_state_at(file, state, pending);
  return {};
}

}  // namespace quelvane::header
