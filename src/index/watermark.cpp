#include "index/watermark.h"

#include <zlib.h>

#include <algorithm>
#include <array>

#include "util/bytes.h"

namespace quelvane {

namespace {

// Layout inside the header: tag u32, boot id, flags u32 (bit 0: has data), data file offset,
// data used, entries, data records, CRC-32 of everything before it. A mark under the first tag,
// which held no record count, reads as none: it cannot place a cut once a seal moved the bytes.
constexpr std::uint32_t kTag = 0x324B524Du;  // "MRK2"
constexpr std::uint64_t kTagAt = Watermark::kAt;
constexpr std::uint64_t kBootAt = kTagAt + 4;
constexpr std::uint64_t kFlagsAt = kBootAt + 16;
constexpr std::uint64_t kOffsetAt = kFlagsAt + 4;
constexpr std::uint64_t kUsedAt = kOffsetAt + 8;
constexpr std::uint64_t kEntriesAt = kUsedAt + 8;
constexpr std::uint64_t kRecordsAt = kEntriesAt + 8;
constexpr std::uint64_t kCrcAt = kRecordsAt + 8;
static_assert(kCrcAt + 4 <= Watermark::kEnd);

std::uint32_t crc_of(std::span<const std::uint8_t> header) {
  const std::uint8_t* p = header.data() + kTagAt;
  return static_cast<std::uint32_t>(::crc32(0, p, static_cast<uInt>(kCrcAt - kTagAt)));
}

}  // namespace

std::optional<Watermark> Watermark::read(std::span<const std::uint8_t> header) {
  if (header.size() < kEnd) return std::nullopt;
  if (bytes::load_le<std::uint32_t>(header.data() + kTagAt) != kTag) return std::nullopt;
  if (bytes::load_le<std::uint32_t>(header.data() + kCrcAt) != crc_of(header)) return std::nullopt;
  Watermark w;
  std::copy_n(header.data() + kBootAt, w.boot.size(), w.boot.begin());
  w.data.has_data = (bytes::load_le<std::uint32_t>(header.data() + kFlagsAt) & 1u) != 0;
  w.data.file_offset = bytes::load_le<std::uint64_t>(header.data() + kOffsetAt);
  w.data.used = bytes::load_le<std::uint64_t>(header.data() + kUsedAt);
  w.entries = bytes::load_le<std::uint64_t>(header.data() + kEntriesAt);
  w.data.records = bytes::load_le<std::uint64_t>(header.data() + kRecordsAt);
  return w;
}

void Watermark::write(std::span<std::uint8_t> header) const {
  std::array<std::uint8_t, kEnd - kAt> image{};
  std::uint8_t* base = image.data() - kAt;
  bytes::store_le<std::uint32_t>(base + kTagAt, kTag);
  std::copy(boot.begin(), boot.end(), base + kBootAt);
  bytes::store_le<std::uint32_t>(base + kFlagsAt, data.has_data ? 1u : 0u);
  bytes::store_le<std::uint64_t>(base + kOffsetAt, data.file_offset);
  bytes::store_le<std::uint64_t>(base + kUsedAt, data.used);
  bytes::store_le<std::uint64_t>(base + kEntriesAt, entries);
  bytes::store_le<std::uint64_t>(base + kRecordsAt, data.records);
  bytes::store_le<std::uint32_t>(base + kCrcAt,
                                 static_cast<std::uint32_t>(::crc32(0, image.data(), static_cast<uInt>(kCrcAt - kAt))));
  std::copy(image.begin(), image.end(), header.begin() + kAt);
}

}  // namespace quelvane
