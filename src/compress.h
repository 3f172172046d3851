// Turning a block's raw payload into its sealed form and back: zstd (type 0) or raw DEFLATE
// (type 1).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.h"

namespace quelvane::compress {

inline constexpr std::uint8_t kZstd = 0;
inline constexpr std::uint8_t kDeflate = 1;

// The largest raw payload any block can hold: one record of 4 MiB with its 12-byte header.
inline constexpr std::uint64_t kMaxRawBlock = 12 + (4ull << 20);

// Success for 0 and 1, else Error::InvalidData "unknown compress_type {}".
Status check_compress_type(std::uint8_t compress_type);

Result<std::vector<std::uint8_t>> compress(std::span<const std::uint8_t> raw, std::uint8_t compress_level,
                                           std::uint8_t compress_type);

// Output larger than max_output is refused with Error::Decompression, so a damaged block can
// never expand without bound; callers pass the block's uncompressed_size where they know it. A
// max_output above kMaxRawBlock (a damaged header's claim) is refused before anything is decoded.
Result<std::vector<std::uint8_t>> decompress(std::span<const std::uint8_t> compressed, std::uint8_t compress_type,
                                             std::uint64_t max_output = kMaxRawBlock);

}  // namespace quelvane::compress
