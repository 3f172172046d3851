// A data segment file: its header, the restore of its pending block and totals at open, every
// block header and payload a read can reach (raw, and sealed with either codec, through the
// cache and the hot block too), then a write, a seal and a sync into whatever the open accepted.
#include <string>

#include "cache.h"
#include "fuzz.h"
#include "header.h"
#include "segment/data.h"
#include "util/block_header.h"

namespace quelvane::fuzz {

namespace {
constexpr std::uint64_t kMaxFile = 1 << 20;

Bytes record_data(int i, std::size_t len) {
  Bytes d(len);
  for (std::size_t k = 0; k < len; ++k) d[k] = static_cast<std::uint8_t>("abcdefgh"[(i + k) % 8] + (k % 5));
  return d;
}
}  // namespace

std::vector<Bytes> fuzz_seeds() {
  std::vector<Bytes> seeds;
  const fs::Path dir = fresh_dir("seeds");
  for (std::uint8_t type : {std::uint8_t{0}, std::uint8_t{1}}) {
    for (int shape = 0; shape < 3; ++shape) {
      const fs::Path path = dir / "segment";
      (void)fs::remove_file(path);
      auto seg = unwrap(DataSegment::create(path, 0, 4096, kMaxFile, 3, type), "create a seed segment");
      std::int64_t ts = 1000;
      // shape 0: one raw pending block; 1: a sealed block and a pending one; 2: a single-record block too.
      for (int i = 0; i < (shape == 0 ? 5 : 40); ++i) {
        Bytes d = record_data(i, 20 + static_cast<std::size_t>(i) * 7 % 300);
        for (;;) {
          auto r = seg.append_record(ts, d, 3);
          if (r) break;
          if (r.error().kind() != ErrorKind::SegmentFull) fail("append to a seed segment");
          unwrap(seg.grow(), "grow a seed segment");
        }
        ts += 3;
        if (shape >= 1 && i == 20) {
          for (;;) {
            auto s = seg.seal_pending_block(3);
            if (s) break;
            unwrap(seg.grow(), "grow a seed segment for a seal");
          }
        }
      }
      if (shape == 2) {
        Bytes big = record_data(7, 70000);
        CompressedRecord scratch;
        for (;;) {
          auto r = seg.append_record(ts, big, 3, &scratch);
          if (r) break;
          if (r.error().kind() != ErrorKind::SegmentFull) fail("append a large seed record");
          unwrap(seg.grow(), "grow a seed segment for a large record");
        }
      }
      unwrap(seg.flush(), "flush a seed segment");
      seeds.push_back(file_bytes(path));
    }
  }
  return seeds;
}

}  // namespace quelvane::fuzz

using namespace quelvane;

namespace {

// Every record of the block at block_offset, walked the way the index would point at them.
void read_block(const DataSegment& seg, std::uint64_t block_offset, std::uint16_t count, BlockCache& cache,
                HotBlock& hot) {
  std::uint64_t in_block = 0;
  for (std::uint16_t k = 0; k < count && k < 64 && in_block <= 0xFFFF; ++k) {
    const IndexEntry entry{0, block_offset, static_cast<std::uint16_t>(in_block)};
    auto plain = seg.read_record(0, entry, nullptr);
    auto cached = seg.read_record(7, entry, &cache);
    auto len = seg.record_len_hot(7, entry, &cache, hot);
    auto hot_read = seg.read_record_hot(7, entry, &cache, hot);
    // A length needs only the record's header, so it may answer where the data is cut off.
    if (plain.has_value() != cached.has_value() || plain.has_value() != hot_read.has_value() ||
        (plain.has_value() && !len.has_value())) {
      auto text = [](const auto& r) { return r ? std::string("found") : r.error().display(); };
      std::fprintf(stderr, "block %llu in_block %llu: plain %s; cached %s; hot %s; length %s\n",
                   static_cast<unsigned long long>(block_offset), static_cast<unsigned long long>(in_block),
                   text(plain).c_str(), text(cached).c_str(), text(hot_read).c_str(), text(len).c_str());
      fuzz::fail("the read paths agree on whether a record exists");
    }
    if (!plain) return;
    fuzz::check(*plain == *cached && *plain == *hot_read && *len == plain->second.size(),
                "the read paths return the same record");
    in_block += util::kRecordHeaderSize + plain->second.size();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::Path dir = fuzz::fresh_dir("data");
  const fs::Path path = dir / "segment";
  fuzz::put_file(path, {data, size});
  auto opened = DataSegment::open(path, 0, fuzz::kMaxFile);
  if (!opened) return 0;
  DataSegment seg = std::move(*opened);

  BlockCache cache(1 << 20);
  HotBlock hot;
  const std::span<const std::uint8_t> file(data, size);
  // Walk the blocks as they stand in the input: a damaged header may point anywhere.
  std::uint64_t off = 0;
  for (int blocks = 0; blocks < 256; ++blocks) {
    const std::uint64_t at = seg.header_len() + off;
    if (at + util::kBlockHeaderSize > size) break;
    const util::BlockHeader block = util::read_block_header(file, at);
    read_block(seg, off, block.record_count, cache, hot);
    off += util::kBlockHeaderSize + block.payload_size;
  }
  // Offsets no block starts at, as a damaged index entry would give them.
  for (std::uint64_t stray : {std::uint64_t{1}, std::uint64_t{size / 2}, std::uint64_t{size}, ~std::uint64_t{0} - 8}) {
    (void)seg.read_record(0, IndexEntry{0, stray, 0}, nullptr);
    (void)seg.read_record(0, IndexEntry{0, 0, static_cast<std::uint16_t>(stray)}, nullptr);
  }

  // What a segment that opened writable takes must read back as written.
  if (!seg.restore_error()) {
    const std::vector<std::uint8_t> small(40, 0x5a);
    auto place = seg.append_record(seg.max_ts() == INT64_MIN ? 1 : seg.max_ts(), small, 1);
    if (!place && place.error().kind() == ErrorKind::SegmentFull && seg.grow()) {
      place = seg.append_record(seg.max_ts() == INT64_MIN ? 1 : seg.max_ts(), small, 1);
    }
    if (place) {
      auto back = seg.read_record(0, IndexEntry{0, place->block_offset, place->in_block}, nullptr);
      fuzz::check(back && back->second == small, "a record appended to a restored segment reads back");
      if (seg.seal_pending_block(1)) {
        auto sealed = seg.read_record(0, IndexEntry{0, place->block_offset, place->in_block}, nullptr);
        fuzz::check(sealed && sealed->second == small, "a record reads back after its block is sealed");
      }
    }
  }
  (void)seg.flush();
  return 0;
}
