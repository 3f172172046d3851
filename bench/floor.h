// The floor: what zstd alone costs to compress the record stream in the store's 64 KiB blocks
// and to decompress it again. No engine that compresses its blocks can beat it.
#pragma once

#include <cstdint>

#include "workload.h"

namespace bench {

struct FloorTimes {
  double compress_secs = 0;
  double decompress_secs = 0;
  std::uint64_t compressed_bytes = 0;
  std::uint64_t blocks = 0;
};

FloorTimes run_floor(const RecordStream& stream, int level);

}  // namespace bench
