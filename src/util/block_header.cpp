#include "block_header.h"

#include <limits>

#include "bytes.h"
#include "text.h"

namespace quelvane::util {

void write_block_header(const BlockHeader& header, std::span<std::uint8_t> buf, std::uint64_t pos) {
  QV_ASSERT(bytes::fits(buf.size(), pos, kBlockHeaderSize), "block header written past the end of its buffer");
  std::uint8_t* p = buf.data() + pos;
  bytes::store_le<std::uint32_t>(p, header.payload_size);
  bytes::store_le<std::uint16_t>(p + 4, header.flags);
  bytes::store_le<std::uint16_t>(p + 6, header.record_count);
  bytes::store_le<std::uint32_t>(p + 8, header.uncompressed_size);
  bytes::store_le<std::uint32_t>(p + kBlockReservedOffset, 0);
}

BlockHeader read_block_header(std::span<const std::uint8_t> buf, std::uint64_t pos) {
  QV_ASSERT(bytes::fits(buf.size(), pos, kBlockHeaderSize), "block header read past the end of its buffer");
  const std::uint8_t* p = buf.data() + pos;
  return {
      .payload_size = bytes::load_le<std::uint32_t>(p),
      .flags = bytes::load_le<std::uint16_t>(p + 4),
      .record_count = bytes::load_le<std::uint16_t>(p + 6),
      .uncompressed_size = bytes::load_le<std::uint32_t>(p + 8),
  };
}

Status check_block_flags(std::uint16_t flags) {
  const bool compressed = (flags & kCompressed) != 0;
  const bool sealed = (flags & kSealed) != 0;
  if (compressed != sealed) {
    return fail(Error::invalid_data(
        text::cat("invalid block flags: SEALED and COMPRESSED must be paired (", text::hex(flags), ")")));
  }
  if ((flags & kSingleRecord) != 0 && !sealed) {
    return fail(Error::invalid_data(
        text::cat("invalid block flags: SINGLE_RECORD requires SEALED|COMPRESSED (", text::hex(flags), ")")));
  }
  return {};
}

void write_record_header(std::span<std::uint8_t> buf, std::uint64_t pos, const RecordHeader& header) {
  QV_ASSERT(bytes::fits(buf.size(), pos, kRecordHeaderSize), "record header written past the end of its buffer");
  bytes::store_le<std::uint32_t>(buf.data() + pos, header.data_len);
  bytes::store_le<std::int64_t>(buf.data() + pos + 4, header.key);
}

RecordHeader read_record_header(std::span<const std::uint8_t> buf, std::uint64_t pos) {
  QV_ASSERT(bytes::fits(buf.size(), pos, kRecordHeaderSize), "record header read past the end of its buffer");
  return {
      .data_len = bytes::load_le<std::uint32_t>(buf.data() + pos),
      .key = bytes::load_le<std::int64_t>(buf.data() + pos + 4),
  };
}

void write_record(std::span<std::uint8_t> buf, std::uint64_t pos, std::int64_t key,
                  std::span<const std::uint8_t> data) {
  QV_ASSERT(data.size() <= std::numeric_limits<std::uint32_t>::max(), "record data longer than a u32 length");
  QV_ASSERT(bytes::fits(buf.size(), pos, kRecordHeaderSize) &&
                bytes::fits(buf.size(), pos + kRecordHeaderSize, data.size()),
            "record written past the end of its buffer");
  write_record_header(buf, pos, {static_cast<std::uint32_t>(data.size()), key});
  bytes::copy_in(buf, pos + kRecordHeaderSize, data);
}

}  // namespace quelvane::util
