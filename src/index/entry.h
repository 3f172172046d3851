// One timestamp's place in the data segments.
#pragma once

#include <cstdint>

namespace quelvane {

struct IndexEntry {
  // All bits of both positions set: a deleted record, or a timestamp continuous mode skipped.
  static constexpr std::uint64_t kNoBlock = ~std::uint64_t{0};
  static constexpr std::uint16_t kNoOffset = 0xFFFF;

  std::int64_t timestamp = 0;
  std::uint64_t block_offset = 0;  // global position of the record's block
  std::uint16_t in_block = 0;      // offset of the record inside the block's raw payload

  static constexpr IndexEntry sentinel(std::int64_t ts) { return {ts, kNoBlock, kNoOffset}; }
  // The index hands out sentinels like any other entry; callers treat them as absent.
  constexpr bool live() const { return block_offset != kNoBlock; }
  bool operator==(const IndexEntry&) const = default;
};

}  // namespace quelvane
