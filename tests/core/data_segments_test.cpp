// The data segment set: global positions, growth and roll-over with the fold into the state
// hook, routing of appends and corrections, lazy opening and closing, retention, the directory
// scan, and recovery from files a crash left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "compress.h"
#include "dirty_queue.h"
#include "header.h"
#include "segment/data.h"
#include "segment/mod.h"
#include "support/interrupted_write.h"
#include "support/file_faults.h"
#include "support/payloads.h"
#include "support/temp_dir.h"
#include "util/block_header.h"
#include "util/bytes.h"

namespace quelvane {
namespace {

using testing::Bytes;
using testing::FileSizeLimit;
using testing::noise;
using testing::pattern;
using testing::read_bytes;
using testing::write_bytes;

constexpr std::uint64_t kDss = 1024;

std::string error_text(const Status& s) { return s ? std::string("success") : s.error().display(); }
template <class T>
std::string error_text(const Result<T>& r) {
  return r ? std::string("success") : r.error().display();
}

// Records every fold and moves the watermark as the state file does.
class RecordingHook final : public SegmentStatsHook {
 public:
  std::uint64_t mark = 0;
  bool refuse = false;
  std::vector<std::pair<std::uint64_t, std::vector<SegmentStats>>> calls;

  std::uint64_t watermark() const override { return mark; }
  Status on_append(std::uint64_t new_file_offset, std::span<const SegmentStats> segments) override {
    calls.emplace_back(new_file_offset, std::vector<SegmentStats>(segments.begin(), segments.end()));
    if (refuse) return fail(Error::invalid_data("hook refused"));
    mark = new_file_offset;
    return {};
  }
};

std::vector<std::string> file_names(const fs::Path& dir) {
  auto names = fs::list_dir(dir);
  EXPECT_TRUE(names);
  std::vector<std::string> sorted = names ? *names : std::vector<std::string>{};
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

class DataSegmentsTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  fs::Path data = dir / "data";
  RecordingHook hook;

  DataSegments make(std::uint64_t dss = kDss, std::uint64_t initial = 256) {
    auto set = DataSegments::create(dir.path(), dss, initial, 3, compress::kZstd);
    if (!set) ADD_FAILURE() << set.error().display();
    return std::move(*set);
  }
  DataSegments reopen(std::uint64_t dss = kDss, std::uint64_t initial = 256) {
    auto set = DataSegments::open(dir.path(), dss, initial, 3, compress::kZstd);
    if (!set) ADD_FAILURE() << set.error().display();
    return std::move(*set);
  }

  WritePlace put(DataSegments& set, std::int64_t ts, const Bytes& bytes) {
    auto placed = set.write(ts, bytes, &hook);
    if (!placed) ADD_FAILURE() << "write at " << ts << ": " << placed.error().display();
    return placed ? *placed : WritePlace{};
  }

  // Writes records of 150 bytes of noise from timestamp 0 on until the set's segments reach end.
  std::vector<std::pair<WritePlace, Bytes>> fill_segments(DataSegments& set, std::uint64_t end) {
    std::vector<std::pair<WritePlace, Bytes>> written;
    for (std::int64_t ts = 0; set.next_file_offset() < end; ++ts) {
      const Bytes bytes = noise(150, static_cast<std::uint32_t>(ts));
      written.emplace_back(put(set, ts, bytes), bytes);
    }
    return written;
  }

  static Result<RecordData> read(DataSegments& set, std::uint64_t position, std::uint16_t in_block) {
    DataSegment* segment = QV_TRY(set.locate(position));
    return segment->read_record(0, IndexEntry{0, position - segment->file_offset(), in_block}, nullptr);
  }
  static Bytes read_ok(DataSegments& set, const WritePlace& p) {
    auto r = read(set, p.position(), p.in_block);
    if (!r) ADD_FAILURE() << r.error().display();
    return r ? r->second : Bytes{};
  }
};

// ---- positions, growth, roll-over -------------------------------------------------------------

TEST_F(DataSegmentsTest, PositionsFollowTheSegmentGrid) {
  DataSegments set = make();
  EXPECT_TRUE(file_names(data).empty());
  const std::vector<std::pair<WritePlace, Bytes>> written = fill_segments(set, 3 * kDss);
  EXPECT_EQ(file_names(data), (std::vector<std::string>{"00000000000000000000", "00000000000000001024",
                                                         "00000000000000002048"}));
  for (const auto& [place, bytes] : written) {
    EXPECT_EQ(place.file_offset % kDss, 0u);
    EXPECT_LT(place.block_offset, kDss);
    EXPECT_EQ(read_ok(set, place), bytes);
  }
  // Any block offset below data_segment_size leads back to its segment.
  for (std::uint64_t b : {std::uint64_t{0}, std::uint64_t{1}, kDss - 1}) EXPECT_EQ((*set.locate(2 * kDss + b))->file_offset(), 2 * kDss);
  EXPECT_EQ(error_text(set.locate(3 * kDss + 5)), "not found: no segment contains offset 3077");
  EXPECT_EQ(error_text(set.get_or_reopen(3 * kDss)), "not found: no segment at offset 3072");
  auto len = set.entry_record_len(IndexEntry{0, written[1].first.position(), written[1].first.in_block}, nullptr);
  EXPECT_EQ(*len, 150u);
}

TEST_F(DataSegmentsTest, RollOverSyncsAndRetiresTheSegmentLeftBehindAndFoldsItsTotals) {
  DataSegments set = make();
  const WritePlace first = put(set, 1, pattern(100, 1));
  EXPECT_EQ(first.file_offset, 0u);
  EXPECT_EQ(set.next_file_offset(), kDss);
  EXPECT_TRUE(hook.calls.empty());  // a watermark of 0 is not below the new offset 0
  EXPECT_EQ((*set.get_or_reopen(0))->file_size(), 256u);

  std::vector<WritePlace> in_first;
  std::int64_t ts = 2;
  WritePlace place;
  do {
    place = put(set, ts, noise(200, static_cast<std::uint32_t>(ts)));
    if (place.file_offset == 0) in_first.push_back(place);
    ++ts;
  } while (place.file_offset == 0);
  EXPECT_EQ(place.file_offset, kDss);

  DataSegment* old = *set.get_or_reopen(0);
  EXPECT_FALSE(old->active());
  EXPECT_TRUE(old->clean());
  EXPECT_EQ(old->file_size(), kDss);
  EXPECT_TRUE(old->has_pending());  // left raw, never sealed at roll-over
  ASSERT_EQ(hook.calls.size(), 1u);
  EXPECT_EQ(hook.calls[0].first, kDss);
  ASSERT_EQ(hook.calls[0].second.size(), 1u);
  EXPECT_EQ(hook.calls[0].second[0], old->stats());
  EXPECT_EQ(hook.calls[0].second[0].record_count, in_first.size() + 1);

  EXPECT_EQ(read_ok(set, first), pattern(100, 1));
  const WritePlace& last_old = in_first.back();
  EXPECT_EQ(error_text(set.append_to_record(last_old.position(), last_old.in_block, pattern(1, 1))),
            "invalid data: append: target block is not in the latest segment");
  EXPECT_EQ(error_text(set.correction_write(last_old.position(), last_old.in_block, pattern(1, 1))),
            "invalid data: correction write: block_offset " + std::to_string(last_old.position()) +
                " is not in the latest segment 1024");

  // The latest record of the latest segment is extended and corrected in place.
  EXPECT_EQ(*set.append_to_record(place.position(), place.in_block, pattern(3, 9)), 200u);
  ASSERT_TRUE(set.correction_write(place.position(), place.in_block, pattern(5, 8)));
  EXPECT_EQ(read_ok(set, place), pattern(5, 8));
  const std::uint64_t used = (*set.get_or_reopen(kDss))->used();
  EXPECT_EQ(error_text(set.append_to_record(kDss + used, 0, pattern(1, 1))),
            "invalid data: append: block_offset is outside latest segment data");
  EXPECT_EQ(error_text(set.correction_write(kDss + used, 0, pattern(1, 1))),
            "invalid data: correction write: block_offset " + std::to_string(kDss + used) +
                " is not in the latest segment [1024, " + std::to_string(kDss + used) + ")");
}

TEST_F(DataSegmentsTest, FoldHandsOverEverySegmentAboveTheWatermark) {
  DataSegments set = make();
  for (std::int64_t ts = 0; set.next_file_offset() < 3 * kDss; ++ts) {
    hook.mark = 0;  // as if the state file never took a fold
    put(set, ts, noise(300, static_cast<std::uint32_t>(ts)));
  }
  ASSERT_EQ(hook.calls.back().first, 2 * kDss);
  const auto& folded = hook.calls.back().second;
  ASSERT_EQ(folded.size(), 2u);
  EXPECT_EQ(folded[0].file_offset, 0u);
  EXPECT_EQ(folded[1].file_offset, kDss);

  // A hook that refuses the fold fails the write before the new file exists.
  hook.mark = 2 * kDss;
  hook.refuse = true;
  Result<WritePlace> written = WritePlace{};
  for (std::int64_t ts = 100; written && ts < 200; ++ts)
    written = set.write(ts, noise(300, static_cast<std::uint32_t>(ts)), &hook);
  EXPECT_EQ(error_text(written), "invalid data: hook refused");
  EXPECT_EQ(file_names(data).size(), 3u);
}

TEST_F(DataSegmentsTest, CorrectionOnAnEmptySetHasNoSegment) {
  DataSegments set = make();
  EXPECT_EQ(error_text(set.correction_write(0, 0, pattern(1, 1))),
            "invalid data: no segment available for correction write");
  EXPECT_EQ(error_text(set.invalidate(0)), "not found: no segment contains offset 0");
}

TEST_F(DataSegmentsTest, RecordsThatFitNoSegmentAreRefusedWithoutLeavingAFile) {
  DataSegments set = make();
  // 124 + 28 + 873 = 1025: one byte more than a segment holds.
  EXPECT_EQ(set.write(1, pattern(873, 1), &hook).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(set.write(1, noise(70000, 1), &hook).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(error_text(set.write(1, pattern((4u << 20) + 1, 1), &hook)),
            "invalid data: record data_len exceeds 4MiB limit");
  EXPECT_TRUE(file_names(data).empty());
  EXPECT_TRUE(set.slots().empty());
  EXPECT_TRUE(hook.calls.empty());

  // The largest record that fits; a large one that compresses into a block of its own.
  const WritePlace exact = put(set, 1, pattern(872, 2));
  const WritePlace big = put(set, 2, pattern(70000, 3));
  EXPECT_EQ(read_ok(set, exact), pattern(872, 2));
  EXPECT_EQ(read_ok(set, big), pattern(70000, 3));
  const std::size_t files = file_names(data).size();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(set.write(3, pattern(900, 1), &hook).error().kind(), ErrorKind::SegmentFull);
  EXPECT_EQ(file_names(data).size(), files);
}

TEST_F(DataSegmentsTest, AMebibyteRecordAtDefaultSizesGrowsTheFirstSegmentToTwoMebibytes) {
  DataSegments set = make(64ull << 20, 256ull << 10);
  const Bytes bytes = noise(1 << 20, 5);
  const WritePlace p = put(set, 1, bytes);
  EXPECT_EQ(p.file_offset, 0u);
  EXPECT_EQ((*set.get_or_reopen(0))->file_size(), 2ull << 20);
  EXPECT_EQ(read_ok(set, p), bytes);
}

// Below the header size no segment can be created: a record that fits no segment is refused
// with the creation's own error, as the first write of any record is.
TEST_F(DataSegmentsTest, SegmentsSmallerThanTheirHeaderRefuseEveryRecordAsTheirCreateDoes) {
  struct Case {
    std::uint64_t dss, initial;
    std::size_t len;
    const char* error;
  };
  const Case cases[] = {
      {100, 100, 10, "invalid data: initial data segment size 100 is smaller than header 124"},
      {100, 100, 70000, "invalid data: initial data segment size 100 is smaller than header 124"},
      {kDss, 100, 900, "invalid data: initial data segment size 100 is smaller than header 124"},
      {kDss, 100, 10, "invalid data: initial data segment size 100 is smaller than header 124"},
      {kDss, 123, 873, "invalid data: initial data segment size 123 is smaller than header 124"},
      {kDss, 124, 873, "segment full (expansion needed)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.dss) + "/" + std::to_string(c.initial) + "/" + std::to_string(c.len));
    testing::TempDir d;
    auto set = DataSegments::create(d.path(), c.dss, c.initial, 3, compress::kZstd);
    ASSERT_TRUE(set);
    EXPECT_EQ(error_text(set->write(1, pattern(c.len, 1), &hook)), c.error);
    EXPECT_TRUE(file_names(d / "data").empty());
  }
}

// A pending block that cannot be sealed with a staged copy at the maximum size stays raw in the
// segment left behind; its records read back from there, open, closed and after a new scan.
TEST_F(DataSegmentsTest, BlockLeftRawWithoutRoomToSealIsReadFromTheSegmentLeftBehind) {
  // The first record's block ends 8 bytes before the end of the file: its sealed form would fit
  // in place, but no copy of it (a zstd frame takes 13 bytes at least) fits past it.
  constexpr std::uint64_t kSize = 124 + 28 + 65510 + 8;
  std::vector<std::pair<WritePlace, Bytes>> written;
  {
    DataSegments set = make(kSize, kSize);
    for (std::int64_t ts = 0; set.next_file_offset() < 2 * kSize; ++ts) {
      const Bytes bytes = pattern(ts == 0 ? 65510 : 10, static_cast<std::uint8_t>(ts));
      written.emplace_back(put(set, ts, bytes), bytes);
    }
    ASSERT_EQ(written.back().first.file_offset, kSize);
    DataSegment* left = *set.get_or_reopen(0);
    EXPECT_FALSE(left->active());
    EXPECT_TRUE(left->has_pending());
    EXPECT_EQ(util::read_block_header(read_bytes(data / DataSegments::file_name(0)), 124).flags, 0);
    for (const auto& [place, bytes] : written) EXPECT_EQ(read_ok(set, place), bytes);
    ASSERT_TRUE(set.close_all());
    for (const auto& [place, bytes] : written) EXPECT_EQ(read_ok(set, place), bytes);
  }
  DataSegments set = reopen(kSize, kSize);
  for (const auto& [place, bytes] : written) EXPECT_EQ(read_ok(set, place), bytes);
  EXPECT_EQ(put(set, 100, pattern(10, 9)).file_offset, kSize);
}

// ---- lazy opening, closing, reopening ----------------------------------------------------------

TEST_F(DataSegmentsTest, ClosedSegmentsReopenOnUse) {
  std::vector<std::pair<WritePlace, Bytes>> written;
  {
    DataSegments set = make();
    written = fill_segments(set, 2 * kDss);
    ASSERT_TRUE(set.close_all());
    EXPECT_EQ(set.open_count(), 0u);
    EXPECT_EQ(read_ok(set, written[0].first), written[0].second);
    EXPECT_EQ(set.open_count(), 1u);

    // Invalidating a record of a closed segment writes its file and keeps it closed.
    ASSERT_TRUE(set.close_all());
    ASSERT_TRUE(set.invalidate(written[0].first.position()));
    EXPECT_EQ(set.open_count(), 0u);
    EXPECT_EQ(set.slots().at(0).summary()->invalid_record_count, 1u);
  }
  DataSegments set = reopen();
  EXPECT_EQ(set.open_count(), 0u);
  EXPECT_EQ(set.slots().size(), 2u);
  EXPECT_EQ(set.next_file_offset(), 2 * kDss);
  EXPECT_EQ(set.slots().at(0).summary()->invalid_record_count, 1u);
  const std::uint64_t summarised = set.slots().at(kDss).summary()->data_size;
  EXPECT_EQ((*set.get_or_reopen(kDss))->used(), summarised);
  for (const auto& [place, bytes] : written) EXPECT_EQ(read_ok(set, place), bytes);
  // The writer carries on inside the latest segment's pending block.
  const WritePlace& last = written.back().first;
  const WritePlace next = put(set, 1000, pattern(10, 1));
  EXPECT_EQ(next.position(), last.position());
  EXPECT_GT(next.in_block, last.in_block);
}

// A position past the last segment file sends a read to look for segments a writer made since;
// where that file is gone instead, the look finds nothing, and it is not made again until the
// directory changes.
TEST_F(DataSegmentsTest, ALookForNewSegmentsThatFoundNothingWaitsForTheDirectoryToChange) {
  std::vector<std::pair<WritePlace, Bytes>> written;
  {
    DataSegments set = make();
    written = fill_segments(set, 3 * kDss);
    ASSERT_TRUE(set.close_all());
  }
  const auto& [last, last_bytes] = written.back();
  ASSERT_EQ(last.file_offset, 2 * kDss);
  const fs::Path last_file = data / DataSegments::file_name(last.file_offset);
  const Bytes kept = read_bytes(last_file);
  ASSERT_TRUE(fs::remove_file(last_file));
  // A directory changed long enough ago that its modification time vouches for a listing.
  const timespec past[2] = {{.tv_sec = 1'000'000'000, .tv_nsec = 0}, {.tv_sec = 1'000'000'000, .tv_nsec = 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, data.c_str(), past, 0), 0);

  DataSegments set = reopen();
  ASSERT_EQ(set.next_file_offset(), 2 * kDss);
  const std::uint64_t before = fs::listings_made();
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(error_text(set.locate(last.position())),
              "not found: no segment contains offset " + std::to_string(last.position()));
  EXPECT_EQ(fs::listings_made() - before, 1u);

  // The file made again changes the directory: the next read looks and finds it.
  write_bytes(last_file, kept);
  EXPECT_EQ(read_ok(set, last), last_bytes);
  EXPECT_EQ(fs::listings_made() - before, 2u);
}

// A read of a segment the set knows but cannot open reports why, never "not found", which a
// caller takes for a record that is gone; a file that is gone (a live writer's retention) is.
TEST_F(DataSegmentsTest, ASegmentThatCannotBeOpenedReportsItsOwnError) {
  struct Cause {
    const char* what;
    std::function<void(const fs::Path&)> damage;
    Error expected;
  };
  const std::vector<Cause> causes = {
      {"bad magic",
       [](const fs::Path& file) {
         Bytes b = read_bytes(file);
         b[0] = 'X';
         write_bytes(file, b);
       },
       Error::invalid_magic()},
      {"replaced by a directory",
       [](const fs::Path& file) {
         ASSERT_TRUE(fs::remove_file(file));
         ASSERT_TRUE(fs::create_dir_all(file));
       },
       Error::os(EISDIR)},
      {"no mapping to be had", [](const fs::Path&) {}, Error::os(ENOMEM)},
      {"removed", [](const fs::Path& file) { ASSERT_TRUE(fs::remove_file(file)); },
       Error::not_found("no segment contains offset 0")},
  };
  for (const Cause& c : causes) {
    SCOPED_TRACE(c.what);
    testing::TempDir root;
    auto set = DataSegments::create(root.path(), kDss, 256, 3, compress::kZstd);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->write(0, pattern(10, 1), nullptr)->position(), 0u);
    ASSERT_TRUE(set->close_all());
    c.damage(root / "data" / DataSegments::file_name(0));
    std::optional<testing::HeldMappings> held;
    if (c.expected.os_code() == ENOMEM) {
      held.emplace();
      ASSERT_TRUE(held->exhausted());
    }
    const auto located = set->locate(0);
    held.reset();
    EXPECT_EQ(error_text(located), c.expected.display());
  }
}

TEST_F(DataSegmentsTest, FlushAndNotifierReachEveryOpenSegment) {
  DataSegments set = make();
  put(set, 1, pattern(10, 1));
  auto queue = std::make_shared<DirtyQueue>();
  set.set_notifier(FlushNotifier{DataSetKey{"n", "t"}, queue});
  EXPECT_EQ(queue->size(), 1u);  // the segment was already changed
  ASSERT_TRUE(set.flush());
  EXPECT_TRUE(set.find_open(0)->clean());
  put(set, 2, pattern(10, 1));
  EXPECT_EQ(queue->size(), 2u);
  EXPECT_EQ(set.find_open(kDss), nullptr);
}

// ---- retention ---------------------------------------------------------------------------------

TEST_F(DataSegmentsTest, RetentionRemovesClosedSegmentsOlderThanTheCutoff) {
  DataSegments set = make();
  for (std::int64_t ts = 0; set.next_file_offset() < 3 * kDss; ++ts) put(set, ts, noise(300, static_cast<std::uint32_t>(ts)));
  // A fourth file whose header cannot be read: its newest record is unknown.
  write_bytes(data / DataSegments::file_name(3 * kDss), Bytes(200, 0xAB));
  ASSERT_TRUE(set.close_all());
  DataSegments scanned = reopen();
  const std::int64_t max0 = scanned.slots().at(0).summary()->max_ts;
  const std::int64_t max1 = scanned.slots().at(kDss).summary()->max_ts;
  EXPECT_EQ(scanned.slots().at(3 * kDss).summary()->max_ts, std::numeric_limits<std::int64_t>::min());
  ASSERT_TRUE(scanned.get_or_reopen(2 * kDss));  // open: never reclaimed

  const std::vector<SegmentStats> removed = scanned.reclaim_expired(max1);  // max1 itself is kept
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].file_offset, 0u);
  EXPECT_EQ(removed[0].max_ts, max0);
  EXPECT_EQ(file_names(data), (std::vector<std::string>{"00000000000000001024", "00000000000000002048",
                                                         "00000000000000003072"}));
  EXPECT_EQ(scanned.next_file_offset(), 4 * kDss);
  EXPECT_TRUE(scanned.reclaim_expired(std::numeric_limits<std::int64_t>::max()).size() == 1u);
  EXPECT_EQ(scanned.slots().size(), 2u);  // the open one and the unreadable one stay
}

// ---- the directory scan ------------------------------------------------------------------------

TEST_F(DataSegmentsTest, ScanRegistersNumericFileNamesOnly) {
  ASSERT_TRUE(fs::create_dir_all(data / "7"));
  for (const char* name : {"+5", "5", "abc", "-5", "+", "18446744073709551616", "00000000000000000003x"})
    write_bytes(data / name, Bytes(10, 0));
  DataSegments set = reopen();
  ASSERT_EQ(set.slots().size(), 1u);
  EXPECT_EQ(set.slots().begin()->first, 5u);
  EXPECT_EQ(set.slots().begin()->second.path(), data / "+5");  // neither is canonical: the smaller name
  EXPECT_EQ(set.next_file_offset(), kDss);

  write_bytes(data / "00000000000000000005", Bytes(10, 0));
  EXPECT_EQ(reopen().slots().begin()->second.path(), data / "00000000000000000005");

  // A numeric entry whose metadata cannot be read fails the whole scan.
  ASSERT_EQ(::symlink("missing", (data / "9").c_str()), 0);
  auto failed = DataSegments::open(dir.path(), kDss, 256, 3, 0);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
}

TEST_F(DataSegmentsTest, MissingDataDirectoryIsAnEmptySet) {
  auto set = DataSegments::open(dir.path() / "elsewhere", kDss, 256, 3, 0);
  ASSERT_TRUE(set);
  EXPECT_TRUE(set->slots().empty());
  EXPECT_EQ(set->next_file_offset(), 0u);
}

// A data directory that cannot be looked at may hold segments, which the first write would
// create anew over them: that is an error, never an empty set.
TEST_F(DataSegmentsTest, DataDirectoryThatCannotBeLookedAtIsAnIoError) {
  const fs::Path looping = dir.path() / "looping";
  ASSERT_TRUE(fs::create_dir_all(looping));
  ASSERT_EQ(::symlink("data", (looping / "data").c_str()), 0);
  const fs::Path plain = dir.path() / "plain";
  write_bytes(plain, Bytes(3, 7));
  for (const fs::Path& dataset_dir : {looping, plain}) {
    SCOPED_TRACE(dataset_dir.string());
    auto set = DataSegments::open(dataset_dir, kDss, 256, 3, 0);
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error().kind(), ErrorKind::Io);
  }
  auto left = fs::list_dir(looping);
  ASSERT_TRUE(left);
  EXPECT_EQ(*left, std::vector<std::string>{"data"});
  EXPECT_EQ(read_bytes(plain), Bytes(3, 7));
}

TEST_F(DataSegmentsTest, StrayFileNamesOffTheGridNeverTakeRecords) {
  ASSERT_TRUE(fs::create_dir_all(data));
  write_bytes(data / "5", noise(300, 1));
  write_bytes(data / "1500", noise(300, 2));
  DataSegments set = reopen();
  EXPECT_EQ(set.next_file_offset(), 2 * kDss);
  const WritePlace p = put(set, 1, pattern(10, 1));
  EXPECT_EQ(p.file_offset, 2 * kDss);
  EXPECT_EQ(read_ok(set, p), pattern(10, 1));
  EXPECT_EQ(read_bytes(data / "5"), noise(300, 1));
}

// ---- files a crash left behind -------------------------------------------------------------------

TEST_F(DataSegmentsTest, LastFileLeftUnwrittenByAnInterruptedCreateIsCreatedAgain) {
  // The states a create can be cut in: no length yet, reserved but empty, header without magic;
  // each read of the file reports why it cannot be opened.
  const std::string no_magic = Error::invalid_magic().display();
  struct Leftover {
    std::string name;
    Bytes bytes;
    std::string read_error;
  };
  std::vector<Leftover> leftovers = {
      {"empty", {}, "invalid data: truncated fixed header prefix: need 9 bytes, got 0"},
      {"zero-filled", Bytes(256, 0), no_magic}};
  {
    // Earlier versions made the file under its own name and stored the magic last.
    testing::TempDir scratch;
    ASSERT_TRUE(DataSegment::create(scratch / "s", 0, 256, kDss, 3, 0));
    Bytes without_magic = read_bytes(scratch / "s");
    std::fill(without_magic.begin(), without_magic.begin() + header::kMagic.size(), 0);
    leftovers.push_back({"header without its magic", without_magic, no_magic});
  }
  for (const auto& [name, bytes, read_error] : leftovers) {
    SCOPED_TRACE(name);
    testing::TempDir d;
    WritePlace old;
    {
      auto set = DataSegments::create(d.path(), kDss, 256, 3, 0);
      ASSERT_TRUE(set);
      old = *set->write(1, pattern(800, 1), nullptr);
      ASSERT_EQ((*set->write(2, pattern(800, 2), nullptr)).file_offset, kDss);
    }
    write_bytes(d / "data" / DataSegments::file_name(kDss), bytes);
    auto set = DataSegments::open(d.path(), kDss, 256, 3, 0);
    ASSERT_TRUE(set);
    EXPECT_EQ(error_text(read(*set, kDss, 0)), read_error);
    auto placed = set->write(3, pattern(10, 3), nullptr);
    ASSERT_TRUE(placed) << placed.error().display();
    EXPECT_EQ(placed->file_offset, kDss);
    EXPECT_EQ(set->next_file_offset(), 2 * kDss);
    EXPECT_EQ(read_ok(*set, *placed), pattern(10, 3));
    EXPECT_EQ(read_ok(*set, old), pattern(800, 1));
  }
}

TEST_F(DataSegmentsTest, LastSegmentThatCannotTakeRecordsSendsThemToAFreshSegment) {
  WritePlace sealed, pending;
  {
    DataSegments set = make(kDss * 4, 256);
    sealed = put(set, 1, pattern(10, 1));
    ASSERT_TRUE((*set.get_or_reopen(0))->seal_pending_block(3));
    pending = put(set, 2, pattern(10, 2));
  }
  const fs::Path last = data / DataSegments::file_name(0);
  Bytes f = read_bytes(last);
  bytes::store_le<std::uint16_t>(f.data() + header::kDataHeaderSize + pending.block_offset + 4, 3);
  write_bytes(last, f);

  DataSegments set = reopen(kDss * 4, 256);
  const WritePlace next = put(set, 3, pattern(10, 3));
  EXPECT_EQ(next.file_offset, kDss * 4);
  EXPECT_EQ(read_ok(set, sealed), pattern(10, 1));  // kept for reading
  EXPECT_FALSE(read(set, pending.position(), pending.in_block));
  EXPECT_EQ(read_bytes(last), f);

  // A last file whose header is damaged beyond use is left as it is, and reads of it fail.
  ASSERT_TRUE(set.close_all());
  const fs::Path newest = data / DataSegments::file_name(kDss * 4);
  Bytes g = read_bytes(newest);
  g[0] = 'X';
  write_bytes(newest, g);
  DataSegments again = reopen(kDss * 4, 256);
  const WritePlace after = put(again, 4, pattern(10, 4));
  EXPECT_EQ(after.file_offset, kDss * 8);
  EXPECT_EQ(error_text(read(again, next.position(), next.in_block)), Error::invalid_magic().display());
  EXPECT_EQ(read_bytes(newest), g);
}

TEST_F(DataSegmentsTest, FullDiskIsAnIoErrorAndNeverMultipliesFiles) {
  DataSegments set = make();
  {
    FileSizeLimit limit(200);  // below the initial size
    auto failed = set.write(1, pattern(10, 1), &hook);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
    EXPECT_TRUE(file_names(data).empty());
  }
  {
    FileSizeLimit limit(300);  // the file is created, but cannot grow for a 200-byte record
    for (int i = 0; i < 3; ++i) {
      auto failed = set.write(1, pattern(200, 1), &hook);
      ASSERT_FALSE(failed);
      EXPECT_EQ(failed.error().kind(), ErrorKind::Io) << failed.error().display();
    }
    EXPECT_EQ(file_names(data).size(), 1u);
  }
  EXPECT_EQ(read_ok(set, put(set, 1, pattern(200, 1))), pattern(200, 1));
}

// ---- kill -9 at random instants --------------------------------------------------------------

// What a child process had stored when it reported: the record's place.
struct Report {
  std::int64_t ts;
  std::uint64_t position;
  std::uint16_t in_block;
};

Bytes record_for(std::int64_t ts) {
  switch (ts % 5) {
    case 0: return noise(20000, static_cast<std::uint32_t>(ts));  // fills segments quickly
    case 1: return pattern(70000, static_cast<std::uint8_t>(ts));  // a block of its own
    default: return pattern(static_cast<std::size_t>(5 + ts % 300), static_cast<std::uint8_t>(ts));
  }
}

TEST_F(DataSegmentsTest, KilledWritersLeaveEveryAcknowledgedRecordReadable) {
  constexpr std::uint64_t kSize = 64 << 10;
  ASSERT_TRUE(DataSegments::create(dir.path(), kSize, 4096, 1, compress::kZstd));
  std::vector<Report> acked;
  std::int64_t next_ts = 0;
  std::mt19937 gen(42);
  for (int round = 0; round < 30; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      auto set = DataSegments::open(dir.path(), kSize, 4096, 1, compress::kZstd);
      if (!set) ::_exit(2);
      for (std::int64_t ts = next_ts; ts < next_ts + 100000; ++ts) {
        auto placed = set->write(ts, record_for(ts), nullptr);
        if (!placed) ::_exit(3);
        const Report r{ts, placed->position(), placed->in_block};
        if (::write(fds[1], &r, sizeof r) != sizeof r) ::_exit(4);
      }
      ::_exit(0);
    }
    ::close(fds[1]);
    ::usleep(std::uniform_int_distribution<int>(200, 20000)(gen));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with " << WEXITSTATUS(status);
    Report r;
    while (::read(fds[0], &r, sizeof r) == sizeof r) acked.push_back(r);
    ::close(fds[0]);
    if (!acked.empty()) next_ts = acked.back().ts + 1;
    next_ts += 1;  // a record stored but not yet reported is superseded by a new timestamp

    auto set = DataSegments::open(dir.path(), kSize, 4096, 1, compress::kZstd);
    ASSERT_TRUE(set) << set.error().display();
    for (const Report& a : acked) {
      auto segment = set->locate(a.position);
      ASSERT_TRUE(segment) << "round " << round << ", ts " << a.ts << ": " << segment.error().display();
      auto got = (*segment)->read_record(0, IndexEntry{0, a.position - (*segment)->file_offset(), a.in_block}, nullptr);
      ASSERT_TRUE(got) << "round " << round << ", ts " << a.ts << ": " << got.error().display();
      EXPECT_EQ(got->first, a.ts);
      EXPECT_EQ(got->second, record_for(a.ts)) << "round " << round << ", ts " << a.ts;
    }
    ASSERT_TRUE(set->write(next_ts, record_for(next_ts), nullptr)) << "round " << round;
    ++next_ts;
  }
  EXPECT_GT(acked.size(), 30u);
}

}  // namespace
}  // namespace quelvane
