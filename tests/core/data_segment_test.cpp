// The data segment file: its layout, the pending block, sealing, single-record blocks, in-place
// extension and correction, reads with and without the cache, growth, and reopening after an
// interrupted write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "compress.h"
#include "dirty_queue.h"
#include "header.h"
#include "segment/data.h"
#include "support/interrupted_write.h"
#include "support/file_faults.h"
#include "support/payloads.h"
#include "support/temp_dir.h"
#include "util/block_header.h"
#include "util/bytes.h"
#include "util/time.h"

namespace quelvane {
namespace {

using testing::Bytes;
using testing::FileSizeLimit;
using testing::noise;
using testing::pattern;
using testing::read_bytes;
using testing::write_bytes;

constexpr std::uint64_t kHl = header::kDataHeaderSize;
constexpr std::uint64_t kState = header::kStateOffset;
constexpr std::uint64_t kMax = 16ull << 20;
constexpr std::uint64_t kNone = header::kNoPendingBlock;

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

IndexEntry at(RecordPlace p) { return IndexEntry{0, p.block_offset, p.in_block}; }

std::uint64_t word(const Bytes& file, std::uint64_t w) { return bytes::load_le<std::uint64_t>(file.data() + kState + w); }

util::BlockHeader block_in(const Bytes& file, std::uint64_t block_offset) {
  return util::read_block_header(file, kHl + block_offset);
}

std::string error_text(const Status& s) { return s ? std::string("success") : s.error().display(); }
template <class T>
std::string error_text(const Result<T>& r) {
  return r ? std::string("success") : r.error().display();
}

class DataSegmentTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  fs::Path path = dir / "00000000000000000000";

  DataSegment make(std::uint64_t initial = 4096, std::uint64_t max = kMax, std::uint8_t type = compress::kZstd,
                   const fs::Path& where = {}) {
    auto seg = DataSegment::create(where.empty() ? path : where, 0, initial, max, 3, type);
    if (!seg) ADD_FAILURE() << seg.error().display();
    return std::move(*seg);
  }

  static RecordPlace put(DataSegment& seg, std::int64_t ts, const Bytes& data) {
    auto placed = seg.append_record(ts, data, 3);
    if (!placed) ADD_FAILURE() << "append at " << ts << ": " << placed.error().display();
    return placed ? *placed : RecordPlace{};
  }

  static Bytes read(const DataSegment& seg, RecordPlace p) {
    auto r = seg.read_record(0, at(p), nullptr);
    if (!r) {
      ADD_FAILURE() << r.error().display();
      return {};
    }
    return r->second;
  }
};

// ---- layout ------------------------------------------------------------------------------

TEST_F(DataSegmentTest, FreshSegmentHasTheDocumentedHeaderAndNothingElse) {
  const std::int64_t before = unix_millis_now();
  auto seg = DataSegment::create(path, 0, 256, 4096, 3, compress::kDeflate);
  const std::int64_t after = unix_millis_now();
  ASSERT_TRUE(seg) << seg.error().display();

  const Bytes f = read_bytes(path);
  ASSERT_EQ(f.size(), 256u);
  const Bytes prefix = {'Q', 'V', 'A', 'N', 1, 0, 2, 41, 0, 1, 8, 0};
  EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), f.begin()));
  const std::int64_t created = bytes::load_le<std::int64_t>(f.data() + 12);
  EXPECT_GE(created, before);
  EXPECT_LE(created, after);
  const Bytes meta_rest = {2, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0,     // base 0
                           3, 8, 0, 0, 0x10, 0, 0, 0, 0, 0, 0,  // max 4096
                           4, 1, 0, 3,                          // level
                           5, 1, 0, 1,                          // type
                           72, 0};                              // state_length
  EXPECT_TRUE(std::equal(meta_rest.begin(), meta_rest.end(), f.begin() + 20));
  EXPECT_EQ(static_cast<std::int64_t>(word(f, header::kMinTsWord)), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(static_cast<std::int64_t>(word(f, header::kMaxTsWord)), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(word(f, header::kWritePositionWord), 124u);
  EXPECT_EQ(word(f, header::kRecordCountWord), 0u);
  EXPECT_EQ(word(f, header::kUncompressedSizeWord), 0u);
  EXPECT_EQ(word(f, header::kPendingBlockOffsetWord), kNone);
  EXPECT_EQ(word(f, header::kPendingWrotePositionWord), 0u);
  EXPECT_EQ(word(f, header::kPendingRecordCountWord), 0u);
  EXPECT_EQ(word(f, header::kInvalidRecordCountWord), 0u);
  EXPECT_TRUE(std::all_of(f.begin() + 124, f.end(), [](std::uint8_t b) { return b == 0; }));

  EXPECT_EQ(seg->used(), 0u);
  EXPECT_EQ(seg->capacity(), 132u);
  EXPECT_FALSE(seg->has_pending());
  EXPECT_TRUE(seg->active());
  EXPECT_TRUE(seg->clean());
  EXPECT_EQ(seg->compress_type(), compress::kDeflate);
}

TEST_F(DataSegmentTest, CreateRefusesBadArgumentsWithoutLeavingAFile) {
  struct Case {
    std::uint64_t file_offset;
    std::uint64_t initial;
    std::uint8_t type;
    const char* message;
  };
  const Case cases[] = {
      {0, 4096, 2, "invalid data: unknown compress_type 2"},
      {1ull << 63, 4096, 0, "invalid data: data segment file_offset exceeds i64"},
      {0, 123, 0, "invalid data: initial data segment size 123 is smaller than header 124"},
  };
  for (const Case& c : cases) {
    auto seg = DataSegment::create(path, c.file_offset, c.initial, kMax, 3, c.type);
    EXPECT_EQ(error_text(seg), c.message);
    EXPECT_FALSE(fs::path_exists(path));
  }
}

TEST_F(DataSegmentTest, HeaderSizedSegmentTakesNothingUntilItGrows) {
  DataSegment seg = make(124, 1024);
  EXPECT_EQ(seg.capacity(), 0u);
  EXPECT_EQ(seg.append_record(1, pattern(1, 1), 3).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(seg.append_record(1, pattern(70000, 1), 3).error().kind(), ErrorKind::SegmentFull);
  ASSERT_TRUE(seg.grow());
  EXPECT_EQ(seg.file_size(), 248u);
  EXPECT_EQ(put(seg, 1, pattern(10, 1)), (RecordPlace{0, 0}));
}

TEST_F(DataSegmentTest, GrowthDoublesUpToTheMaximum) {
  DataSegment seg = make(256, 1000);
  ASSERT_TRUE(seg.grow());
  EXPECT_EQ(seg.file_size(), 512u);
  ASSERT_TRUE(seg.grow());
  EXPECT_EQ(seg.file_size(), 1000u);
  EXPECT_EQ(read_bytes(path).size(), 1000u);
  EXPECT_EQ(error_text(seg.grow()), "invalid data: segment already at max_file_size (1000)");
  EXPECT_FALSE(seg.clean());
}

// ---- records in --------------------------------------------------------------------------

TEST_F(DataSegmentTest, SmallRecordsGatherInThePendingBlock) {
  DataSegment seg = make();
  EXPECT_EQ(put(seg, 5, pattern(10, 1)), (RecordPlace{0, 0}));
  EXPECT_EQ(put(seg, 3, pattern(10, 2)), (RecordPlace{0, 22}));
  EXPECT_EQ(seg.pending_offset(), 0u);
  EXPECT_EQ(seg.pending_payload(), 44u);
  EXPECT_EQ(seg.pending_count(), 2u);

  const Bytes f = read_bytes(path);
  EXPECT_EQ(block_in(f, 0), (util::BlockHeader{44, 0, 2, 44}));
  EXPECT_EQ(word(f, header::kWritePositionWord), 124u + 60);
  EXPECT_EQ(word(f, header::kRecordCountWord), 2u);
  EXPECT_EQ(word(f, header::kUncompressedSizeWord), 44u);
  EXPECT_EQ(word(f, header::kMinTsWord), 3u);
  EXPECT_EQ(word(f, header::kMaxTsWord), 5u);
  EXPECT_EQ(word(f, header::kPendingBlockOffsetWord), 0u);
  EXPECT_EQ(word(f, header::kPendingWrotePositionWord), 44u);
  EXPECT_EQ(word(f, header::kPendingRecordCountWord), 2u);
  EXPECT_EQ(read(seg, {0, 22}), pattern(10, 2));
}

TEST_F(DataSegmentTest, RecordSizeThresholds) {
  struct Case {
    std::size_t len;
    bool after_small_record;
    const char* error;       // nullptr: stored
    std::uint16_t flags;     // of the record's block
    std::uint32_t raw_size;  // of the record's block
  };
  const Case cases[] = {
      {65524, false, nullptr, 0, 65536},
      {65525, true, nullptr, 7, 65537},
      {4u << 20, true, nullptr, 7, (4u << 20) + 12},
      {(4u << 20) + 1, true, "invalid data: record data_len exceeds 4MiB limit", 0, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.len);
    const fs::Path where = dir / std::to_string(n++);
    DataSegment seg = make(9u << 20, kMax, compress::kZstd, where);
    if (c.after_small_record) put(seg, 1, pattern(1, 9));
    const Bytes before = read_bytes(where);
    const Bytes data = pattern(c.len, 4);
    auto placed = seg.append_record(2, data, 3);
    if (c.error != nullptr) {
      EXPECT_EQ(error_text(placed), c.error);
      EXPECT_EQ(read_bytes(where), before);
      EXPECT_EQ(seg.pending_count(), 1u);
      continue;
    }
    ASSERT_TRUE(placed) << placed.error().display();
    const Bytes f = read_bytes(where);
    const util::BlockHeader block = block_in(f, placed->block_offset);
    EXPECT_EQ(block.flags, c.flags);
    EXPECT_EQ(block.record_count, 1);
    EXPECT_EQ(block.uncompressed_size, c.raw_size);
    EXPECT_EQ(read(seg, *placed), data);
    if (c.after_small_record) {
      // The small record's pending block was sealed first; the big record follows it.
      const util::BlockHeader sealed = block_in(f, 0);
      EXPECT_EQ(sealed.flags, 3);
      EXPECT_EQ(placed->block_offset, 16u + sealed.payload_size);
      EXPECT_EQ(read(seg, {0, 0}), pattern(1, 9));
      EXPECT_FALSE(seg.has_pending());
    } else {
      // A full pending block: the next record of any size seals it first.
      const RecordPlace next = put(seg, 3, pattern(1, 5));
      const util::BlockHeader sealed = block_in(read_bytes(where), 0);
      EXPECT_EQ(sealed.flags, 3);
      EXPECT_EQ(sealed.uncompressed_size, 65536u);
      EXPECT_EQ(next, (RecordPlace{16u + sealed.payload_size, 0}));
      EXPECT_EQ(read(seg, *placed), data);
    }
  }
}

TEST_F(DataSegmentTest, SealStoresOutputLongerThanItsInputAndGrowsForIt) {
  const Bytes data = noise(65524, 7);
  DataSegment seg = make(kHl + 28 + 65524, 1 << 20);
  put(seg, 1, data);
  ASSERT_EQ(seg.capacity(), seg.used());
  const RecordPlace next = put(seg, 2, pattern(3, 1));
  const util::BlockHeader sealed = block_in(read_bytes(path), 0);
  EXPECT_EQ(sealed.flags, 3);
  EXPECT_GT(sealed.payload_size, 65536u);
  EXPECT_EQ(next.block_offset, 16u + sealed.payload_size);
  EXPECT_EQ(seg.file_size(), 2 * (kHl + 28 + 65524));
  EXPECT_EQ(read(seg, {0, 0}), data);

}

// A seal overwrites the raw records in place, so it first stages a copy of its output past the
// block. A segment at its maximum without room for that copy keeps the block raw and reports
// SegmentFull (the set rolls over): the records are never overwritten without a copy to finish
// from.
TEST_F(DataSegmentTest, SealAtTheMaximumNeedsRoomForItsStagedCopy) {
  const Bytes compressible = pattern(65524, 7);
  Bytes raw_payload(12 + compressible.size());
  util::write_record(raw_payload, 0, 1, compressible);
  const std::uint64_t staged = compress::compress(raw_payload, 3, compress::kZstd)->size();
  struct Case {
    const char* name;
    Bytes data;
    std::uint64_t room_past_block;
    bool seals;
  };
  const Case cases[] = {
      {"output longer than its input", noise(65524, 7), 0, false},
      {"room for the sealed block but not its copy", compressible, staged - 1, false},
      {"room for the copy", compressible, staged, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::Path capped = dir / ("capped" + std::to_string(n++));
    const std::uint64_t size = kHl + 28 + 65524 + c.room_past_block;
    DataSegment seg = make(size, size, compress::kZstd, capped);
    put(seg, 1, c.data);
    const Bytes before = read_bytes(capped);
    auto next = seg.append_record(2, pattern(3, 1), 3);
    EXPECT_EQ(seg.file_size(), size);
    if (c.seals) {
      ASSERT_TRUE(next) << next.error().display();
      EXPECT_EQ(block_in(read_bytes(capped), 0).flags, 3);
      EXPECT_EQ(read(seg, *next), pattern(3, 1));
    } else {
      ASSERT_FALSE(next);
      EXPECT_EQ(next.error().kind(), ErrorKind::SegmentFull);
      EXPECT_EQ(read_bytes(capped), before) << "nothing of the block was overwritten";
      EXPECT_EQ(seg.pending_payload(), 65536u);
      EXPECT_EQ(error_text(seg.seal_pending_block(3)), "segment full (expansion needed)");
    }
    EXPECT_EQ(read(seg, {0, 0}), c.data);
  }
}

TEST_F(DataSegmentTest, AppendToRecordExtendsOnlyTheLastRecordOfThePendingBlock) {
  DataSegment seg = make(256 << 10);
  put(seg, 1, pattern(10, 1));
  put(seg, 2, pattern(10, 2));
  auto previous = seg.append_to_record(0, 22, pattern(5, 3));
  ASSERT_TRUE(previous) << previous.error().display();
  EXPECT_EQ(*previous, 10u);
  EXPECT_EQ(read(seg, {0, 22}), concat(pattern(10, 2), pattern(5, 3)));
  EXPECT_EQ(block_in(read_bytes(path), 0), (util::BlockHeader{49, 0, 2, 49}));
  EXPECT_EQ(seg.used(), 65u);
  EXPECT_EQ(seg.record_count(), 2u);
  EXPECT_EQ(seg.uncompressed_size(), 49u);

  struct Case {
    std::uint64_t block_offset;
    std::uint16_t in_block;
    std::size_t len;
    const char* error;
  };
  const Case refused[] = {
      {0, 0, 1, "invalid data: append: target record is not the last in block"},
      {1 << 20, 0, 1, "invalid data: block header out of bounds"},
      {0, 22, 4u << 20, "invalid data: record data_len exceeds 4MiB limit"},
      {0, 22, 65510, "invalid data: append: final record exceeds pending block capacity"},
  };
  const Bytes before = read_bytes(path);
  for (const Case& c : refused) {
    EXPECT_EQ(error_text(seg.append_to_record(c.block_offset, c.in_block, pattern(c.len, 1))), c.error);
    EXPECT_EQ(read_bytes(path), before);
  }
  // The longest extension that still fits a shared block.
  EXPECT_TRUE(seg.append_to_record(0, 22, pattern(65509, 1)));

  // Once a later record has sealed the block, it is no longer the last one.
  put(seg, 3, pattern(10, 3));
  EXPECT_EQ(error_text(seg.append_to_record(0, 22, pattern(1, 1))),
            "invalid data: append: target block is not the last in segment");
  // A single-record block is last but not pending.
  const RecordPlace big = put(seg, 4, pattern(70000, 4));
  EXPECT_EQ(error_text(seg.append_to_record(big.block_offset, 0, pattern(1, 1))),
            "invalid data: append: target block is not pending");

  // The extension never grows the file.
  const fs::Path small = dir / "small";
  DataSegment tight = make(256, kMax, compress::kZstd, small);
  put(tight, 1, pattern(10, 1));
  EXPECT_EQ(tight.append_to_record(0, 0, pattern(200, 1)).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(error_text(tight.append_to_record(0, 300, pattern(1, 1))), "invalid data: cannot read record header");
}

TEST_F(DataSegmentTest, CorrectionWriteReplacesTheLastRecordInPlace) {
  DataSegment seg = make(256 << 10);
  put(seg, 1, pattern(10, 1));
  put(seg, 2, pattern(10, 2));
  ASSERT_TRUE(seg.correction_write(0, 22, pattern(4, 7)));
  EXPECT_EQ(seg.used(), 54u);
  EXPECT_EQ(read(seg, {0, 22}), pattern(4, 7));
  EXPECT_EQ(block_in(read_bytes(path), 0), (util::BlockHeader{38, 0, 2, 38}));
  ASSERT_TRUE(seg.correction_write(0, 22, pattern(30, 8)));
  EXPECT_EQ(seg.used(), 80u);
  EXPECT_EQ(seg.uncompressed_size(), 64u);
  EXPECT_EQ(read(seg, {0, 22}), pattern(30, 8));
  EXPECT_EQ(read(seg, {0, 0}), pattern(10, 1));
  // Each correction leaves its generation in the header's reserved word; a file of an earlier
  // version, which keeps that word 0, reads and takes corrections the same.
  EXPECT_EQ(bytes::load_le<std::uint32_t>(read_bytes(path).data() + kHl + 12), 2u << 16);
  {
    Bytes earlier = read_bytes(path);
    bytes::store_le<std::uint32_t>(earlier.data() + kHl + 12, 0);
    const fs::Path old = dir / "earlier";
    write_bytes(old, earlier);
    auto reopened = DataSegment::open(old, 0, kMax);
    ASSERT_TRUE(reopened);
    EXPECT_FALSE(reopened->restore_error());
    EXPECT_EQ(read(*reopened, {0, 22}), pattern(30, 8));
    // What the file held at its open may be on the disk: copying over it could tear it in a
    // power loss, so the dataset stores a replacement instead. A record added since is corrected
    // in place.
    EXPECT_EQ(error_text(reopened->correction_write(0, 22, pattern(5, 6))),
              "invalid data: correction write: the record is durable; it is replaced");
    const RecordPlace added = put(*reopened, 3, pattern(10, 3));
    ASSERT_TRUE(reopened->correction_write(added.block_offset, added.in_block, pattern(5, 6)));
    EXPECT_EQ(read(*reopened, added), pattern(5, 6));
    EXPECT_EQ(read(*reopened, {0, 22}), pattern(30, 8));
    EXPECT_EQ(bytes::load_le<std::uint32_t>(read_bytes(old).data() + kHl + 12), 1u << 16);
  }

  const Bytes before = read_bytes(path);
  EXPECT_EQ(error_text(seg.correction_write(0, 0, pattern(3, 1))),
            "invalid data: correction write: target record is not the last in block");
  EXPECT_EQ(error_text(seg.correction_write(0, 22, pattern(65600, 1))),
            "invalid data: correction write: oversized record requires exclusive block");
  EXPECT_EQ(error_text(seg.correction_write(0, 22, pattern((4u << 20) + 1, 1))),
            "invalid data: record data_len exceeds 4MiB limit");
  EXPECT_EQ(read_bytes(path), before);

  put(seg, 3, pattern(65520, 3));  // seals block 0
  EXPECT_EQ(error_text(seg.correction_write(0, 22, pattern(3, 1))),
            "invalid data: correction write: target block is not the last in segment");
  const RecordPlace big = put(seg, 4, pattern(70000, 4));
  EXPECT_EQ(error_text(seg.correction_write(big.block_offset, 0, pattern(3, 1))),
            "invalid data: correction write: target block is not pending");

  // A correction needs room past the record for a staged copy of the new one, whatever its
  // length: it never grows the file, and without the room it changes nothing.
  const fs::Path small = dir / "small";
  DataSegment tight = make(256, kMax, compress::kZstd, small);
  put(tight, 1, pattern(10, 1));
  EXPECT_EQ(tight.correction_write(0, 0, pattern(200, 1)).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(read(tight, {0, 0}), pattern(10, 1));
  put(tight, 2, pattern(60, 2));
  const Bytes full = read_bytes(small);
  for (std::size_t len : {60, 59}) {
    EXPECT_EQ(tight.correction_write(0, 22, pattern(len, 3)).error().kind(), ErrorKind::SegmentFull) << len;
  }
  EXPECT_EQ(read_bytes(small), full);
  EXPECT_EQ(read(tight, {0, 22}), pattern(60, 2));
}

// ---- reads -------------------------------------------------------------------------------

TEST_F(DataSegmentTest, ReadsRefuseDamagedBlocksAndRecords) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    IndexEntry entry;
    const char* error;
  };
  // Block 0: sealed, three 10-byte records. Block 1 (pending): one record.
  const Case cases[] = {
      {"flags 1", [](Bytes& f) { bytes::store_le<std::uint16_t>(f.data() + kHl + 4, 1); }, {0, 0, 0},
       "invalid data: invalid block flags: SEALED and COMPRESSED must be paired (0x1)"},
      {"flags 4", [](Bytes& f) { bytes::store_le<std::uint16_t>(f.data() + kHl + 4, 4); }, {0, 0, 0},
       "invalid data: invalid block flags: SINGLE_RECORD requires SEALED|COMPRESSED (0x4)"},
      {"offset past the file", [](Bytes&) {}, {0, 1 << 20, 0}, "invalid data: block header out of bounds"},
      {"payload past the file", [](Bytes& f) { bytes::store_le<std::uint32_t>(f.data() + kHl, 1 << 20); }, {0, 0, 0},
       "invalid data: block payload out of bounds"},
      {"in_block past the payload", [](Bytes&) {}, {0, 0, 60}, "invalid data: hot block: record index out of bounds"},
      {"record past the payload", [](Bytes&) {}, {0, 0, 36}, "invalid data: hot block: record data out of bounds"},
      {"raw size below the content",
       [](Bytes& f) { bytes::store_le<std::uint32_t>(f.data() + kHl + 8, 20); }, {0, 0, 0}, nullptr},
      // A payload that really decodes to what its header claims, more than any block holds.
      {"size claimed past the largest block",
       [](Bytes& f) {
         const Bytes bomb = compress::compress(Bytes(5u << 20, 0), 3, compress::kZstd).value();
         ASSERT_LT(kHl + 16 + bomb.size(), f.size());
         std::copy(bomb.begin(), bomb.end(), f.begin() + kHl + 16);
         bytes::store_le<std::uint32_t>(f.data() + kHl, static_cast<std::uint32_t>(bomb.size()));
         bytes::store_le<std::uint32_t>(f.data() + kHl + 8, 5u << 20);
       },
       {0, 0, 0}, "decompression error: zstd decode error: block size 5242880 exceeds the largest block 4194316"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataSegment seg = make();
    for (int i = 0; i < 3; ++i) put(seg, i, pattern(10, static_cast<std::uint8_t>(i)));
    ASSERT_TRUE(seg.seal_pending_block(3));
    const RecordPlace raw = put(seg, 9, pattern(10, 9));
    // in_block 36 names a record header whose length runs past the pending block.
    Bytes f = read_bytes(path);
    bytes::store_le<std::uint32_t>(f.data() + kHl + raw.block_offset + 16, 30);
    c.damage(f);
    write_bytes(path, f);
    IndexEntry entry = c.entry;
    if (std::string(c.name) == "record past the payload") entry = {0, raw.block_offset, 0};
    auto r = seg.read_record(0, entry, nullptr);
    ASSERT_FALSE(r);
    if (c.error != nullptr) {
      EXPECT_EQ(r.error().display(), c.error);
    } else {
      EXPECT_EQ(r.error().kind(), ErrorKind::Decompression) << r.error().display();
    }
  }
}

TEST_F(DataSegmentTest, CachedReadsDecompressOnceAndKeepTheirMessages) {
  DataSegment seg = make();
  for (int i = 0; i < 3; ++i) put(seg, 10 + i, pattern(10, static_cast<std::uint8_t>(i)));
  ASSERT_TRUE(seg.seal_pending_block(3));
  BlockCache cache(1 << 20);
  const BlockKey key{7, 0, 0};

  auto first = seg.read_record(7, {0, 0, 22}, &cache);
  ASSERT_TRUE(first) << first.error().display();
  EXPECT_EQ(*first, (RecordData{11, pattern(10, 1)}));
  ASSERT_NE(cache.get(key), nullptr);

  // From here on the compressed bytes are gone: only the cached payload can answer.
  Bytes f = read_bytes(path);
  std::fill(f.begin() + kHl + 16, f.begin() + kHl + 16 + block_in(f, 0).payload_size, 0);
  write_bytes(path, f);
  EXPECT_EQ(seg.read_record(7, {0, 0, 44}, &cache)->first, 12);
  EXPECT_EQ(*seg.record_len(7, {0, 0, 44}, &cache), 10u);
  EXPECT_EQ(error_text(seg.read_record(7, {0, 0, 60}, &cache)), "invalid data: record index out of bounds");
  EXPECT_EQ(error_text(seg.record_len(7, {0, 0, 60}, &cache)), "invalid data: record index out of bounds");
  HotBlock hot;
  EXPECT_EQ(error_text(seg.read_record_hot(7, {0, 0, 60}, &cache, hot)),
            "invalid data: hot block: record index out of bounds");
  EXPECT_EQ(seg.read_record_hot(7, {0, 0, 0}, &cache, hot)->first, 10);
  EXPECT_NE(hot.get(key), nullptr);
  // With the cache entry gone the hot block still holds the payload the cursor took.
  BlockPayload held = hot.get(key);
  cache.invalidate(key);
  EXPECT_EQ(*seg.record_len_hot(7, {0, 0, 22}, &cache, hot), 10u);
  held.reset();

  // Identifier 0 uses no cache: the block is decompressed, and it is damaged now.
  EXPECT_EQ(seg.read_record(0, {0, 0, 0}, &cache).error().kind(), ErrorKind::Decompression);
}

TEST_F(DataSegmentTest, HotReadsSetTheHotBlockOnlyWithACacheBudget) {
  DataSegment seg = make();
  for (int i = 0; i < 3; ++i) put(seg, i, pattern(10, static_cast<std::uint8_t>(i)));
  ASSERT_TRUE(seg.seal_pending_block(3));
  const BlockKey key{7, 0, 0};

  BlockCache disabled(0);
  HotBlock hot;
  EXPECT_EQ(seg.read_record_hot(7, {0, 0, 22}, &disabled, hot)->first, 1);
  EXPECT_EQ(hot.get(key), nullptr);

  BlockCache cache(1 << 20);
  EXPECT_EQ(seg.read_record_hot(7, {0, 0, 44}, &cache, hot)->first, 2);
  EXPECT_NE(hot.get(key), nullptr);
  EXPECT_NE(cache.get(key), nullptr);
  // Raw blocks are read in place and never cached.
  const RecordPlace raw = put(seg, 5, pattern(10, 5));
  EXPECT_EQ(seg.read_record(7, at(raw), &cache)->first, 5);
  EXPECT_EQ(cache.get(BlockKey{7, 0, raw.block_offset}), nullptr);
}

TEST_F(DataSegmentTest, DeflateSegmentsSealAndReadBack) {
  DataSegment seg = make(1 << 20, kMax, compress::kDeflate);
  std::vector<RecordPlace> places;
  for (int i = 0; i < 10; ++i) places.push_back(put(seg, i, pattern(100, static_cast<std::uint8_t>(i))));
  ASSERT_TRUE(seg.seal_pending_block(6));
  const RecordPlace big = put(seg, 10, noise(70000, 3));
  EXPECT_EQ(block_in(read_bytes(path), 0).flags, 3);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(read(seg, places[i]), pattern(100, static_cast<std::uint8_t>(i)));
  EXPECT_EQ(read(seg, big), noise(70000, 3));
}

TEST_F(DataSegmentTest, FileOfAnotherTypeRefusesEveryStateWrite) {
  { make(); }
  Bytes f = read_bytes(path);
  f[6] = 1;  // file_type: index
  write_bytes(path, f);
  auto seg = DataSegment::open(path, 0, kMax);
  ASSERT_TRUE(seg) << seg.error().display();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(error_text(seg->append_record(1, pattern(10, 1), 3)), "invalid data: unexpected file_type 1");
    EXPECT_EQ(error_text(seg->invalidate()), "invalid data: unexpected file_type 1");
  }
  EXPECT_EQ(seg->invalid_record_count(), 2u);  // raised before the refused write
  EXPECT_EQ(read_bytes(path), f);
}

// ---- counters, notification, reopening ------------------------------------------------------

TEST_F(DataSegmentTest, InvalidateCountsInTheFile) {
  {
    DataSegment seg = make();
    put(seg, 1, pattern(10, 1));
    ASSERT_TRUE(seg.invalidate());
    ASSERT_TRUE(seg.invalidate());
    EXPECT_EQ(word(read_bytes(path), header::kInvalidRecordCountWord), 2u);
  }
  auto seg = DataSegment::open(path, 0, kMax);
  ASSERT_TRUE(seg);
  EXPECT_EQ(seg->invalid_record_count(), 2u);
}

TEST_F(DataSegmentTest, ChangesReportOncePerCleanPeriod) {
  auto queue = std::make_shared<DirtyQueue>();
  const FlushNotifier notifier{DataSetKey{"a", "b"}, queue};
  DataSegment seg = make();
  seg.set_notifier(notifier);
  EXPECT_EQ(queue->size(), 0u);
  put(seg, 1, pattern(10, 1));
  put(seg, 2, pattern(10, 1));
  ASSERT_EQ(queue->size(), 1u);
  ASSERT_TRUE(seg.flush());
  EXPECT_TRUE(seg.clean());
  put(seg, 3, pattern(10, 1));
  const auto items = queue->take_all();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].target, FlushTarget::data_segment(0));

  // A segment changed before it had a reporter reports as soon as it gets one.
  DataSegment other = make(4096, kMax, compress::kZstd, dir / "other");
  put(other, 1, pattern(10, 1));
  other.set_notifier(notifier);
  EXPECT_EQ(queue->size(), 1u);
}

// A segment let go of without a flush (a handle dropped, a slot replaced) writes back only the
// changes no flush covered, wherever the segment was moved since: a reader's mapping, and a
// writer's once flushed, go without a sync (a read-only store's close used to sync each one).
TEST_F(DataSegmentTest, ReleaseSyncsOnlyChangesNoFlushCovered) {
  const RecordPlace first = [&] {
    DataSegment seg = make();
    const RecordPlace p = put(seg, 1, pattern(10, 1));
    EXPECT_TRUE(seg.flush());
    return p;
  }();
  struct Case {
    const char* what;
    std::function<void(DataSegment&)> use;
    std::uint64_t msyncs;
  };
  const std::vector<Case> cases = {
      {"opened and read", [&](DataSegment& seg) { EXPECT_EQ(read(seg, first), pattern(10, 1)); }, 0},
      {"written, then flushed",
       [](DataSegment& seg) {
         put(seg, 2, pattern(10, 2));
         EXPECT_TRUE(seg.flush());
       },
       0},
      {"written", [](DataSegment& seg) { put(seg, 2, pattern(10, 2)); }, 1},
      {"written, then moved twice",
       [](DataSegment& seg) {
         put(seg, 2, pattern(10, 2));
         DataSegment moved(std::move(seg));
         seg = std::move(moved);
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto opened = DataSegment::open(path, 0, kMax);
    ASSERT_TRUE(opened) << opened.error().display();
    std::optional<DataSegment> seg(std::move(*opened));
    c.use(*seg);
    testing::MsyncCounter msyncs;
    seg.reset();
    EXPECT_EQ(msyncs.take(), c.msyncs);
  }
}

TEST_F(DataSegmentTest, ReopenCarriesOnInsideThePendingBlock) {
  std::vector<RecordPlace> places;
  {
    DataSegment seg = make();
    ASSERT_TRUE(seg.seal_pending_block(3));  // nothing to seal: a no-op
    places.push_back(put(seg, 1, pattern(10, 1)));
    ASSERT_TRUE(seg.seal_pending_block(3));
    places.push_back(put(seg, 2, pattern(10, 2)));
    places.push_back(put(seg, 3, pattern(10, 3)));
  }
  auto seg = DataSegment::open(path, 0, kMax);
  ASSERT_TRUE(seg) << seg.error().display();
  EXPECT_FALSE(seg->restore_error());
  EXPECT_TRUE(seg->active());
  EXPECT_EQ(seg->pending_offset(), places[1].block_offset);
  EXPECT_EQ(seg->pending_payload(), 44u);
  EXPECT_EQ(seg->pending_count(), 2u);
  EXPECT_EQ(seg->record_count(), 3u);
  EXPECT_EQ(seg->min_ts(), 1);
  EXPECT_EQ(seg->max_ts(), 3);
  EXPECT_EQ(put(*seg, 4, pattern(10, 4)), (RecordPlace{places[1].block_offset, 44}));

  // An unmapped segment maps itself again from the file.
  seg->release_mapping();
  EXPECT_EQ(error_text(seg->read_record(0, at(places[0]), nullptr)), "mmap error: segment is closed, cannot read");
  ASSERT_TRUE(seg->reopen());
  EXPECT_EQ(seg->pending_count(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(read(*seg, places[i]), pattern(10, static_cast<std::uint8_t>(i + 1)));
}

// ---- interrupted writes ---------------------------------------------------------------------

TEST_F(DataSegmentTest, PendingBlockMarkedSealedIsKeptForReading) {
  RecordPlace sealed;
  {
    DataSegment seg = make();
    sealed = put(seg, 1, pattern(10, 1));
    ASSERT_TRUE(seg.seal_pending_block(3));
    put(seg, 2, pattern(10, 2));
  }
  Bytes f = read_bytes(path);
  const std::uint64_t pending = word(f, header::kPendingBlockOffsetWord);
  bytes::store_le<std::uint16_t>(f.data() + kHl + pending + 4, 3);
  write_bytes(path, f);

  auto seg = DataSegment::open(path, 0, kMax);
  ASSERT_TRUE(seg) << seg.error().display();
  ASSERT_TRUE(seg->restore_error());
  EXPECT_EQ(seg->restore_error()->display(), "invalid data: pending block has non-raw flags: 0x3");
  EXPECT_FALSE(seg->active());
  EXPECT_EQ(error_text(seg->append_record(3, pattern(1, 1), 3)), "invalid data: pending block has non-raw flags: 0x3");
  EXPECT_EQ(read(*seg, sealed), pattern(10, 1));
  EXPECT_EQ(seg->read_record(0, {0, pending, 0}, nullptr).error().kind(), ErrorKind::Decompression);
  EXPECT_EQ(read_bytes(path), f);
}

TEST_F(DataSegmentTest, HeaderAheadOfTheStateWordsByWholeRecordsIsRolledBack) {
  DataSegment seg = make();
  put(seg, 1, pattern(10, 1));
  put(seg, 2, pattern(10, 2));
  const Bytes committed = read_bytes(path);
  put(seg, 3, pattern(10, 3));
  put(seg, 4, pattern(10, 4));
  // Block and records of four, state words of two.
  Bytes f = read_bytes(path);
  std::copy(committed.begin() + kState, committed.begin() + kHl, f.begin() + kState);
  const fs::Path torn = dir / "torn";
  write_bytes(torn, f);

  auto reopened = DataSegment::open(torn, 0, kMax);
  ASSERT_TRUE(reopened) << reopened.error().display();
  EXPECT_FALSE(reopened->restore_error());
  EXPECT_EQ(reopened->pending_count(), 2u);
  EXPECT_EQ(reopened->pending_payload(), 44u);
  EXPECT_EQ(reopened->record_count(), 2u);
  EXPECT_EQ(read_bytes(torn), f);  // nothing is written until the next change
  EXPECT_EQ(put(*reopened, 5, pattern(10, 5)), (RecordPlace{0, 44}));
  EXPECT_EQ(block_in(read_bytes(torn), 0), (util::BlockHeader{66, 0, 3, 66}));
  EXPECT_EQ(read(*reopened, {0, 44}), pattern(10, 5));
}

TEST_F(DataSegmentTest, WritePositionIsRecomputedFromThePendingBlock) {
  DataSegment seg = make();
  put(seg, 1, pattern(10, 1));
  ASSERT_TRUE(seg.seal_pending_block(3));
  put(seg, 2, pattern(10, 2));
  const Bytes early = read_bytes(path);
  put(seg, 3, pattern(10, 3));
  put(seg, 4, pattern(10, 4));
  // Pending words of the finished writes, totals of two records ago.
  Bytes f = read_bytes(path);
  for (std::uint64_t w : {header::kMinTsWord, header::kMaxTsWord, header::kWritePositionWord,
                          header::kRecordCountWord, header::kUncompressedSizeWord})
    std::copy(early.begin() + kState + w, early.begin() + kState + w + 8, f.begin() + kState + w);
  const fs::Path torn = dir / "torn";
  write_bytes(torn, f);

  auto reopened = DataSegment::open(torn, 0, kMax);
  ASSERT_TRUE(reopened) << reopened.error().display();
  EXPECT_EQ(reopened->used(), seg.used());
  EXPECT_EQ(reopened->record_count(), 4u);
  EXPECT_EQ(reopened->uncompressed_size(), 88u);
  EXPECT_EQ(reopened->max_ts(), 4);
  const RecordPlace next = put(*reopened, 5, pattern(10, 5));
  EXPECT_EQ(next.in_block, 66);
  for (std::uint16_t in_block : {0, 22, 44}) EXPECT_TRUE(reopened->read_record(0, {0, next.block_offset, in_block}, nullptr));
}

TEST_F(DataSegmentTest, WritePositionPastTheFileKeepsTheSegmentForReading) {
  DataSegment seg = make();
  const RecordPlace p = put(seg, 1, pattern(10, 1));
  ASSERT_TRUE(seg.seal_pending_block(3));
  Bytes f = read_bytes(path);
  bytes::store_le<std::uint64_t>(f.data() + kState + header::kWritePositionWord, 5000);
  const fs::Path torn = dir / "torn";
  write_bytes(torn, f);
  auto reopened = DataSegment::open(torn, 0, kMax);
  ASSERT_TRUE(reopened);
  EXPECT_EQ(error_text(Status(fail(*reopened->restore_error()))),
            "invalid data: write position beyond segment file size");
  EXPECT_EQ(read(*reopened, p), pattern(10, 1));
}

// A record handed out before the interrupted operation, and the values it may read back as.
struct Acked {
  IndexEntry entry;
  std::int64_t ts;
  std::vector<Bytes> accepted;
};

// Counts records and raw bytes from the block headers, independently of the state words.
std::pair<std::uint64_t, std::uint64_t> count_blocks(const Bytes& f, std::uint64_t used) {
  std::uint64_t pos = 0, records = 0, raw = 0;
  while (pos < used) {
    const util::BlockHeader b = block_in(f, pos);
    records += b.record_count;
    raw += b.uncompressed_size;
    pos += 16 + b.payload_size;
  }
  EXPECT_EQ(pos, used);
  return {records, raw};
}

// A segment left by a kill: it opens; every record handed out before reads back as one of its
// accepted values, or, in a segment kept for reading, fails loudly; a writable segment takes a
// new record and reopens consistent.
void check_recovered(const fs::Path& torn, const std::vector<Acked>& acked, bool may_keep_for_reading,
                     const std::string& label) {
  SCOPED_TRACE(label);
  const Bytes left = read_bytes(torn);
  auto opened = DataSegment::open(torn, 0, kMax);
  ASSERT_TRUE(opened) << opened.error().display();
  DataSegment& seg = *opened;
  // A repair made at open only reaches the disk through the next flush, which syncs dirty
  // segments alone.
  if (read_bytes(torn) != left) {
    EXPECT_FALSE(seg.clean()) << "open rewrote the file but left the segment clean";
  }
  const bool writable = !seg.restore_error();
  if (!may_keep_for_reading) {
    EXPECT_TRUE(writable) << seg.restore_error()->display();
  }
  for (const Acked& a : acked) {
    auto r = seg.read_record(0, a.entry, nullptr);
    if (r) {
      EXPECT_EQ(r->first, a.ts);
      EXPECT_TRUE(std::find(a.accepted.begin(), a.accepted.end(), r->second) != a.accepted.end())
          << "record " << a.ts << " reads back as data it never held";
    } else {
      EXPECT_FALSE(writable) << "record " << a.ts << ": " << r.error().display();
    }
  }
  if (!writable) {
    EXPECT_FALSE(seg.active());
    EXPECT_FALSE(seg.append_record(99, pattern(9, 5), 3));
    return;
  }
  auto placed = seg.append_record(99, pattern(9, 5), 3);
  while (!placed && placed.error().kind() == ErrorKind::SegmentFull && seg.grow())
    placed = seg.append_record(99, pattern(9, 5), 3);
  ASSERT_TRUE(placed) << placed.error().display();

  auto again = DataSegment::open(torn, 0, kMax);
  ASSERT_TRUE(again) << again.error().display();
  EXPECT_FALSE(again->restore_error());
  EXPECT_EQ(again->used(), seg.used());
  EXPECT_EQ(again->pending_payload(), seg.pending_payload());
  EXPECT_EQ(again->record_count(), seg.record_count());
  const auto [records, raw] = count_blocks(read_bytes(torn), again->used());
  EXPECT_EQ(again->record_count(), records);
  EXPECT_EQ(again->uncompressed_size(), raw);
  EXPECT_LE(again->min_ts(), 1);
  EXPECT_EQ(again->max_ts(), 99);
  for (const Acked& a : acked) {
    auto r = again->read_record(0, a.entry, nullptr);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_TRUE(std::find(a.accepted.begin(), a.accepted.end(), r->second) != a.accepted.end());
  }
  EXPECT_EQ(again->read_record(0, at(*placed), nullptr)->second, pattern(9, 5));
}

TEST_F(DataSegmentTest, EveryInterruptedChangeLeavesARecoverableSegment) {
  struct Scenario {
    const char* name;
    bool may_keep_for_reading;
    bool seal_first;            // start after a sealed block instead of inside a pending one
    std::uint64_t initial_size;
    // Start from a reopen that carried a third record through ahead of its state words.
    bool settled_ahead;
    std::function<void(DataSegment&)> run;
    std::function<void(std::vector<Acked>&)> accept;  // other values the changed record may read as
  };
  const Bytes extra = pattern(7, 40);
  const Bytes longer = pattern(15, 50);
  const Bytes shorter = pattern(4, 60);
  const Bytes same_length = pattern(10, 70);
  auto correction = [](const Bytes& replacement) {
    return Scenario{"", false, false, 4096, false,
                    [&replacement](DataSegment& seg) { ASSERT_TRUE(seg.correction_write(0, 22, replacement)); },
                    [&replacement](std::vector<Acked>& acked) { acked[1].accepted.push_back(replacement); }};
  };
  Scenario scenarios[] = {
      {"record added to the pending block", false, false, 4096, false, [](DataSegment& seg) { put(seg, 3, pattern(10, 3)); },
       nullptr},
      {"record starting a pending block", false, true, 4096, false, [](DataSegment& seg) { put(seg, 3, pattern(10, 3)); }, nullptr},
      {"seal", false, false, 4096, false, [](DataSegment& seg) { ASSERT_TRUE(seg.seal_pending_block(3)); }, nullptr},
      // The reopen left the pending size word behind the block the seal compresses.
      {"seal after a reopen ahead of the state words", false, false, 4096, true,
       [](DataSegment& seg) { ASSERT_TRUE(seg.seal_pending_block(3)); }, nullptr},
      // The raw block fills the file exactly; its compressed form is longer.
      {"seal that grows the file", false, false, kHl + 16 + 44 + 12 + 65400, false,
       [](DataSegment& seg) {
         put(seg, 3, noise(65400, 3));
         ASSERT_TRUE(seg.seal_pending_block(3));
       },
       nullptr},
      // No room past the block to stage the compressed bytes: the seal grows the file for
      // them, so a kill in its copy costs nothing.
      {"seal that grows the file for its staged copy", false, false, kHl + 16 + 44 + 12 + 3000 + 20, false,
       [](DataSegment& seg) {
         put(seg, 3, pattern(3000, 3));
         const std::uint64_t size = seg.file_size();
         ASSERT_LT(seg.capacity() - seg.used(), 64u);
         ASSERT_TRUE(seg.seal_pending_block(3));
         EXPECT_GT(seg.file_size(), size);
       },
       nullptr},
      {"single-record block", false, true, 4096, false, [](DataSegment& seg) { put(seg, 3, pattern(70000, 3)); },
       nullptr},
      {"extension of the last record", false, false, 4096, false,
       [&extra](DataSegment& seg) { ASSERT_TRUE(seg.append_to_record(0, 22, extra)); },
       [&extra](std::vector<Acked>& acked) { acked[1].accepted.push_back(concat(pattern(10, 2), extra)); }},
      correction(longer),
      correction(shorter),
      correction(same_length),
  };
  scenarios[8].name = "longer correction";
  scenarios[9].name = "shorter correction";
  scenarios[10].name = "correction of the same length";

  int n = 0;
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    const fs::Path where = dir / ("segment" + std::to_string(n++));
    DataSegment seg = make(s.initial_size, kMax, compress::kZstd, where);
    std::vector<Acked> acked;
    for (std::int64_t ts : {1, 2}) {
      const Bytes data = pattern(10, static_cast<std::uint8_t>(ts));
      acked.push_back({at(put(seg, ts, data)), ts, {data}});
    }
    if (s.seal_first) {
      ASSERT_TRUE(seg.seal_pending_block(3));
    }
    if (s.settled_ahead) {
      // A kill after the record count reached the state words but before the pending size
      // did: the records walk to the block header's size, so the reopen carries the record
      // through, and the size word stays behind until the next change. The record is long and
      // compressible, so that the sealed block is far shorter than the raw one.
      const Bytes data = pattern(200, 3);
      std::vector<Bytes> adding;
      {
        testing::BarrierRecorder recorder;
        acked.push_back({at(put(seg, 3, data)), 3, {data}});
        adding = recorder.of(where);
      }
      const auto ahead = std::find_if(adding.begin(), adding.end(), [](const Bytes& f) {
        return word(f, header::kPendingRecordCountWord) == 3 && word(f, header::kPendingWrotePositionWord) == 44;
      });
      ASSERT_NE(ahead, adding.end());
      { DataSegment gone = std::move(seg); }
      write_bytes(where, *ahead);
      auto reopened = DataSegment::open(where, 0, kMax);
      ASSERT_TRUE(reopened) << reopened.error().display();
      seg = std::move(*reopened);
      ASSERT_FALSE(seg.restore_error());
      ASSERT_EQ(seg.pending_payload(), 44u + 12 + 200);
      ASSERT_EQ(word(read_bytes(where), header::kPendingWrotePositionWord), 44u);
    }
    std::vector<Bytes> steps{read_bytes(where)};
    {
      testing::BarrierRecorder recorder;
      s.run(seg);
      for (Bytes& snapshot : recorder.of(where)) steps.push_back(std::move(snapshot));
    }
    steps.push_back(read_bytes(where));
    if (s.accept) s.accept(acked);

    const fs::Path torn = dir / "torn";
    const auto states = testing::interrupted_states(steps, kState, kHl);
    EXPECT_GT(states.size(), 5u);
    for (const testing::InterruptedState& state : states) {
      write_bytes(torn, state.bytes);
      check_recovered(torn, acked, s.may_keep_for_reading, state.label);
    }
  }
}

// A correction marked under way whose staged copy is damaged: the record's bytes in place are
// not trusted (they may be half rewritten) until the next change takes the marker away.
TEST_F(DataSegmentTest, RecordUnderCorrectionWithoutItsStagedCopyIsNotRead) {
  DataSegment seg = make();
  put(seg, 1, pattern(10, 1));
  put(seg, 2, pattern(10, 2));
  std::vector<Bytes> steps;
  {
    testing::BarrierRecorder recorder;
    ASSERT_TRUE(seg.correction_write(0, 22, pattern(15, 9)));
    steps = recorder.of(path);
  }
  // The copy is staged past the longer form of the record, then the marker is set.
  Bytes f = steps.at(1);
  ASSERT_EQ(bytes::load_le<std::uint32_t>(f.data() + kHl + 12), 0x80010000u | 15u);
  const std::uint64_t staged_at = kHl + 16 + 22 + 12 + 15;
  ASSERT_EQ(bytes::load_le<std::int64_t>(f.data() + staged_at + 4), 2);
  f[staged_at + 4] ^= 0xFF;
  const fs::Path torn = dir / "torn";
  write_bytes(torn, f);

  auto reopened = DataSegment::open(torn, 0, kMax);
  ASSERT_TRUE(reopened) << reopened.error().display();
  EXPECT_FALSE(reopened->restore_error());
  EXPECT_EQ(error_text(reopened->read_record(0, {0, 0, 22}, nullptr)),
            "invalid data: record under correction: its staged copy cannot be read");
  EXPECT_EQ(read(*reopened, {0, 0}), pattern(10, 1));
  put(*reopened, 3, pattern(10, 3));
  EXPECT_EQ(read(*reopened, {0, 22}), pattern(10, 2));
}

// ---- a reader beside a live writer ----------------------------------------------------------

// A record's value carries its timestamp and version, so that any mix of two values shows.
Bytes versioned(std::int64_t ts, std::uint32_t version) {
  const std::size_t len = 100 + static_cast<std::size_t>(ts * 37 + (version / 2) * 1013) % 2900;
  Bytes v(len);
  bytes::store_le<std::int64_t>(v.data(), ts);
  bytes::store_le<std::uint32_t>(v.data() + 8, version);
  for (std::size_t i = 12; i < len; ++i) v[i] = static_cast<std::uint8_t>(ts * 31 + version * 7 + i);
  return v;
}

bool is_some_version(std::int64_t ts, const Bytes& data) {
  if (data.size() < 12 || bytes::load_le<std::int64_t>(data.data()) != ts) return false;
  return data == versioned(ts, bytes::load_le<std::uint32_t>(data.data() + 8));
}

// A second segment object on the file, as a read-only store holds it, reads while the writer
// adds records, corrects the latest one (longer, shorter, the same length) and seals blocks in
// place: every read returns one whole value of its record.
TEST_F(DataSegmentTest, ReaderBesideALiveWriterReadsWholeRecords) {
  constexpr std::uint64_t kSize = 8 << 20;
  DataSegment writer = make(kSize, kSize);
  auto opened = DataSegment::open(path, 0, kSize);
  ASSERT_TRUE(opened) << opened.error().display();
  const DataSegment& reader = *opened;

  constexpr std::int64_t kRecords = 3000;
  std::vector<IndexEntry> entries(kRecords + 1);
  std::atomic<std::int64_t> published{0};
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> reads{0};
  std::vector<std::string> wrong;
  std::thread read_loop([&] {
    std::mt19937_64 rng(7);
    HotBlock hot;
    while (!done.load() || reads.load() < 20000) {
      const std::int64_t latest = published.load();
      if (latest == 0) continue;
      // Mostly the latest record, the one corrections and seals rewrite.
      const std::int64_t ts = rng() % 2 == 0 ? latest : 1 + static_cast<std::int64_t>(rng() % latest);
      const std::uint64_t n = reads.fetch_add(1);
      auto r = n % 2 == 0 ? reader.read_record(0, entries[ts], nullptr)
                          : reader.read_record_hot(0, entries[ts], nullptr, hot);
      if (!r) {
        if (wrong.size() < 5) wrong.push_back("ts " + std::to_string(ts) + ": " + r.error().display());
      } else if (r->first != ts || !is_some_version(ts, r->second)) {
        if (wrong.size() < 5) wrong.push_back("ts " + std::to_string(ts) + ": bytes of no value it held");
      }
    }
  });
  for (std::int64_t ts = 1; ts <= kRecords; ++ts) {
    entries[ts] = at(put(writer, ts, versioned(ts, 0)));
    published.store(ts);
    // A correction that would take the block past 64 KiB is refused; the record keeps its value.
    for (std::uint32_t version = 1; version <= 4; ++version)
      (void)writer.correction_write(entries[ts].block_offset, entries[ts].in_block, versioned(ts, version));
  }
  done.store(true);
  read_loop.join();
  EXPECT_GE(reads.load(), 20000u);
  EXPECT_EQ(wrong, std::vector<std::string>{});
}

// The same reader, looking at every point where the writer orders its stores: what a reader in
// another process may see at any instant between two steps of a change.
struct StepReader {
  static inline const DataSegment* reader = nullptr;
  static inline std::vector<IndexEntry>* entries = nullptr;
  static inline std::int64_t latest = 0;
  static inline std::uint64_t looks = 0;
  static inline std::vector<std::string> wrong;

  static void look(const fs::Path&) {
    HotBlock hot;
    for (std::int64_t ts = std::max<std::int64_t>(1, latest - 4); ts <= latest; ++ts) {
      ++looks;
      const IndexEntry& entry = (*entries)[ts];
      for (auto r : {reader->read_record(0, entry, nullptr), reader->read_record_hot(0, entry, nullptr, hot)}) {
        if (!r) {
          if (wrong.size() < 5) wrong.push_back("ts " + std::to_string(ts) + ": " + r.error().display());
        } else if (r->first != ts || !is_some_version(ts, r->second)) {
          if (wrong.size() < 5) wrong.push_back("ts " + std::to_string(ts) + ": bytes of no value it held");
        }
      }
    }
  }
};

TEST_F(DataSegmentTest, ReaderAtEveryStepOfAWriterReadsWholeRecords) {
  constexpr std::uint64_t kSize = 4 << 20;
  DataSegment writer = make(kSize, kSize);
  auto opened = DataSegment::open(path, 0, kSize);
  ASSERT_TRUE(opened) << opened.error().display();
  std::vector<IndexEntry> entries(1);
  StepReader::reader = &*opened;
  StepReader::entries = &entries;
  set_store_barrier_observer(&StepReader::look);
  for (std::int64_t ts = 1; ts <= 150; ++ts) {
    entries.push_back(at(put(writer, ts, versioned(ts, 0))));
    StepReader::latest = ts;
    for (std::uint32_t version = 1; version <= 4; ++version)
      (void)writer.correction_write(entries[ts].block_offset, entries[ts].in_block, versioned(ts, version));
  }
  set_store_barrier_observer(nullptr);
  EXPECT_GT(StepReader::looks, 10000u);
  EXPECT_EQ(StepReader::wrong, std::vector<std::string>{});
}

// A reader that mapped the file before the writer grew it, looking at every step of the
// writer's change: each record it reads is one whole value the record held. The writer stopped
// at one of those steps is what a reader finds once the writer was killed there.
struct GrowthReader {
  struct Held {
    std::int64_t ts = 0;
    IndexEntry entry;
    std::vector<Bytes> values;  // every value the record held
  };
  static inline const DataSegment* reader = nullptr;
  static inline const std::vector<Held>* records = nullptr;
  static inline std::uint64_t looks = 0;
  static inline std::vector<std::string> wrong;

  static void look(const fs::Path&) {
    HotBlock hot;
    for (const Held& held : *records) {
      ++looks;
      for (auto r :
           {reader->read_record(0, held.entry, nullptr), reader->read_record_hot(0, held.entry, nullptr, hot)}) {
        const bool whole = r && r->first == held.ts &&
                           std::find(held.values.begin(), held.values.end(), r->second) != held.values.end();
        if (!whole && wrong.size() < 5)
          wrong.push_back("ts " + std::to_string(held.ts) + ": " +
                          (r ? std::string("bytes of no value it held") : r.error().display()));
      }
    }
  }
};

TEST_F(DataSegmentTest, ReaderMappedBeforeTheFileGrewReadsEveryRecord) {
  using Records = std::vector<GrowthReader::Held>;
  // Stores a record as the set does, growing the file while it reports no room.
  const auto add = [](DataSegment& writer, Records& records, std::int64_t ts, const Bytes& data) {
    auto placed = writer.append_record(ts, data, 3);
    while (!placed && placed.error().kind() == ErrorKind::SegmentFull && writer.grow())
      placed = writer.append_record(ts, data, 3);
    ASSERT_TRUE(placed) << placed.error().display();
    records.push_back({ts, at(*placed), {data}});
  };
  const auto correct = [](DataSegment& writer, Records& records, const Bytes& data) {
    GrowthReader::Held& last = records.back();
    last.values.push_back(data);
    ASSERT_TRUE(writer.correction_write(last.entry.block_offset, last.entry.in_block, data));
  };
  // 16 records of 4,000 bytes fill the file exactly; the 17th seals their block.
  constexpr std::uint64_t kFullBlock = 16 + 16 * (12 + 4000);
  struct Case {
    const char* name;
    std::uint64_t initial;
    std::function<void(DataSegment&, Records&)> before;  // before the reader maps the file
    std::function<void(DataSegment&, Records&)> change;  // watched at every step
  };
  const Case cases[] = {
      {"blocks written past the mapping", 4096,
       [&](DataSegment& w, Records& r) { add(w, r, 1, pattern(1000, 1)); },
       [&](DataSegment& w, Records& r) {
         for (std::int64_t ts = 2; ts <= 12; ++ts) add(w, r, ts, pattern(1000, static_cast<std::uint8_t>(ts)));
       }},
      {"a seal's staged copy past the mapping", kHl + kFullBlock,
       [&](DataSegment& w, Records& r) {
         for (std::int64_t ts = 1; ts <= 16; ++ts) add(w, r, ts, pattern(4000, static_cast<std::uint8_t>(ts)));
       },
       [&](DataSegment& w, Records& r) {
         for (std::int64_t ts = 17; ts <= 18; ++ts) add(w, r, ts, pattern(4000, static_cast<std::uint8_t>(ts)));
       }},
      {"a correction's staged copy past the mapping", 4096,
       [&](DataSegment& w, Records& r) {
         for (std::int64_t ts = 1; ts <= 3; ++ts) add(w, r, ts, pattern(1000, static_cast<std::uint8_t>(ts)));
       },
       [&](DataSegment& w, Records& r) {
         // The record ends near the reader's end of the file; its copy lies past it.
         ASSERT_TRUE(w.grow());
         correct(w, r, pattern(1000, 31));
         correct(w, r, pattern(1500, 32));
         correct(w, r, pattern(700, 33));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::Path where = dir / (std::string("growth-") + std::to_string(&c - cases));
    DataSegment writer = make(c.initial, kMax, compress::kZstd, where);
    Records records;
    c.before(writer, records);
    const std::uint64_t mapped_size = writer.file_size();
    auto opened = DataSegment::open(where, 0, kMax);
    ASSERT_TRUE(opened) << opened.error().display();
    GrowthReader::reader = &*opened;
    GrowthReader::records = &records;
    GrowthReader::looks = 0;
    GrowthReader::wrong.clear();
    set_store_barrier_observer(&GrowthReader::look);
    c.change(writer, records);
    set_store_barrier_observer(nullptr);
    GrowthReader::look(where);
    EXPECT_GT(writer.file_size(), mapped_size);
    EXPECT_GT(GrowthReader::looks, 20u);
    EXPECT_EQ(GrowthReader::wrong, std::vector<std::string>{});
  }
}

// ---- a full disk ---------------------------------------------------------------------------

TEST_F(DataSegmentTest, FullDiskIsAnIoErrorAndKeepsTheSegmentUsable) {
  DataSegment seg = make(4096, 1 << 20);
  const RecordPlace p = put(seg, 1, pattern(10, 1));
  {
    FileSizeLimit limit(6000);
    auto grown = seg.grow();
    ASSERT_FALSE(grown);
    EXPECT_EQ(grown.error().kind(), ErrorKind::Io);
    EXPECT_EQ(grown.error().os_code(), EFBIG);
    auto created = DataSegment::create(dir / "new", 0, 8192, 1 << 20, 3, 0);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().kind(), ErrorKind::Io);
    EXPECT_FALSE(fs::path_exists(dir / "new"));
  }
  EXPECT_EQ(seg.file_size(), 4096u);
  EXPECT_TRUE(seg.mapped());
  EXPECT_EQ(read(seg, p), pattern(10, 1));
  put(seg, 2, pattern(10, 2));
  ASSERT_TRUE(seg.grow());
  EXPECT_EQ(seg.file_size(), 8192u);
}

}  // namespace
}  // namespace quelvane
