#include "journal/segment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "compress.h"
#include "support/file_faults.h"
#include "support/interrupted_write.h"
#include "support/payloads.h"
#include "support/temp_dir.h"
#include "util/block_header.h"
#include "util/live_block.h"
#include "util/bytes.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace quelvane {
namespace {

using testing::Bytes;
using testing::noise;
using testing::pattern;
using testing::read_bytes;
using testing::write_bytes;

constexpr std::uint64_t kHl = JournalSegment::kHeaderSize;

template <class T>
T word(const Bytes& b, std::uint64_t off) {
  return bytes::get<T>(b, off);
}

util::BlockHeader block_at(const Bytes& b, std::uint64_t pos) { return util::read_block_header(b, pos); }

// The data appended as sequence base + i in the tests below.
Bytes data_of(std::int64_t seq, std::size_t len = 10) { return pattern(len, static_cast<std::uint8_t>(seq)); }

class JournalSegmentTest : public ::testing::Test {
 protected:
  fs::Path path(std::int64_t base = 1) const { return dir_ / ("seg" + std::to_string(base)); }

  JournalSegment create(std::int64_t base = 1, std::uint64_t initial = 4096, std::uint64_t max = 1 << 20,
                        std::uint8_t type = compress::kZstd) {
    auto seg = JournalSegment::create(path(base), base, initial, max, 3, type);
    EXPECT_TRUE(seg.has_value()) << seg.error().display();
    return std::move(*seg);
  }

  // Appends sequences next_sequence() .. + count - 1 with data_of(seq, len).
  static void fill(JournalSegment& seg, std::size_t count, std::size_t len = 10) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::int64_t seq = seg.next_sequence();
      auto ok = seg.append(seq, data_of(seq, len));
      ASSERT_TRUE(ok.has_value()) << ok.error().display();
    }
  }

  // Every sequence of the segment reads back as it was appended (len bytes each).
  static void expect_readable(JournalSegment& seg, std::size_t len = 10, const std::string& label = {}) {
    for (std::int64_t s = seg.base_sequence(); s < seg.next_sequence(); ++s) {
      auto got = seg.read(s);
      ASSERT_TRUE(got.has_value()) << label << " seq " << s << ": " << got.error().display();
      ASSERT_TRUE(got->has_value()) << label << " seq " << s;
      ASSERT_EQ(**got, data_of(s, len)) << label << " seq " << s;
    }
  }

  testing::TempDir dir_;
};

TEST_F(JournalSegmentTest, FreshSegmentHasTheDocumentedHeader) {
  const std::int64_t before = unix_millis_now();
  JournalSegment seg = create(5, 262144, 1 << 20);
  const std::int64_t after = unix_millis_now();
  EXPECT_EQ(seg.file_size(), 262144u);
  EXPECT_EQ(seg.write_position(), kHl);
  EXPECT_EQ(seg.record_count(), 0u);
  EXPECT_TRUE(seg.clean());

  const Bytes b = read_bytes(path(5));
  ASSERT_EQ(b.size(), 262144u);
  // Bytes 12..19 hold the creation time, checked separately.
  Bytes expected = {'Q', 'V', 'A', 'N', 1, 0, 3, 41, 0,
                    1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0,      // created
                    2, 8, 0, 5, 0, 0, 0, 0, 0, 0, 0,      // base_sequence 5
                    3, 8, 0, 0, 0, 16, 0, 0, 0, 0, 0,     // maximum 1 MiB
                    4, 1, 0, 3,                           // level
                    5, 1, 0, 0,                           // type
                    56, 0};
  auto put64 = [&](std::uint64_t v) {
    for (int i = 0; i < 8; ++i) expected.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  put64(262144);            // file_size
  put64(kHl);               // write_position
  put64(0);                 // record_count
  put64(0);                 // uncompressed_bytes
  put64(~std::uint64_t{0});  // no pending block
  put64(0);
  put64(0);
  ASSERT_EQ(expected.size(), kHl);
  Bytes head(b.begin(), b.begin() + kHl);
  const std::int64_t created = word<std::int64_t>(head, 12);
  EXPECT_GE(created, before);
  EXPECT_LE(created, after);
  std::fill(head.begin() + 12, head.begin() + 20, 0);
  EXPECT_EQ(head, expected);
  EXPECT_TRUE(bytes::all_zero(std::span<const std::uint8_t>(b).subspan(kHl)));
}

TEST_F(JournalSegmentTest, CreateChecksItsArgumentsInOrder) {
  struct Case {
    std::int64_t base;
    std::uint64_t initial, max;
    std::uint8_t type;
    const char* text;
  };
  const Case cases[] = {
      {0, 50, 10, 9, "journal base_sequence must be positive"},
      {1, 50, 10, 2, "unknown compress_type 2"},
      {1, 107, 4096, 0, "initial journal segment size 107 is smaller than header 108"},
      {1, 8192, 4096, 0, "initial journal segment size 8192 exceeds maximum 4096"},
  };
  for (const Case& c : cases) {
    auto seg = JournalSegment::create(path(), c.base, c.initial, c.max, 3, c.type);
    ASSERT_FALSE(seg.has_value()) << c.text;
    EXPECT_EQ(seg.error(), Error::invalid_data(c.text));
  }
  EXPECT_FALSE(fs::path_exists(path()));
}

TEST_F(JournalSegmentTest, SmallRecordsGatherInOneRawBlock) {
  JournalSegment seg = create(7);
  fill(seg, 3);
  const Bytes b = read_bytes(path(7));
  EXPECT_EQ(block_at(b, kHl), (util::BlockHeader{66, 0, 3, 66}));
  EXPECT_EQ(word<std::uint64_t>(b, 60), kHl + 16 + 66);  // write_position
  EXPECT_EQ(word<std::uint64_t>(b, 68), 3u);            // record_count
  EXPECT_EQ(word<std::uint64_t>(b, 76), 66u);           // uncompressed_bytes
  EXPECT_EQ(word<std::uint64_t>(b, 84), 0u);            // pending_offset
  EXPECT_EQ(word<std::uint64_t>(b, 92), 66u);
  EXPECT_EQ(word<std::uint64_t>(b, 100), 3u);
  EXPECT_EQ(word<std::uint32_t>(b, kHl + 16), 10u);  // first record: length, sequence
  EXPECT_EQ(word<std::int64_t>(b, kHl + 20), 7);

  auto wrong = seg.append(12, data_of(12));
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error(), Error::invalid_data("journal sequence 12 is not next for segment 7 record_count 3"));
  EXPECT_EQ(read_bytes(path(7)), b);
  expect_readable(seg);
  EXPECT_EQ(*seg.read(6), std::nullopt);
  EXPECT_EQ(*seg.read(10), std::nullopt);
}

TEST_F(JournalSegmentTest, RecordSizeThresholds) {
  JournalSegment seg = create(1, 4096, 1 << 22);
  fill(seg, 1);                                            // pending payload 22
  fill(seg, 1, JournalSegment::kMaxPendingRecordLen - 22);  // fills it to 65,536 exactly
  Bytes b = read_bytes(path());
  EXPECT_EQ(block_at(b, kHl), (util::BlockHeader{65536, 0, 2, 65536}));
  // The next small record does not fit: the block is sealed and a new one starts behind it.
  fill(seg, 1);
  b = read_bytes(path());
  const util::BlockHeader sealed = block_at(b, kHl);
  EXPECT_EQ(sealed.flags, util::kCompressed | util::kSealed);
  EXPECT_EQ(sealed.record_count, 2);
  EXPECT_EQ(sealed.uncompressed_size, 65536u);
  const std::uint64_t second = kHl + 16 + sealed.payload_size;
  EXPECT_EQ(block_at(b, second), (util::BlockHeader{22, 0, 1, 22}));
  // 65,524 bytes still join a pending block; 65,525 seal it and get a block of their own.
  JournalSegment big = create(100, 4096, 1 << 22);
  fill(big, 1, JournalSegment::kMaxPendingRecordLen);
  b = read_bytes(path(100));
  EXPECT_EQ(block_at(b, kHl), (util::BlockHeader{65536, 0, 1, 65536}));
  fill(big, 1, JournalSegment::kMaxPendingRecordLen + 1);
  b = read_bytes(path(100));
  EXPECT_EQ(block_at(b, kHl).flags, util::kCompressed | util::kSealed);
  const util::BlockHeader single = block_at(b, kHl + 16 + block_at(b, kHl).payload_size);
  EXPECT_EQ(single.flags, util::kCompressed | util::kSealed | util::kSingleRecord);
  EXPECT_EQ(single.record_count, 1);
  EXPECT_EQ(single.uncompressed_size, 12u + JournalSegment::kMaxPendingRecordLen + 1);
  EXPECT_FALSE(big.has_pending());
  ASSERT_EQ(**big.read(100), data_of(100, JournalSegment::kMaxPendingRecordLen));
  ASSERT_EQ(**big.read(101), data_of(101, JournalSegment::kMaxPendingRecordLen + 1));
}

TEST_F(JournalSegmentTest, SealGrowsForIncompressibleRecords) {
  JournalSegment seg = create(1, 4096, 1 << 20);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(seg.append(seg.next_sequence(), noise(30000, i)).has_value());
  const std::uint64_t before = seg.file_size();
  ASSERT_TRUE(seg.append(3, noise(30000, 2)).has_value());  // seals 60,024 noise bytes
  const Bytes b = read_bytes(path());
  EXPECT_GT(block_at(b, kHl).payload_size, 60024u);
  EXPECT_GE(seg.file_size(), before);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(**seg.read(1 + i), noise(30000, i));
}

TEST_F(JournalSegmentTest, SegmentFullLeavesTheRecordsAsTheyWere) {
  JournalSegment seg = create(1, 4096, 4096);
  fill(seg, 1, 3900);
  // A record the pending block would take, without room in the file: nothing changes.
  const Bytes before = read_bytes(path());
  EXPECT_EQ(seg.append(2, data_of(2, 200)).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(read_bytes(path()), before);
  // A record the pending block cannot take: the block is sealed first, and stays sealed.
  EXPECT_EQ(seg.append(2, data_of(2, 65524)).error().kind(), ErrorKind::SegmentFull);
  const Bytes after = read_bytes(path());
  EXPECT_EQ(after.size(), 4096u);
  EXPECT_EQ(block_at(after, kHl).flags, util::kCompressed | util::kSealed);
  EXPECT_EQ(seg.record_count(), 1u);
  expect_readable(seg, 3900);

  // Without room for the copy a seal is finished from, the block stays raw and unchanged.
  JournalSegment noisy = create(20, 4096, 4096);
  ASSERT_TRUE(noisy.append(20, noise(3900, 7)).has_value());
  const Bytes raw = read_bytes(path(20));
  EXPECT_EQ(noisy.append(21, data_of(21, 65524)).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(read_bytes(path(20)), raw);
  EXPECT_EQ(**noisy.read(20), noise(3900, 7));

  // A file already longer than its maximum is full; it is never cut back.
  JournalSegment small = create(9, 4096, 4096);
  fill(small, 1, 3900);
  {
    auto fd = fs::open(path(9), fs::OpenMode::ReadWrite);
    ASSERT_TRUE(fs::set_length(*fd, 8192).has_value());
  }
  auto reopened = JournalSegment::open(path(9), 9, 4096);
  ASSERT_TRUE(reopened.has_value()) << reopened.error().display();
  EXPECT_EQ(reopened->append(10, data_of(10, 5000)).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(read_bytes(path(9)).size(), 8192u);
}

TEST_F(JournalSegmentTest, FailedGrowthIsAnIoErrorAndTheNextAppendWorks) {
  JournalSegment seg = create(1, 4096, 1 << 20);
  fill(seg, 3);
  {
    testing::FileSizeLimit limit(4096);
    auto failed = seg.append(4, data_of(4, 5000));
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
  }
  EXPECT_EQ(seg.record_count(), 3u);
  fill(seg, 2, 5000);
  for (std::int64_t s : {1, 2, 3}) EXPECT_EQ(**seg.read(s), data_of(s)) << s;
  for (std::int64_t s : {4, 5}) EXPECT_EQ(**seg.read(s), data_of(s, 5000)) << s;
}

// One damaged header per row, made from a fresh file's bytes.
TEST_F(JournalSegmentTest, HeaderChecksInOrder) {
  create(3);
  const Bytes fresh = read_bytes(path(3));
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    Error error;
  };
  auto meta_tag = [](Bytes& b, std::uint64_t at, std::uint8_t tag) { b[at] = tag; };
  const Case cases[] = {
      {"107 bytes", [](Bytes& b) { b.resize(107); }, Error::invalid_data("journal segment header truncated")},
      {"magic", [](Bytes& b) { b[0] = 'X'; }, Error::invalid_magic()},
      {"file type", [](Bytes& b) { b[6] = 2; }, Error::invalid_data("unexpected journal file_type 2")},
      {"meta past the file",
       [](Bytes& b) {
         bytes::put<std::uint16_t>(b, 7, 200);
         b.resize(150);
       },
       Error::invalid_data("journal segment state length truncated")},
      {"state length", [](Bytes& b) { bytes::put<std::uint16_t>(b, 50, 55); },
       Error::invalid_data("journal state_length 55 is smaller than 56")},
      {"state past the file",
       [](Bytes& b) {
         bytes::put<std::uint16_t>(b, 50, 200);
         b.resize(200);
       },
       Error::invalid_data("journal state truncated")},
      {"meta length 2", [](Bytes& b) { bytes::put<std::uint16_t>(b, 7, 2); bytes::put<std::uint16_t>(b, 11, 56); },
       Error::invalid_data("journal base_sequence meta missing")},
      {"entry past the meta", [](Bytes& b) { bytes::put<std::uint16_t>(b, 47, 9); },
       Error::invalid_data("journal meta TLV truncated")},
      {"no base", [&](Bytes& b) { meta_tag(b, 20, 9); }, Error::invalid_data("journal base_sequence meta missing")},
      {"no maximum", [&](Bytes& b) { meta_tag(b, 31, 9); }, Error::invalid_data("journal file_size meta missing")},
      {"no level", [&](Bytes& b) { meta_tag(b, 42, 9); }, Error::invalid_data("journal compress_level meta missing")},
      {"no type", [&](Bytes& b) { meta_tag(b, 46, 9); }, Error::invalid_data("journal compress_type meta missing")},
      {"type 2", [](Bytes& b) { b[49] = 2; }, Error::invalid_data("unknown compress_type 2")},
      {"base 6 in a file of base 3", [](Bytes& b) { b[23] = 6; },
       Error::invalid_data("journal segment base_sequence mismatch: expected 3, got 6")},
  };
  for (const Case& c : cases) {
    Bytes b = fresh;
    c.damage(b);
    write_bytes(path(3), b);
    auto opened = JournalSegment::open_read_only(path(3), 3, 4096);
    ASSERT_FALSE(opened.has_value()) << c.name;
    EXPECT_EQ(opened.error(), c.error) << c.name << ": " << opened.error().display();
    EXPECT_EQ(JournalSegment::check_header(path(3), 3).error(), c.error) << c.name;
    EXPECT_EQ(read_bytes(path(3)), b) << c.name;
  }
  // Unknown tags and known tags of another length are skipped, and a later entry wins: the
  // creation time entry turned into a base of 6 ahead of the real one changes nothing.
  Bytes b = fresh;
  b[9] = 2;
  bytes::put<std::int64_t>(b, 12, 6);
  b[42] = 9;  // the level entry as an unknown tag, and a level of length 2 in front of it
  write_bytes(path(3), b);
  EXPECT_EQ(JournalSegment::open_read_only(path(3), 3, 4096).error(),
            Error::invalid_data("journal compress_level meta missing"));
  b[42] = 4;
  write_bytes(path(3), b);
  EXPECT_TRUE(JournalSegment::open_read_only(path(3), 3, 4096).has_value());
}

TEST_F(JournalSegmentTest, NewerVersionOpensWithAWarning) {
  JournalSegment seg = create(1);
  fill(seg, 2);
  Bytes b = read_bytes(path());
  b[4] = 2;
  write_bytes(path(), b);
  std::vector<std::string> lines;
  log::set_sink([&](log::Level, std::string_view target, std::string_view text) {
    lines.push_back(std::string(target) + " " + std::string(text));
  }, log::Level::Warn);
  auto opened = JournalSegment::open(path(), 1, 4096);
  log::set_sink(nullptr, log::Level::Off);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->record_count(), 2u);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "quelvane::journal::segment Journal segment has version 2 but current version is 1"}));
}

TEST_F(JournalSegmentTest, UnwrittenFilesHoldNoRecords) {
  write_bytes(path(1), {});
  EXPECT_EQ(JournalSegment::check_header(path(1), 1), false);
  write_bytes(path(2), Bytes(4096, 0));
  EXPECT_EQ(JournalSegment::check_header(path(2), 2), false);
  write_bytes(path(3), Bytes(50, 0));
  EXPECT_EQ(JournalSegment::check_header(path(3), 3), false);
  // Earlier versions made the file under its own name, the header first and its magic last: a
  // create of theirs cut short at any point leaves a file that holds no records.
  {
    create(4);
    const Bytes made = read_bytes(path(4));
    Bytes without_magic = made;
    std::fill(without_magic.begin(), without_magic.begin() + 4, 0);
    for (const auto& state : testing::interrupted_states({Bytes(4096, 0), without_magic, made}, 52, kHl)) {
      write_bytes(path(4), state.bytes);
      auto checked = JournalSegment::check_header(path(4), 4);
      ASSERT_TRUE(checked.has_value()) << state.label << ": " << checked.error().display();
      if (*checked) {
        EXPECT_EQ(JournalSegment::open(path(4), 4, 4096)->record_count(), 0u) << state.label;
      }
    }
  }
  // A header without its magic in front of a block is damage, not an unwritten file.
  JournalSegment seg = create(5);
  fill(seg, 1);
  Bytes damaged = read_bytes(path(5));
  std::fill(damaged.begin(), damaged.begin() + 4, 0);
  write_bytes(path(5), damaged);
  EXPECT_EQ(JournalSegment::check_header(path(5), 5).error(), Error::invalid_magic());
  // Opening one directly still says what is wrong with it.
  EXPECT_EQ(JournalSegment::open(path(1), 1, 4096).error(), Error::invalid_data("journal segment header truncated"));
  EXPECT_EQ(JournalSegment::open(path(2), 2, 4096).error(), Error::invalid_magic());
}

// A segment of two sealed blocks, a single-record block and a raw block of 3 records, as the
// starting point of the damage cases below. Returns the positions of its blocks.
std::vector<std::uint64_t> block_positions(const Bytes& b, std::uint64_t end) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t pos = kHl; pos + 16 <= end;) {
    const util::BlockHeader h = block_at(b, pos);
    if (h.record_count == 0) break;
    out.push_back(pos);
    pos += 16 + h.payload_size;
  }
  return out;
}

TEST_F(JournalSegmentTest, OpenScanKeepsEveryWholeRecordOfATornTail) {
  JournalSegment seg = create(1, 4096, 1 << 22);
  fill(seg, 3000);          // two sealed blocks and a raw one
  fill(seg, 1, 70000);      // seals it: a single-record block follows
  fill(seg, 3);             // a raw block of 3 records
  const std::uint64_t end = seg.write_position();
  ASSERT_TRUE(seg.flush().has_value());
  const Bytes good = read_bytes(path());
  const std::vector<std::uint64_t> blocks = block_positions(good, end);
  ASSERT_EQ(blocks.size(), 4u);
  const std::uint64_t first = blocks[0];  // sealed, 2,978 records
  const std::uint64_t sealed = blocks[1];  // sealed, 22 records
  const std::uint64_t single = blocks[2];
  const std::uint64_t raw = blocks[3];
  const std::uint64_t before_raw = 3001;  // records in the blocks ahead of the raw one
  const std::uint64_t in_first = block_at(good, first).record_count;
  // Where a seal staged its compressed bytes: past both forms of the block.
  auto staged_at = [&](std::uint64_t at) {
    const util::BlockHeader h = block_at(good, at);
    return at + 16 + std::max<std::uint64_t>(h.uncompressed_size, h.payload_size);
  };

  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    std::uint64_t records;  // records the scan keeps
  };
  const Case cases[] = {
      {"intact", [](Bytes&) {}, 3004},
      {"raw block cut in its last record", [&](Bytes& b) { b.resize(raw + 16 + 22 * 2 + 15); }, before_raw + 2},
      {"raw block cut in its header", [&](Bytes& b) { b.resize(raw + 10); }, before_raw},
      {"raw header counts a record not written", [&](Bytes& b) {
         bytes::put<std::uint16_t>(b, raw + 6, 4);
         bytes::put<std::uint32_t>(b, raw, 88);
         bytes::put<std::uint32_t>(b, raw + 8, 88);
       }, before_raw + 3},
      {"raw header and payload disagree inside the file", [&](Bytes& b) { bytes::put<std::uint16_t>(b, raw + 6, 2); },
       before_raw + 3},
      {"raw record out of sequence", [&](Bytes& b) { bytes::put<std::int64_t>(b, raw + 16 + 22 + 4, 77); },
       before_raw + 1},
      {"single-record block cut short", [&](Bytes& b) { b.resize(single + 16 + block_at(good, single).payload_size / 2); }, 3000},
      {"sealed block of another raw size", [&](Bytes& b) { bytes::put<std::uint32_t>(b, sealed + 8, 1000); },
       in_first},
      {"sealed block and its staged copy damaged", [&](Bytes& b) {
         b[sealed + 16 + 5] ^= 0xFF;
         if (staged_at(sealed) + 5 < b.size()) b[staged_at(sealed) + 5] ^= 0xFF;
       }, in_first},
      {"seal cut short while it overwrote the raw records", [&](Bytes& b) {
         ASSERT_LT(staged_at(first) + block_at(good, first).payload_size, b.size());
         std::fill(b.begin() + first + 16, b.begin() + first + 16 + 8, 0x33);
       }, 3004},
      {"flags 1", [&](Bytes& b) { bytes::put<std::uint16_t>(b, single + 4, 1); }, 3000},
      {"flags 8 on the raw block", [&](Bytes& b) { bytes::put<std::uint16_t>(b, raw + 4, 8); }, before_raw},
      {"state words lie", [&](Bytes& b) { std::fill(b.begin() + 52, b.begin() + 108, 0x5A); }, 3004},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.damage(b);
    write_bytes(path(), b);
    {
      auto ro = JournalSegment::open_read_only(path(), 1, 1 << 22);
      ASSERT_TRUE(ro.has_value()) << c.name << ": " << ro.error().display();
      EXPECT_EQ(ro->record_count(), c.records) << c.name;
      for (std::int64_t s : {std::int64_t{1}, std::int64_t(c.records)}) {
        auto got = ro->read(s);
        ASSERT_TRUE(got.has_value() && got->has_value()) << c.name << " seq " << s;
        EXPECT_EQ(**got, data_of(s, s == 3001 ? 70000 : 10)) << c.name << " seq " << s;
      }
      EXPECT_EQ(*ro->read(std::int64_t(c.records) + 1), std::nullopt) << c.name;
      EXPECT_EQ(read_bytes(path()), b) << c.name << ": a read-only open wrote";
    }
    auto rw = JournalSegment::open(path(), 1, 1 << 22);
    ASSERT_TRUE(rw.has_value()) << c.name << ": " << rw.error().display();
    EXPECT_EQ(rw->record_count(), c.records) << c.name;
    EXPECT_EQ(word<std::uint64_t>(read_bytes(path()), 68), c.records) << c.name;
    // The segment carries on from the last whole record.
    const std::int64_t next = rw->next_sequence();
    ASSERT_TRUE(rw->append(next, data_of(next)).has_value()) << c.name;
    auto again = JournalSegment::open_read_only(path(), 1, 1 << 22);
    ASSERT_TRUE(again.has_value()) << c.name;
    EXPECT_EQ(again->record_count(), c.records + 1) << c.name;
    EXPECT_EQ(**again->read(next), data_of(next)) << c.name;
  }
}

TEST_F(JournalSegmentTest, EveryInterruptedAppendLeavesARecoverableSegment) {
  // Steps of each change, taken at its ordering points.
  static std::vector<Bytes>* steps = nullptr;
  struct Recorder {
    static void take(const fs::Path& p) {
      if (steps != nullptr) steps->push_back(read_bytes(p));
    }
  };
  struct Change {
    const char* name;
    std::size_t prior;  // 10-byte records appended before
    std::size_t len;    // the interrupted record's length
  };
  const Change changes[] = {
      {"first record", 0, 10},
      {"record joining the pending block", 5, 10},
      {"record that seals the pending block", 5, 65500},
      {"record of its own block", 5, 70000},
      {"record that grows the file", 180, 10},
  };
  for (const Change& c : changes) {
    const fs::Path p = path(1);
    std::vector<Bytes> recorded;
    std::int64_t seq = 0;
    {
      JournalSegment seg = create(1, 4096, 1 << 20);
      fill(seg, c.prior);
      seq = seg.next_sequence();
      recorded.push_back(read_bytes(p));
      steps = &recorded;
      set_journal_barrier_observer(&Recorder::take);
      ASSERT_TRUE(seg.append(seq, data_of(seq, c.len)).has_value()) << c.name;
      set_journal_barrier_observer(nullptr);
      steps = nullptr;
      recorded.push_back(read_bytes(p));
    }
    const auto states = testing::interrupted_states(recorded, 52, kHl);
    for (const auto& state : states) {
      write_bytes(p, state.bytes);
      auto seg = JournalSegment::open(p, 1, 1 << 20);
      ASSERT_TRUE(seg.has_value()) << c.name << " " << state.label << ": " << seg.error().display();
      // Every record appended before the change survives; the interrupted one counts whole or
      // not at all.
      ASSERT_GE(seg->record_count(), c.prior) << c.name << " " << state.label;
      ASSERT_LE(seg->record_count(), c.prior + 1) << c.name << " " << state.label;
      for (std::int64_t s = 1; s < seq; ++s) ASSERT_EQ(**seg->read(s), data_of(s)) << c.name << " " << state.label;
      if (seg->record_count() > c.prior) {
        ASSERT_EQ(**seg->read(seq), data_of(seq, c.len)) << c.name;
      }
      const std::int64_t next = seg->next_sequence();
      ASSERT_TRUE(seg->append(next, data_of(next)).has_value()) << c.name << " " << state.label;
      ASSERT_EQ(**seg->read(next), data_of(next)) << c.name << " " << state.label;
    }
  }
}

TEST_F(JournalSegmentTest, SequencesEndAtTheLargestI64) {
  const std::int64_t base = INT64_MAX - 1;
  {
    JournalSegment seg = create(base);
    ASSERT_TRUE(seg.append(base, data_of(1)).has_value());
    EXPECT_EQ(seg.append(INT64_MAX, data_of(2)).error(), Error::invalid_data("journal sequence overflow"));
    ASSERT_TRUE(seg.flush().has_value());
  }
  // A block whose records would run past the largest sequence is damage, whatever it says.
  Bytes b = read_bytes(path(base));
  Bytes second(22);
  bytes::put<std::uint32_t>(second, 0, 10);
  bytes::put<std::int64_t>(second, 4, INT64_MAX);
  std::copy(second.begin(), second.end(), b.begin() + kHl + 16 + 22);
  util::write_block_header({44, 0, 2, 44}, b, kHl);
  write_bytes(path(base), b);
  auto opened = JournalSegment::open_read_only(path(base), base, 1 << 20);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->record_count(), 0u);
  EXPECT_EQ(JournalSegment::open(path(0), 0, 4096).error().kind(), ErrorKind::Io);  // no such file
  write_bytes(path(0), read_bytes(path(base)));
  Bytes zero_base = read_bytes(path(0));
  bytes::put<std::int64_t>(zero_base, 23, 0);
  write_bytes(path(0), zero_base);
  EXPECT_EQ(JournalSegment::open(path(0), 0, 4096).error(), Error::invalid_data("journal base_sequence must be positive"));
}

TEST_F(JournalSegmentTest, ReadOnlySegmentServesWhatItSawAtOpen) {
  JournalSegment writer = create(1, 4096, 1 << 20);
  fill(writer, 3);
  auto reader = JournalSegment::open_read_only(path(), 1, 1 << 20);
  ASSERT_TRUE(reader.has_value());
  // The writer adds to the raw block the reader saw, then seals it and starts another.
  fill(writer, 10);
  fill(writer, 1, 65500);
  EXPECT_EQ(reader->record_count(), 3u);
  expect_readable(*reader, 10, "reader");
  EXPECT_EQ(*reader->read(4), std::nullopt);
  std::vector<std::int64_t> seen;
  ASSERT_TRUE(reader->visit(1, 100, [&](std::int64_t s, std::span<const std::uint8_t>) { seen.push_back(s); })
                  .has_value());
  EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 3}));
}

// A read-only segment on the file of a live writer, as a read-only store holds it, re-reads
// the records of a raw block while the writer seals that block in place: every read returns the
// record's bytes. Incompressible records make the seal rewrite the whole block.
TEST_F(JournalSegmentTest, ReaderBesideALiveWriterReadsOnlyTheRecords) {
  const Bytes first = noise(32000, 1);
  const Bytes second = noise(65536 - 24 - 32000, 2);  // fills the block to its 64 KiB
  std::vector<std::string> wrong;
  for (int round = 0; round < 50 && wrong.empty(); ++round) {
    JournalSegment writer = create(round + 1, 4096, 1 << 22);
    ASSERT_TRUE(writer.append(round + 1, first).has_value());
    ASSERT_TRUE(writer.append(round + 2, second).has_value());
    auto reader = JournalSegment::open_read_only(path(round + 1), round + 1, 1 << 22);
    ASSERT_TRUE(reader.has_value());
    std::atomic<int> reads{0};
    std::atomic<bool> sealed{false};
    std::thread read_loop([&] {
      // Until well after the seal: the reads that overlap it are the ones that matter.
      for (int after = 0; after < 20; after += sealed.load() ? 1 : 0) {
        const std::int64_t seq = round + 1 + reads.fetch_add(1) % 2;
        auto got = reader->read(seq);
        const Bytes& want = seq == round + 1 ? first : second;
        if (!got || !*got || **got != want) {
          wrong.push_back(text::cat("round ", round, " seq ", seq, ": ",
                                    got ? (*got ? "other bytes" : "none") : got.error().display()));
          return;
        }
      }
    });
    while (reads.load() < 2) std::this_thread::yield();
    // Seals the block, then writes over the copy it staged.
    ASSERT_TRUE(writer.append(round + 3, noise(60000, 3)).has_value());
    sealed = true;
    read_loop.join();
  }
  EXPECT_EQ(wrong, std::vector<std::string>{});
}

// What a read-only segment meets at the second step of a seal (the header says sealed, the raw
// records are not overwritten yet), for the test below.
struct SealSteps {
  static inline int barriers = 0;
  static inline std::optional<JournalSegment>* early = nullptr;   // opened with the block raw
  static inline std::optional<JournalSegment>* during = nullptr;  // opened with the seal cut short
  static inline const Bytes* records[2] = {nullptr, nullptr};
  static inline std::vector<std::string> early_reads;

  static void at_barrier(const fs::Path& p) {
    if (++barriers != 2) return;
    auto opened = JournalSegment::open_read_only(p, 1, 1 << 22);
    if (opened) during->emplace(std::move(*opened));
    // Half of the copy over the raw records, as a reader beside the writer may find it.
    Bytes file = read_bytes(p);
    const util::BlockHeader sealed = block_at(file, kHl);
    const std::uint64_t staged = util::staged_copy_at(kHl + 16, sealed);
    std::copy_n(file.begin() + staged, sealed.payload_size / 2, file.begin() + kHl + 16);
    write_bytes(p, file);
    for (std::int64_t s : {1, 2}) {
      auto got = (*early)->read(s);
      early_reads.push_back(!got ? got.error().display() : !*got ? "none" : **got == *records[s - 1] ? "ok" : "other bytes");
    }
  }
};

// The states of a seal a read-only segment can meet, one by one: the header already sealed while
// the copy over the raw records is half done, and an open in the middle of the seal followed by
// the writer finishing it and writing its next block over the staged copy.
TEST_F(JournalSegmentTest, ReadOnlySegmentReadsASealFromTheCopyThatHoldsIt) {
  using Seal = SealSteps;
  const Bytes first = noise(32000, 1);
  const Bytes second = noise(65536 - 24 - 32000, 2);
  JournalSegment writer = create(1, 4096, 1 << 22);
  ASSERT_TRUE(writer.append(1, first).has_value());
  ASSERT_TRUE(writer.append(2, second).has_value());
  std::optional<JournalSegment> early(*JournalSegment::open_read_only(path(), 1, 1 << 22));
  std::optional<JournalSegment> during;
  Seal::early = &early;
  Seal::during = &during;
  Seal::records[0] = &first;
  Seal::records[1] = &second;
  set_journal_barrier_observer(&Seal::at_barrier);
  const auto sealed = writer.append(3, noise(60000, 3));
  set_journal_barrier_observer(nullptr);
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(Seal::early_reads, (std::vector<std::string>{"ok", "ok"}));
  ASSERT_TRUE(during.has_value());
  // The writer's next block takes the place of the staged copy.
  ASSERT_TRUE(writer.append(4, noise(60000, 4)).has_value());
  const Bytes file = read_bytes(path());
  EXPECT_EQ(block_at(file, kHl + 16 + block_at(file, kHl).payload_size).record_count, 1);
  for (std::int64_t s : {1, 2}) {
    auto got = during->read(s);
    ASSERT_TRUE(got.has_value()) << s << ": " << got.error().display();
    EXPECT_EQ(**got, s == 1 ? first : second) << s;
  }
}

TEST_F(JournalSegmentTest, VisitAndReadFindRecordsAcrossBlocks) {
  JournalSegment seg = create(10, 4096, 1 << 22, compress::kDeflate);
  fill(seg, 8000);
  ASSERT_EQ(seg.block_count(), 3u);
  std::vector<std::int64_t> seen;
  ASSERT_TRUE(seg.visit(2005, 6010, [&](std::int64_t s, std::span<const std::uint8_t> d) {
                   EXPECT_EQ(Bytes(d.begin(), d.end()), data_of(s)) << s;
                   seen.push_back(s);
                 })
                  .has_value());
  ASSERT_EQ(seen.size(), 4006u);
  EXPECT_EQ(seen.front(), 2005);
  EXPECT_EQ(seen.back(), 6010);
  // Random reads through the block index, after a reopen too.
  auto reopened = JournalSegment::open(path(10), 10, 1 << 22);
  ASSERT_TRUE(reopened.has_value());
  for (std::int64_t s : {8009, 10, 4321, 17, 8008, 2000}) {
    EXPECT_EQ(**reopened->read(s), data_of(s)) << s;
  }
}

}  // namespace
}  // namespace quelvane
