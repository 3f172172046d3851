// The 16-byte header in front of every block of a data or journal segment, and the record
// layout inside a raw payload (u32 data length, i64 key, the data). Data and journal segments
// share these so both read and write exactly the same bytes.
#pragma once

#include <cstdint>
#include <span>

#include "../error.h"

namespace quelvane::util {

inline constexpr std::uint16_t kCompressed = 0x1;    // payload compressed with the segment's type
inline constexpr std::uint16_t kSealed = 0x2;        // the block takes no more records
inline constexpr std::uint16_t kSingleRecord = 0x4;  // one record too large for a shared block

inline constexpr std::uint64_t kBlockHeaderSize = 16;
inline constexpr std::uint64_t kRecordHeaderSize = 12;

// Where the header's reserved word lies. A new header has it 0; the data segment keeps the
// marker of an in-place correction there (live_block.h), so it has no field here.
inline constexpr std::uint64_t kBlockReservedOffset = 12;

struct BlockHeader {
  std::uint32_t payload_size = 0;
  std::uint16_t flags = 0;
  std::uint16_t record_count = 0;
  std::uint32_t uncompressed_size = 0;

  bool operator==(const BlockHeader&) const = default;
};

// Callers check that the 16 bytes at pos lie inside buf before calling (the file may be
// damaged); a header outside the buffer is a broken invariant.
void write_block_header(const BlockHeader& header, std::span<std::uint8_t> buf, std::uint64_t pos);
BlockHeader read_block_header(std::span<const std::uint8_t> buf, std::uint64_t pos);

// Applied before a block is read: SEALED and COMPRESSED go together, SINGLE_RECORD needs both.
// Error::InvalidData "invalid block flags: SEALED and COMPRESSED must be paired (0x..)" or
// "invalid block flags: SINGLE_RECORD requires SEALED|COMPRESSED (0x..)".
Status check_block_flags(std::uint16_t flags);

struct RecordHeader {
  std::uint32_t data_len = 0;
  std::int64_t key = 0;  // timestamp in a data segment, sequence in a journal segment

  bool operator==(const RecordHeader&) const = default;
};

// Like the block header accessors, these assume the caller has bounds-checked pos.
void write_record_header(std::span<std::uint8_t> buf, std::uint64_t pos, const RecordHeader& header);
RecordHeader read_record_header(std::span<const std::uint8_t> buf, std::uint64_t pos);
// Writes the record header for data and the data after it: 12 + data.size() bytes. A length of
// 2^32 or more does not fit the header and is a broken invariant (callers cap records at 4 MiB).
void write_record(std::span<std::uint8_t> buf, std::uint64_t pos, std::int64_t key,
                  std::span<const std::uint8_t> data);

}  // namespace quelvane::util
