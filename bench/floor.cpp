#include "floor.h"

#include <zstd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double secs_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void check_zstd(std::size_t rc, const char* what) {
  if (ZSTD_isError(rc)) die("zstd floor", std::string(what) + ": " + ZSTD_getErrorName(rc));
}

}  // namespace

FloorTimes run_floor(const RecordStream& stream, int level) {
  std::vector<BlockRange> blocks = block_ranges(stream);
  std::span<const std::uint8_t> src = stream.bytes();

  // Every output slot sized by the bound up front, so the timed loop only compresses.
  std::vector<std::uint64_t> slot(blocks.size() + 1, 0);
  for (std::size_t b = 0; b < blocks.size(); ++b)
    slot[b + 1] = slot[b] + ZSTD_compressBound(blocks[b].end - blocks[b].begin);
  std::vector<std::uint8_t> out(slot.back());
  std::vector<std::uint64_t> packed(blocks.size());

  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  if (cctx == nullptr || dctx == nullptr) die("zstd floor", "cannot create a context");

  FloorTimes t;
  t.blocks = blocks.size();
  auto t0 = Clock::now();
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    std::size_t n = ZSTD_compressCCtx(cctx, out.data() + slot[b], slot[b + 1] - slot[b], src.data() + blocks[b].begin,
                                      blocks[b].end - blocks[b].begin, level);
    check_zstd(n, "compress");
    packed[b] = n;
  }
  t.compress_secs = secs_since(t0);
  for (std::uint64_t n : packed) t.compressed_bytes += n;

  std::vector<std::uint8_t> raw(64 << 10);
  t0 = Clock::now();
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    std::size_t n = ZSTD_decompressDCtx(dctx, raw.data(), raw.size(), out.data() + slot[b], packed[b]);
    check_zstd(n, "decompress");
    if (n != blocks[b].end - blocks[b].begin) die("zstd floor", "a block decompressed to the wrong size");
  }
  t.decompress_secs = secs_since(t0);

  // Untimed: the blocks must come back byte for byte, or the floor measured nothing.
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    std::size_t n = ZSTD_decompressDCtx(dctx, raw.data(), raw.size(), out.data() + slot[b], packed[b]);
    check_zstd(n, "decompress");
    if (std::memcmp(raw.data(), src.data() + blocks[b].begin, n) != 0) die("zstd floor", "a block came back changed");
  }

  ZSTD_freeCCtx(cctx);
  ZSTD_freeDCtx(dctx);
  return t;
}

}  // namespace bench
