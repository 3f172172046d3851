#include "util/live_block.h"

#include <algorithm>
#include <atomic>

#include "compress.h"
#include "util/bytes.h"
#include "util/text.h"

namespace quelvane::util {

LiveHeader look_block_header(std::span<const std::uint8_t> file, std::uint64_t pos) {
  // Keeps the loads of the look behind the loads the caller made before it (on x86 the
  // hardware keeps loads in order; this stops the compiler from moving them).
  std::atomic_thread_fence(std::memory_order_acquire);
  const LiveHeader look{read_block_header(file, pos), bytes::get<std::uint32_t>(file, pos + kBlockReservedOffset)};
  std::atomic_thread_fence(std::memory_order_acquire);
  return look;
}

std::uint64_t staged_copy_at(std::uint64_t payload_at, const BlockHeader& sealed) {
  return payload_at + std::max(sealed.uncompressed_size, sealed.payload_size);
}

Result<std::vector<std::uint8_t>> decode_in_place(std::span<const std::uint8_t> file, std::uint64_t at,
                                            const BlockHeader& sealed, std::uint8_t compress_type,
                                            const RecordsCheck& whole) {
  if (!bytes::fits(file.size(), at, sealed.payload_size))
    return fail(Error::invalid_data("block payload out of bounds"));
  std::vector<std::uint8_t> raw =
      QV_TRY(compress::decompress(file.subspan(at, sealed.payload_size), compress_type, sealed.uncompressed_size));
  if (raw.size() != sealed.uncompressed_size) {
    const char* codec = compress_type == compress::kZstd ? "zstd decode error: " : "inflate error: ";
    return fail(Error::decompression(
        text::cat(codec, "block holds ", raw.size(), " bytes, its header says ", sealed.uncompressed_size)));
  }
  QV_TRY(whole(raw));
  return raw;
}

Result<std::vector<std::uint8_t>> decode_sealed(std::span<const std::uint8_t> file, std::uint64_t payload_at,
                                                const BlockHeader& sealed, std::uint8_t compress_type,
                                                const RecordsCheck& whole) {
  auto named = decode_in_place(file, payload_at, sealed, compress_type, whole);
  // A single-record block is written whole before it is counted, so it has no staged copy.
  if (named || (sealed.flags & kSingleRecord) != 0) return named;
  auto staged = decode_in_place(file, staged_copy_at(payload_at, sealed), sealed, compress_type, whole);
  if (staged) return staged;
  return named;
}

}  // namespace quelvane::util
