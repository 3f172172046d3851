// One index segment file: its bytes, sizes, appends and rewrites, searches, last-timestamp
// reads, change reports, and damaged or unusual files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "dirty_queue.h"
#include "header.h"
#include "index/segment.h"
#include "support/file_faults.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "util/time.h"

namespace quelvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::TempDir;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kMaxSize = 16777216;

IndexEntry live(std::int64_t ts) { return {ts, static_cast<std::uint64_t>(ts) * 100, 7}; }

IndexSegment make(const TempDir& dir, std::int64_t start, std::uint64_t initial = 16384,
                  std::uint64_t max = kMaxSize) {
  auto seg = IndexSegment::create(dir.path(), start, initial, max, 3, 1);
  EXPECT_TRUE(seg.has_value()) << seg.error().display();
  return std::move(seg).value();
}

Bytes file_bytes(const fs::Path& p) { return fs::read_file(p).value(); }

void put_file(const fs::Path& p, const Bytes& b) { ASSERT_TRUE(fs::write_file(p, b).has_value()); }

std::string error_of(const Status& s) { return s ? std::string("ok") : s.error().display(); }

// ---------------------------------------------------------------------------------------------

TEST(IndexSegmentFile, NameIsTwentyDigitsWithTheSignFirst) {
  EXPECT_EQ(IndexSegment::file_name(0), "00000000000000000000");
  EXPECT_EQ(IndexSegment::file_name(1000), "00000000000000001000");
  EXPECT_EQ(IndexSegment::file_name(-5), "-0000000000000000005");
  EXPECT_EQ(IndexSegment::file_name(kMax), "09223372036854775807");
  EXPECT_EQ(IndexSegment::file_name(kMin), "-9223372036854775808");
}

TEST(IndexSegmentFile, GoldenHeaderAndEntryBytes) {
  TempDir dir;
  const std::int64_t before = unix_millis_now();
  IndexSegment seg = make(dir, 1000);
  ASSERT_TRUE(seg.append({1005, 0x0102030405060708, 0xA0B0}).has_value());

  const Bytes f = file_bytes(dir / "00000000000000001000");
  ASSERT_EQ(f.size(), 16382u);
  const Bytes prefix{0x51, 0x56, 0x41, 0x4E, 0x01, 0x00, 0x01, 0x29, 0x00};
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 9), prefix);
  EXPECT_EQ(Bytes(f.begin() + 9, f.begin() + 12), (Bytes{0x01, 0x08, 0x00}));
  const std::int64_t created = bytes::load_le<std::int64_t>(f.data() + 12);
  EXPECT_GE(created, before);
  EXPECT_LE(created, unix_millis_now());
  EXPECT_EQ(Bytes(f.begin() + 20, f.begin() + 23), (Bytes{0x02, 0x08, 0x00}));
  EXPECT_EQ(bytes::load_le<std::int64_t>(f.data() + 23), 1000);
  EXPECT_EQ(Bytes(f.begin() + 31, f.begin() + 34), (Bytes{0x03, 0x08, 0x00}));
  EXPECT_EQ(bytes::load_le<std::uint64_t>(f.data() + 34), kMaxSize);
  EXPECT_EQ(Bytes(f.begin() + 42, f.begin() + 50), (Bytes{0x04, 0x01, 0x00, 0x03, 0x05, 0x01, 0x00, 0x01}));
  EXPECT_EQ(bytes::load_le<std::uint16_t>(f.data() + 50), 8);
  EXPECT_EQ(bytes::load_le<std::uint64_t>(f.data() + 52), 142u);
  EXPECT_EQ(Bytes(f.begin() + 60, f.begin() + 128), Bytes(68, 0));
  // delta 5, block position, offset in block; packed, little-endian.
  const Bytes entry{0x05, 0x00, 0x00, 0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xB0, 0xA0};
  EXPECT_EQ(Bytes(f.begin() + 128, f.begin() + 142), entry);
  EXPECT_EQ(Bytes(f.begin() + 142, f.begin() + 156), Bytes(14, 0));
}

TEST(IndexSegmentFile, CreateRoundsDownAndGrowthDoublesTheBytes) {
  TempDir dir;
  IndexSegment seg = make(dir, 0);
  EXPECT_EQ(seg.file_size(), 16382u);
  EXPECT_EQ(seg.capacity(), 1161u);
  struct Step {
    std::uint64_t size, capacity;
  };
  // Doubling never rounds: 32764 bytes hold 2331 entries and 2 unused bytes.
  const std::vector<Step> steps{{32764, 2331},     {65528, 4671},     {131056, 9352},    {262112, 18713},
                                {524224, 37435},   {1048448, 74880},  {2096896, 149769}, {4193792, 299547},
                                {8387584, 599104}, {16775168, 1198217}, {16777216, 1198363}};
  for (const Step& s : steps) {
    ASSERT_TRUE(seg.grow().has_value());
    EXPECT_EQ(seg.file_size(), s.size);
    EXPECT_EQ(seg.capacity(), s.capacity);
    EXPECT_EQ(fs::read_file(seg.path()).value().size(), s.size);
  }
  EXPECT_EQ(error_of(seg.grow()), "invalid data: index segment already at max_file_size (16777216)");
  EXPECT_EQ(seg.file_size(), kMaxSize);

  // 128 to 141 bytes: a bare header without a slot; the first growth gives 9.
  for (std::uint64_t initial : {128u, 141u}) {
    TempDir d;
    IndexSegment tiny = make(d, 0, initial, 1024);
    EXPECT_EQ(tiny.file_size(), 128u);
    EXPECT_EQ(tiny.capacity(), 0u);
    EXPECT_EQ(tiny.append(live(0)).error().kind(), ErrorKind::SegmentFull);
    ASSERT_TRUE(tiny.grow().has_value());
    EXPECT_EQ(tiny.file_size(), 256u);
    EXPECT_EQ(tiny.capacity(), 9u);
    EXPECT_TRUE(tiny.append(live(0)).has_value());
  }
}

TEST(IndexSegmentFile, CreateRefusesBadArgumentsAndLeavesNothing) {
  TempDir dir;
  auto bad_type = IndexSegment::create(dir.path(), 7, 16384, kMaxSize, 0, 2);
  EXPECT_EQ(bad_type.error().display(), "invalid data: unknown compress_type 2");
  auto small = IndexSegment::create(dir.path(), 7, 127, kMaxSize, 0, 0);
  EXPECT_EQ(small.error().display(), "invalid data: initial index segment size 127 is smaller than header 128");
  EXPECT_FALSE(fs::path_exists(dir / IndexSegment::file_name(7)));

  // A create that fails part-way (here: the file cannot get its length) removes its file.
  testing::FileSizeLimit limit(4096);
  auto failed = IndexSegment::create(dir.path(), 8, 16384, kMaxSize, 0, 0);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
  EXPECT_FALSE(fs::path_exists(dir / IndexSegment::file_name(8)));
}

TEST(IndexSegmentFile, AppendChecksFullnessFirstThenTheDeltaRange) {
  TempDir dir;
  IndexSegment seg = make(dir, 1000, 156);  // two slots
  struct Case {
    std::int64_t ts;
    std::string result;
  };
  const std::vector<Case> cases{
      {999, "invalid data: index timestamp 999 is outside u32 delta range for segment 1000"},
      {1000 + (std::int64_t{1} << 32), "invalid data: index timestamp 4294968296 is outside u32 delta range for segment 1000"},
      {1000, "ok"},
      {1000 + 4294967295, "ok"},
      // Full: reported before anything else is looked at.
      {5, "segment full (expansion needed)"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(seg.append(live(c.ts))), c.result) << c.ts;
  EXPECT_EQ(seg.count(), 2u);
  EXPECT_EQ(seg.entry_at(1).value().timestamp, 4294968295);

  TempDir low;
  IndexSegment negative = make(low, -5);
  EXPECT_EQ(error_of(negative.append(live(kMax))), "invalid data: index timestamp delta overflow");
  TempDir high;
  IndexSegment top = make(high, kMax - 1);
  EXPECT_EQ(error_of(top.append(live(kMin))), "invalid data: index timestamp delta overflow");
  EXPECT_TRUE(top.append(live(kMax)).has_value());
  EXPECT_EQ(top.entry_at(0).value().timestamp, kMax);
}

TEST(IndexSegmentFile, OverwriteRewritesOnlyExistingSlots) {
  TempDir dir;
  IndexSegment seg = make(dir, 10);
  ASSERT_TRUE(seg.append(live(10)).has_value());
  ASSERT_TRUE(seg.append(live(12)).has_value());
  EXPECT_EQ(error_of(seg.overwrite(2, live(14))), "invalid data: entry index 2 out of range [0, 2)");
  EXPECT_EQ(error_of(seg.overwrite(1, live(9))),
            "invalid data: index timestamp 9 is outside u32 delta range for segment 10");
  ASSERT_TRUE(seg.overwrite(1, IndexEntry::sentinel(12)).has_value());
  EXPECT_EQ(seg.count(), 2u);
  EXPECT_EQ(seg.entry_at(1).value(), IndexEntry::sentinel(12));
  EXPECT_EQ(seg.entry_at(2).error().display(), "invalid data: entry index 2 out of range [0, 2)");
  EXPECT_EQ(bytes::load_le<std::uint64_t>(file_bytes(seg.path()).data() + 52), 128u + 28u);
}

TEST(IndexSegmentFile, SparseSearches) {
  TempDir dir;
  IndexSegment seg = make(dir, 10);
  for (std::int64_t ts : {10, 20, 30}) ASSERT_TRUE(seg.append(live(ts)).has_value());
  ASSERT_TRUE(seg.overwrite(1, IndexEntry::sentinel(20)).has_value());

  struct Case {
    std::int64_t t;
    std::optional<std::int64_t> exact;
    std::uint64_t lower, upper;
  };
  const std::vector<Case> cases{{kMin, {}, 0, 0}, {5, {}, 0, 0},   {10, 10, 0, 1},   {15, {}, 1, 1},
                                {20, 20, 1, 2},   {30, 30, 2, 3}, {31, {}, 3, 3}, {kMax, {}, 3, 3}};
  for (const Case& c : cases) {
    auto e = seg.find_exact(c.t);
    EXPECT_EQ(e.has_value(), c.exact.has_value()) << c.t;
    if (e) {
      EXPECT_EQ(e->timestamp, *c.exact);
    }
    EXPECT_EQ(seg.lower_bound(c.t, false), c.lower) << c.t;
    EXPECT_EQ(seg.upper_bound(c.t, false), c.upper) << c.t;
  }
  EXPECT_EQ(seg.find(20, false).value().first, 1u);
  EXPECT_EQ(seg.find_exact(20).value(), IndexEntry::sentinel(20)) << "sentinels are found like any entry";
  const auto range = seg.collect_range(11, 30, false);
  ASSERT_EQ(range.size(), 2u);
  EXPECT_EQ(range[0], IndexEntry::sentinel(20));
  EXPECT_EQ(range[1].timestamp, 30);
  EXPECT_TRUE(seg.collect_range(31, kMax, false).empty());
  EXPECT_TRUE(seg.collect_range(30, 10, false).empty());
}

// The sparse searches start from an estimate; whatever the spacing, they must land on the
// first slot not below (above) t, as a plain binary search does.
TEST(IndexSegmentFile, SparseSearchesAgreeWithABinarySearchWhateverTheSpacing) {
  struct Layout {
    const char* name;
    std::int64_t (*ts)(std::int64_t i);
  };
  const std::vector<Layout> layouts{
      {"steady", +[](std::int64_t i) -> std::int64_t { return 1000 + i; }},
      {"steady with gaps", +[](std::int64_t i) -> std::int64_t { return 1000 + 7 * i + (i % 3); }},
      {"one burst then sparse", +[](std::int64_t i) -> std::int64_t { return i < 900 ? 1000 + i : 1000 + 900 + (i - 900) * 100000; }},
      {"sparse then one burst", +[](std::int64_t i) -> std::int64_t { return i < 100 ? 1000 + i * 1000000 : 1000 + 100000000 + i; }},
      {"quadratic", +[](std::int64_t i) -> std::int64_t { return 1000 + i * i; }},
      {"near the delta limit", +[](std::int64_t i) -> std::int64_t { return i == 999 ? 1000 + 0xFFFFFFFFll : 1000 + i; }},
  };
  for (const Layout& layout : layouts) {
    TempDir dir;
    IndexSegment seg = make(dir, 1000, 128 + 14 * 1000);
    std::vector<std::int64_t> stamps;
    for (std::int64_t i = 0; i < 1000; ++i) {
      stamps.push_back(layout.ts(i));
      ASSERT_TRUE(seg.append(live(stamps.back())).has_value());
    }
    std::vector<std::int64_t> probes{kMin, 0, 999, kMax};
    for (std::int64_t ts : stamps) probes.insert(probes.end(), {ts - 1, ts, ts + 1});
    for (std::int64_t t : probes) {
      const auto want = static_cast<std::uint64_t>(std::lower_bound(stamps.begin(), stamps.end(), t) - stamps.begin());
      ASSERT_EQ(seg.lower_bound(t, false), want) << layout.name << " at " << t;
      const auto above = static_cast<std::uint64_t>(std::upper_bound(stamps.begin(), stamps.end(), t) - stamps.begin());
      ASSERT_EQ(seg.upper_bound(t, false), above) << layout.name << " at " << t;
      const auto exact = seg.find_exact(t);
      ASSERT_EQ(exact.has_value(), want < stamps.size() && stamps[want] == t) << layout.name << " at " << t;
    }
  }
}

TEST(IndexSegmentFile, ContinuousSearchesUseTheSlotArithmetic) {
  TempDir dir;
  IndexSegment seg = make(dir, 100);
  for (std::int64_t ts = 100; ts < 105; ++ts) ASSERT_TRUE(seg.append(live(ts)).has_value());
  ASSERT_TRUE(seg.overwrite(2, IndexEntry::sentinel(102)).has_value());

  struct Case {
    std::int64_t t;
    bool found;
    std::uint64_t lower, upper;
  };
  const std::vector<Case> cases{{kMin, false, 0, 0}, {99, false, 0, 0},  {100, true, 0, 1},
                                {102, true, 2, 3},   {104, true, 4, 5},  {105, false, 5, 5},
                                {kMax, false, 5, 5}};
  for (const Case& c : cases) {
    EXPECT_EQ(seg.slot_entry(c.t).has_value(), c.found) << c.t;
    EXPECT_EQ(seg.lower_bound(c.t, true), c.lower) << c.t;
    EXPECT_EQ(seg.upper_bound(c.t, true), c.upper) << c.t;
  }
  EXPECT_EQ(seg.slot_entry(102).value(), IndexEntry::sentinel(102));
  EXPECT_EQ(seg.find(104, true).value().first, 4u);
  const auto range = seg.collect_range(101, 103, true);
  ASSERT_EQ(range.size(), 3u);
  EXPECT_EQ(range[1], IndexEntry::sentinel(102));

  // A slot whose stored delta does not match its position holds no entry for that timestamp.
  Bytes f = file_bytes(seg.path());
  bytes::store_le<std::uint32_t>(f.data() + 128 + 14 * 3, 9);
  put_file(seg.path(), f);
  EXPECT_FALSE(seg.slot_entry(103).has_value());
}

TEST(IndexSegmentFile, BulkSentinelsStopAtCapacityAndAtTheDeltaLimit) {
  TempDir dir;
  IndexSegment seg = make(dir, 0, 156 + 14 * 3);  // five slots
  ASSERT_TRUE(seg.append(live(0)).has_value());
  EXPECT_EQ(seg.append_sentinels(1, 10).value(), 4u);
  EXPECT_EQ(seg.count(), 5u);
  EXPECT_EQ(seg.entry_at(4).value(), IndexEntry::sentinel(4));
  EXPECT_EQ(seg.append_sentinels(5, 1).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(bytes::load_le<std::uint64_t>(file_bytes(seg.path()).data() + 52), 128u + 14 * 5);

  TempDir edge;
  IndexSegment near = make(edge, 0);
  ASSERT_TRUE(near.append(live(4294967293)).has_value());
  auto run = near.append_sentinels(4294967294, 3);
  EXPECT_EQ(run.error().display(),
            "invalid data: index timestamp 4294967296 is outside u32 delta range for segment 0");
  EXPECT_EQ(near.count(), 3u) << "the placeholders that fit stay, as single appends would leave them";
}

TEST(IndexSegmentFile, ReopenKeepsEntriesAndChecksTheHeader) {
  TempDir dir;
  fs::Path path;
  {
    IndexSegment seg = make(dir, 1000);
    path = seg.path();
    for (std::int64_t ts : {1000, 1001, 1003}) ASSERT_TRUE(seg.append(live(ts)).has_value());
  }
  auto seg = IndexSegment::open(path, 1000, kMaxSize);
  ASSERT_TRUE(seg.has_value()) << seg.error().display();
  EXPECT_EQ(seg->count(), 3u);
  EXPECT_EQ(seg->capacity(), 1161u);
  EXPECT_TRUE(seg->clean());
  EXPECT_EQ(seg->find_exact(1003).value(), live(1003));
  EXPECT_EQ(IndexSegment::open(path, 999, kMaxSize).error().display(),
            "invalid data: index segment header start 1000 does not match file name start 999");

  const Bytes good = file_bytes(path);
  Bytes magic = good;
  magic[0] = 'X';
  put_file(dir / "bad_magic", magic);
  EXPECT_EQ(IndexSegment::open(dir / "bad_magic", 1000, kMaxSize).error().kind(), ErrorKind::InvalidMagic);
  Bytes v2 = good;
  v2[4] = 2;
  put_file(dir / "v2", v2);
  EXPECT_EQ(IndexSegment::open(dir / "v2", 1000, kMaxSize).error().display(),
            "invalid data: unsupported index file version 2, expected 1");
  Bytes typed = good;
  typed[6] = 2;  // the type byte is not examined
  put_file(dir / "typed", typed);
  EXPECT_TRUE(IndexSegment::open(dir / "typed", 1000, kMaxSize).has_value());
  EXPECT_EQ(IndexSegment::open(dir / "missing", 1000, kMaxSize).error().kind(), ErrorKind::Io);
}

TEST(IndexSegmentFile, ReadLastTimestampOfFiles) {
  TempDir dir;
  fs::Path path;
  {
    IndexSegment seg = make(dir, 1000);
    path = seg.path();
    for (std::int64_t ts : {1000, 1004, 1009}) ASSERT_TRUE(seg.append(live(ts)).has_value());
    // A deleted record's entry still names its timestamp.
    ASSERT_TRUE(seg.overwrite(2, IndexEntry::sentinel(1009)).has_value());
  }
  const Bytes good = file_bytes(path);
  auto entries_end = [&](std::uint64_t v) {
    Bytes f = good;
    bytes::store_le<std::uint64_t>(f.data() + 52, v);
    return f;
  };
  struct Case {
    std::string name;
    Bytes file;
    std::string result;  // the timestamp, "none" or the error
  };
  const std::vector<Case> cases{
      {"written", good, "1009"},
      {"empty segment", entries_end(128), "none"},
      {"below the header", entries_end(0), "none"},
      {"one whole entry and a partial one", entries_end(128 + 20), "1000"},
      {"no bytes", {}, "none"},
      {"eight bytes", Bytes(good.begin(), good.begin() + 8), "none"},
      {"header cut short", Bytes(good.begin(), good.begin() + 100),
       "invalid data: truncated index header reserved area: need 128 bytes, got 100"},
      {"entries beyond the file", Bytes(good.begin(), good.begin() + 128 + 14 * 2), "invalid data: truncated last index entry"},
  };
  for (const Case& c : cases) {
    const fs::Path p = dir / "case";
    put_file(p, c.file);
    auto r = IndexSegment::read_last_timestamp(p);
    const std::string got = !r ? r.error().display() : (*r ? std::to_string(**r) : "none");
    EXPECT_EQ(got, c.result) << c.name;
  }
  EXPECT_EQ(IndexSegment::read_last_timestamp(dir / "missing").error().kind(), ErrorKind::Io);
}

// A header laid out differently from ours (a longer meta area) keeps entries_end where its own
// lengths place it; writing it at the usual offset would corrupt the meta area and lose the
// entries at the next open.
TEST(IndexSegmentFile, EntriesEndIsWrittenWhereTheHeaderPlacesIt) {
  TempDir dir;
  Bytes f(128 + 14 * 4, 0);
  header::MetaValues meta{1, 500, kMaxSize, 0, 0};
  const std::uint64_t at = header::write_file_header(f, header::kIndexFileType, meta, 8);
  ASSERT_EQ(at, 52u);
  // Insert an unknown 3-byte meta entry (tag 9, length 0) before the state: meta_length 44.
  Bytes g(f.begin(), f.begin() + 50);
  g.insert(g.end(), {0x09, 0x00, 0x00});
  g.insert(g.end(), {0x08, 0x00});  // state_length 8
  Bytes word(8);
  bytes::store_le<std::uint64_t>(word.data(), 128);
  g.insert(g.end(), word.begin(), word.end());
  g.resize(f.size(), 0);
  bytes::store_le<std::uint16_t>(g.data() + 7, 44);
  const fs::Path path = dir / IndexSegment::file_name(500);
  put_file(path, g);

  {
    auto seg = IndexSegment::open(path, 500, kMaxSize);
    ASSERT_TRUE(seg.has_value()) << seg.error().display();
    ASSERT_TRUE(seg->append(live(501)).has_value());
    ASSERT_TRUE(seg->append(live(502)).has_value());
  }
  const Bytes after = file_bytes(path);
  EXPECT_EQ(bytes::load_le<std::uint64_t>(after.data() + 55), 128u + 28u);
  EXPECT_EQ(Bytes(after.begin(), after.begin() + 55), Bytes(g.begin(), g.begin() + 55)) << "meta area untouched";
  auto reopened = IndexSegment::open(path, 500, kMaxSize);
  ASSERT_TRUE(reopened.has_value());
  EXPECT_EQ(reopened->count(), 2u);
  EXPECT_EQ(IndexSegment::read_last_timestamp(path).value(), 502);
}

// entries_end is a header word: entries it claims beyond the end of the file are not there.
TEST(IndexSegmentFile, ACountBeyondTheFileIsHeldToTheMapping) {
  TempDir dir;
  fs::Path path;
  {
    IndexSegment seg = make(dir, 0, 128 + 14 * 3);
    path = seg.path();
    for (std::int64_t ts : {0, 1, 2}) ASSERT_TRUE(seg.append(live(ts)).has_value());
  }
  Bytes f = file_bytes(path);
  bytes::store_le<std::uint64_t>(f.data() + 52, 128 + 14 * 1000);
  f.resize(128 + 14 * 2 + 5);  // two whole slots and part of the third
  put_file(path, f);

  auto seg = IndexSegment::open(path, 0, 1024);
  ASSERT_TRUE(seg.has_value());
  EXPECT_EQ(seg->count(), 2u);
  EXPECT_EQ(seg->capacity(), 2u);
  EXPECT_TRUE(seg->find_exact(1).has_value());
  EXPECT_FALSE(seg->find_exact(2).has_value());
  EXPECT_EQ(seg->collect_range(0, kMax, false).size(), 2u);
  EXPECT_EQ(seg->append(live(3)).error().kind(), ErrorKind::SegmentFull);
  ASSERT_TRUE(seg->grow().has_value());
  ASSERT_TRUE(seg->append(live(3)).has_value());
  EXPECT_EQ(seg->entry_at(2).value().timestamp, 3);
}

TEST(IndexSegmentFile, FailedGrowthKeepsTheMappingAndItsEntries) {
  TempDir dir;
  IndexSegment seg = make(dir, 0, 16384);
  for (std::int64_t ts = 0; ts < 1161; ++ts) ASSERT_TRUE(seg.append(live(ts)).has_value());
  {
    testing::FileSizeLimit limit(20000);
    auto grown = seg.grow();
    ASSERT_FALSE(grown.has_value());
    EXPECT_EQ(grown.error().kind(), ErrorKind::Io);
  }
  EXPECT_TRUE(seg.mapped());
  EXPECT_EQ(seg.file_size(), 16382u);
  EXPECT_EQ(seg.capacity(), 1161u);
  EXPECT_EQ(seg.find_exact(700).value(), live(700));
  EXPECT_EQ(seg.append(live(1161)).error().kind(), ErrorKind::SegmentFull);
  ASSERT_TRUE(seg.grow().has_value());
  ASSERT_TRUE(seg.append(live(1161)).has_value());
  EXPECT_EQ(seg.find_exact(1161).value(), live(1161));
}

TEST(IndexSegmentFile, ReportsItselfDirtyOncePerSync) {
  TempDir dir;
  auto queue = std::make_shared<DirtyQueue>();
  const FlushNotifier notifier{DataSetKey{"a", "b"}, queue};
  IndexSegment seg = make(dir, 42);

  // A change made before the notifier arrived is reported when it is installed.
  ASSERT_TRUE(seg.append(live(42)).has_value());
  EXPECT_EQ(queue->size(), 0u);
  seg.set_notifier(notifier);
  ASSERT_TRUE(seg.append(live(43)).has_value());
  ASSERT_TRUE(seg.overwrite(0, IndexEntry::sentinel(42)).has_value());
  ASSERT_TRUE(seg.grow().has_value());
  auto items = queue->take_all();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].target, FlushTarget::index_segment(42));
  EXPECT_TRUE(seg.notified());
  EXPECT_FALSE(seg.clean());

  ASSERT_TRUE(seg.sync().has_value());
  EXPECT_TRUE(seg.clean());
  EXPECT_FALSE(seg.notified());
  ASSERT_TRUE(seg.append(live(44)).has_value());
  EXPECT_EQ(queue->take_all().size(), 1u);

  // A clean segment that receives a notifier has nothing to report.
  IndexSegment other = make(dir, 50);
  other.set_notifier(notifier);
  EXPECT_EQ(queue->size(), 0u);
}

}  // namespace
}  // namespace quelvane
