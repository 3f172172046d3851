// The header shared by data, index and journal segment files: a fixed prefix ("QVAN", version,
// file type, meta length), a tag-length-value meta area describing the segment, and a state
// area of 64-bit words that the owner rewrites in place through its mapping.
//
// Readers never assume the written layout: the meta area may hold other entries and the state
// area may be longer, so every position after the prefix is derived from the lengths stored in
// the file.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>

#include "error.h"

namespace quelvane::header {

inline constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'V', 'A', 'N'};
inline constexpr std::uint16_t kVersion = 1;

inline constexpr std::uint8_t kIndexFileType = 1;
inline constexpr std::uint8_t kDataFileType = 2;
inline constexpr std::uint8_t kJournalFileType = 3;

// magic, version, file_type, meta_length
inline constexpr std::uint64_t kPrefixSize = 9;
// The layout every writer emits: five meta entries, state_length at 50, the state from 52.
inline constexpr std::uint16_t kMetaLength = 41;
inline constexpr std::uint64_t kStateOffset = kPrefixSize + kMetaLength + 2;

inline constexpr std::uint16_t kDataStateLength = 72;
inline constexpr std::uint16_t kIndexStateLength = 8;
inline constexpr std::uint64_t kDataHeaderSize = kStateOffset + kDataStateLength;  // 124
// The index header lives in a zero-filled area; entries start right after it.
inline constexpr std::uint64_t kIndexHeaderArea = 128;

// Meta tags.
inline constexpr std::uint8_t kTagCreatedMs = 1;
inline constexpr std::uint8_t kTagBase = 2;
inline constexpr std::uint8_t kTagMaxFileSize = 3;
inline constexpr std::uint8_t kTagCompressLevel = 4;
inline constexpr std::uint8_t kTagCompressType = 5;

// Offsets of the data state words inside the state area.
inline constexpr std::uint64_t kMinTsWord = 0;
inline constexpr std::uint64_t kMaxTsWord = 8;
inline constexpr std::uint64_t kWritePositionWord = 16;
inline constexpr std::uint64_t kRecordCountWord = 24;
inline constexpr std::uint64_t kUncompressedSizeWord = 32;
inline constexpr std::uint64_t kPendingBlockOffsetWord = 40;
inline constexpr std::uint64_t kPendingWrotePositionWord = 48;
inline constexpr std::uint64_t kPendingRecordCountWord = 56;
inline constexpr std::uint64_t kInvalidRecordCountWord = 64;
// The index state area holds one word.
inline constexpr std::uint64_t kEntriesEndWord = 0;

// pending_block_offset when the segment has no raw pending block.
inline constexpr std::uint64_t kNoPendingBlock = ~std::uint64_t{0};

struct Prefix {
  std::array<std::uint8_t, 4> magic{};
  std::uint16_t version = 0;
  std::uint8_t file_type = 0;
  std::uint16_t meta_length = 0;
};

// The five meta values; an entry missing from the file reads 0.
struct MetaValues {
  std::int64_t created_ms = 0;  // Unix milliseconds, 0 before the epoch
  std::int64_t base = 0;        // file offset, start timestamp or base sequence
  std::uint64_t max_file_size = 0;
  std::uint8_t compress_level = 0;
  std::uint8_t compress_type = 0;

  bool operator==(const MetaValues&) const = default;
};

// State words 0 to 4 of a data segment; the defaults are those of a new file.
struct DataTotals {
  std::int64_t min_ts = std::numeric_limits<std::int64_t>::max();
  std::int64_t max_ts = std::numeric_limits<std::int64_t>::min();
  std::uint64_t write_position = kDataHeaderSize;  // absolute: just past the last block
  std::uint64_t record_count = 0;
  std::uint64_t uncompressed_size = 0;  // sum of 12 + data length over the records

  bool operator==(const DataTotals&) const = default;
};

// State words 5 to 7: the raw pending block, if any.
struct PendingState {
  std::uint64_t pending_block_offset = kNoPendingBlock;  // counted from the end of the header
  std::uint64_t pending_wrote_position = 0;              // payload size of the pending block
  std::uint64_t pending_record_count = 0;

  bool operator==(const PendingState&) const = default;
};

// All nine state words of a data segment.
struct DataState {
  DataTotals totals;
  PendingState pending;
  std::uint64_t invalid_record_count = 0;  // records superseded or deleted

  bool operator==(const DataState&) const = default;
};

// The parsed form of a data or index header.
struct FileHeader {
  std::array<std::uint8_t, 4> magic{};
  std::uint16_t version = 0;
  std::uint8_t file_type = 0;
  std::uint16_t meta_length = 0;
  MetaValues meta;
  std::uint16_t state_length = 0;
  // Where the blocks (data) or entries (index, always 128) begin.
  std::uint64_t header_len = 0;
  DataState data;               // data headers only
  std::uint64_t entries_end = 0;  // index headers only

  // Where the state area begins: 52 for every file this system writes.
  std::uint64_t state_offset() const { return kPrefixSize + 2 + meta_length; }
};

// Writers are given a buffer at least as long as what they write (a segment file is created
// no shorter than its header); a shorter one is a broken invariant.
//
// The complete 124-byte data header: prefix, the five meta entries, state_length 72, nine words.
void write_data_header(const MetaValues& meta, const DataState& state, std::span<std::uint8_t> buf);
// Prefix, meta, state_length 8 and entries_end; the rest of the 128-byte area is left as the
// new file's zero bytes.
void write_index_header(const MetaValues& meta, std::uint64_t entries_end, std::span<std::uint8_t> buf);
// The prefix (version 1), the five meta entries and state_length, in the layout every segment
// file shares; returns where the state area starts (52). The journal segment writes its own
// state words after it.
std::uint64_t write_file_header(std::span<std::uint8_t> buf, std::uint8_t file_type, const MetaValues& meta,
                                std::uint16_t state_length);

// Parsing never changes the file.
// Magic, version (a version above 1 is accepted with a warning), file_type, meta_length.
Result<Prefix> parse_prefix(std::span<const std::uint8_t> file);
// The meta area at 9 .. 9 + meta_length, walked leniently: unknown tags and known tags of
// another length are skipped, a later entry wins, and a truncated entry ends the walk.
Result<MetaValues> parse_meta(std::span<const std::uint8_t> file, std::uint16_t meta_length);
// Any version; file_type is not examined (a wrong one is refused at the first state write).
Result<FileHeader> parse_data_header(std::span<const std::uint8_t> file);
// Version exactly 1; the header content must fit the 128-byte area.
Result<FileHeader> parse_index_header(std::span<const std::uint8_t> file);

// Checks the header before an in-place state write of the word at word_offset (inside the
// state area) and returns where the state area starts.
Result<std::uint64_t> locate_state(std::span<const std::uint8_t> file, std::uint8_t expected_file_type,
                                   std::uint64_t word_offset);

// Rewrite state words 0 to 4, resp. 5 to 7, of a data segment after checking the header with
// locate_state.
Status write_data_state(std::span<std::uint8_t> file, const DataTotals& totals);
Status write_pending_state(std::span<std::uint8_t> file, const PendingState& pending);
// The same words at a state offset the caller located once, with
// locate_state(file, kDataFileType, kInvalidRecordCountWord), and keeps while the file's header
// stays as it was (segments only ever grow). For the per-record path: no parsing, no allocation.
void write_data_state_at(std::span<std::uint8_t> file, std::uint64_t state_offset, const DataTotals& totals);
void write_pending_state_at(std::span<std::uint8_t> file, std::uint64_t state_offset, const PendingState& pending);

}  // namespace quelvane::header
