// The dataset state file: its image, how it is opened, created and recreated, and how the
// totals, the watermark and the time range change and reach the file.
#include "dataset_state.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "util/bytes.h"
#include "util/log.h"

namespace quelvane {
namespace {

using testing::TempDir;
using Bytes = std::vector<std::uint8_t>;
using Range = std::pair<std::int64_t, std::int64_t>;

constexpr std::uint64_t kSeg = 1 << 20;  // distance between data segment file offsets

// The image as the file format lays it out, built here independently of the code under test.
Bytes image(std::uint64_t watermark, std::int64_t min, std::int64_t max, std::uint64_t records,
            std::uint64_t data, std::uint64_t uncompressed, std::uint64_t invalid, std::uint32_t version = 1) {
  Bytes out(64);
  std::memcpy(out.data(), "DSSF", 4);
  bytes::store_le(out.data() + 4, version);
  bytes::store_le(out.data() + 8, watermark);
  bytes::store_le(out.data() + 16, min);
  bytes::store_le(out.data() + 24, max);
  bytes::store_le(out.data() + 32, records);
  bytes::store_le(out.data() + 40, data);
  bytes::store_le(out.data() + 48, uncompressed);
  bytes::store_le(out.data() + 56, invalid);
  return out;
}

const Bytes kEmpty = image(0, INT64_MAX, INT64_MIN, 0, 0, 0, 0);

SegmentStats seg(std::uint64_t offset, std::uint64_t records, std::uint64_t data = 0, std::uint64_t uncompressed = 0,
                 std::uint64_t invalid = 0) {
  return {.file_offset = offset, .record_count = records, .data_size = data, .uncompressed_size = uncompressed,
          .invalid_record_count = invalid, .min_ts = 0, .max_ts = 0};
}

struct Totals {
  std::uint64_t watermark, records, data, uncompressed, invalid;
  bool operator==(const Totals&) const = default;
};

Totals totals(const DatasetStateFile& s) {
  return {s.watermark(), s.total_record_count(), s.total_data_size(), s.total_uncompressed_size(),
          s.total_invalid_record_count()};
}

class StateTest : public ::testing::Test {
 protected:
  fs::Path state_path() const { return dir_ / "state"; }
  Bytes on_disk() const { return fs::read_file(state_path()).value(); }
  void put_on_disk(const Bytes& b) const { ASSERT_TRUE(fs::write_file(state_path(), b).has_value()); }
  // Changes one byte of the file behind the mapping's back (the page cache is shared), so that
  // a later rewrite of the image would be seen.
  void scribble() const {
    fs::FileDescriptor fd = fs::open(state_path(), fs::OpenMode::ReadWrite).value();
    std::uint8_t b = 0x5A;
    ASSERT_EQ(::pwrite(fd.get(), &b, 1, 60), 1);
  }
  DatasetStateFile fresh() const { return DatasetStateFile::open_or_create(dir_.path()).value(); }

  TempDir dir_;
};

TEST_F(StateTest, CreatesTheEmptyImageUnderMissingParents) {
  fs::Path nested = dir_ / "a/b";
  DatasetStateFile s = DatasetStateFile::open_or_create(nested).value();
  EXPECT_EQ(fs::read_file(nested / "state").value(), kEmpty);
  EXPECT_EQ(s.path(), nested / "state");
  EXPECT_EQ(totals(s), (Totals{0, 0, 0, 0, 0}));
  EXPECT_EQ(s.min_timestamp(), INT64_MAX);
  EXPECT_EQ(s.max_timestamp(), INT64_MIN);
  EXPECT_FALSE(s.read_only());
}

TEST_F(StateTest, EveryChangeIsWrittenThroughAndReadBackAtOpen) {
  DatasetStateFile s = fresh();
  const SegmentStats sealed[] = {seg(0, 10, 100, 300, 1), seg(kSeg, 5, 50, 150, 2)};
  ASSERT_TRUE(s.on_append(2 * kSeg, sealed).has_value());
  ASSERT_TRUE(s.on_time_range(Range{-7, 42}).has_value());
  ASSERT_TRUE(s.record_delete().has_value());
  EXPECT_EQ(on_disk(), image(2 * kSeg, -7, 42, 15, 150, 450, 4));

  // The file is read back as it stands, while the first handle still lives.
  DatasetStateFile again = DatasetStateFile::open(state_path()).value();
  EXPECT_EQ(totals(again), (Totals{2 * kSeg, 15, 150, 450, 4}));
  EXPECT_EQ(again.min_timestamp(), -7);
  EXPECT_EQ(again.max_timestamp(), 42);
  EXPECT_EQ(totals(DatasetStateFile::open_or_create(dir_.path()).value()), totals(again));
}

TEST_F(StateTest, OnAppendFoldsOnlySegmentsBetweenTheWatermarkAndTheNewOffset) {
  DatasetStateFile s = fresh();
  const SegmentStats first[] = {seg(0, 10), seg(kSeg, 5)};
  ASSERT_TRUE(s.on_append(2 * kSeg, first).has_value());
  EXPECT_EQ(totals(s), (Totals{2 * kSeg, 15, 0, 0, 0}));

  // Segments already folded (below the watermark) or not yet sealed (at or above the new
  // offset) are not counted again.
  const SegmentStats mixed[] = {seg(0, 10), seg(2 * kSeg, 3), seg(3 * kSeg, 100)};
  ASSERT_TRUE(s.on_append(3 * kSeg, mixed).has_value());
  EXPECT_EQ(totals(s), (Totals{3 * kSeg, 18, 0, 0, 0}));

  // An offset below the watermark never lowers it and folds nothing.
  const SegmentStats stale[] = {seg(kSeg, 5)};
  ASSERT_TRUE(s.on_append(kSeg, stale).has_value());
  EXPECT_EQ(totals(s), (Totals{3 * kSeg, 18, 0, 0, 0}));
  EXPECT_EQ(on_disk(), image(3 * kSeg, INT64_MAX, INT64_MIN, 18, 0, 0, 0));

  // No segments but a higher offset still moves the watermark up (segments may be missing).
  ASSERT_TRUE(s.on_append(5 * kSeg, {}).has_value());
  EXPECT_EQ(on_disk(), image(5 * kSeg, INT64_MAX, INT64_MIN, 18, 0, 0, 0));
}

TEST_F(StateTest, OnAppendWithNothingToFoldWritesNothing) {
  DatasetStateFile s = fresh();
  ASSERT_TRUE(s.on_append(kSeg, {}).has_value());
  scribble();
  const SegmentStats already[] = {seg(0, 9)};
  ASSERT_TRUE(s.on_append(kSeg, already).has_value());
  ASSERT_TRUE(s.on_append(0, {}).has_value());
  EXPECT_EQ(on_disk()[60], 0x5A) << "the image was rewritten";
  EXPECT_EQ(s.total_record_count(), 0u);
}

TEST_F(StateTest, TotalsSaturateUpwardsAndStopAtZeroDownwards) {
  DatasetStateFile s = fresh();
  const SegmentStats huge[] = {seg(0, UINT64_MAX, UINT64_MAX, 1, UINT64_MAX), seg(kSeg, 2, 2, 2, 2)};
  ASSERT_TRUE(s.on_append(2 * kSeg, huge).has_value());
  ASSERT_TRUE(s.record_delete().has_value());
  EXPECT_EQ(totals(s), (Totals{2 * kSeg, UINT64_MAX, UINT64_MAX, 3, UINT64_MAX}));

  // Reclaiming subtracts field by field and never wraps below zero; the watermark and the
  // time range are retention's to set separately.
  ASSERT_TRUE(s.set_time_range(1, 2).has_value());
  ASSERT_TRUE(s.subtract_reclaimed(seg(0, 10, UINT64_MAX, 5, 1)).has_value());
  EXPECT_EQ(totals(s), (Totals{2 * kSeg, UINT64_MAX - 10, 0, 0, UINT64_MAX - 1}));
  EXPECT_EQ(on_disk(), image(2 * kSeg, 1, 2, UINT64_MAX - 10, 0, 0, UINT64_MAX - 1));
}

TEST_F(StateTest, TimeRangeIsStoredOnlyWhenItChanges) {
  DatasetStateFile s = fresh();
  scribble();
  ASSERT_TRUE(s.on_time_range(std::nullopt).has_value());
  EXPECT_EQ(on_disk()[60], 0x5A) << "no range on an empty file is no change";

  ASSERT_TRUE(s.on_time_range(Range{3, 9}).has_value());
  EXPECT_EQ(on_disk(), image(0, 3, 9, 0, 0, 0, 0));
  scribble();
  ASSERT_TRUE(s.set_time_range(3, 9).has_value());
  EXPECT_EQ(on_disk()[60], 0x5A);

  ASSERT_TRUE(s.set_time_range(3, 10).has_value()) << "one bound differing is a change";
  EXPECT_EQ(on_disk(), image(0, 3, 10, 0, 0, 0, 0));
  ASSERT_TRUE(s.on_time_range(std::nullopt).has_value());
  EXPECT_EQ(on_disk(), kEmpty);
}

TEST_F(StateTest, InvalidFilesAreRecreatedWhenWritableAndRefusedWhenReadOnly) {
  struct Case {
    const char* what;
    Bytes content;
    Error error;
  };
  const Case cases[] = {
      {"empty (interrupted creation)", {}, Error::invalid_data("invalid dataset state file size")},
      {"63 bytes", Bytes(kEmpty.begin(), kEmpty.end() - 1), Error::invalid_data("invalid dataset state file size")},
      {"65 bytes", [] { Bytes b = kEmpty; b.push_back(0); return b; }(),
       Error::invalid_data("invalid dataset state file size")},
      {"zero-filled (interrupted creation)", Bytes(64, 0), Error::invalid_magic()},
      {"version 2", image(7, 1, 2, 3, 4, 5, 6, 2), Error::invalid_data("unsupported dataset state version 2")},
  };
  std::vector<std::string> logged;
  log::set_sink([&](log::Level, std::string_view target, std::string_view text) {
    logged.push_back(std::string(target) + " " + std::string(text));
  }, log::Level::Warn);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    put_on_disk(c.content);
    EXPECT_EQ(DatasetStateFile::open(state_path()).error(), c.error);
    EXPECT_EQ(DatasetStateFile::open_read_only(dir_.path()).error(), c.error);
    EXPECT_EQ(on_disk(), c.content) << "a refused file is left as it was";

    logged.clear();
    DatasetStateFile s = DatasetStateFile::open_or_create(dir_.path()).value();
    EXPECT_EQ(totals(s), (Totals{0, 0, 0, 0, 0}));
    EXPECT_EQ(on_disk(), kEmpty);
    EXPECT_EQ(logged, std::vector<std::string>{"quelvane::dataset_state [dataset-state] recreating invalid state file " +
                                               state_path().string() + ": " + c.error.display()});
  }
  log::set_sink(nullptr, log::Level::Off);
}

TEST_F(StateTest, AnExistingFileThatCannotBeOpenedIsNeverReplaced) {
  // Something that exists but cannot be opened for reading and writing (a socket, since the
  // suite may run as root, for whom permissions never fail): an I/O error, and it stays.
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(state_path().string().size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, state_path().c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(sock);
  for (auto open : {&DatasetStateFile::open_or_create, &DatasetStateFile::open_read_only}) {
    auto r = open(dir_.path());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().os_code(), ENXIO);
  }
  struct stat st;
  ASSERT_EQ(::lstat(state_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode)) << "the path was replaced";

  // A failure to look at the path other than "missing" creates nothing either.
  ASSERT_TRUE(fs::write_file(dir_ / "plain", Bytes{2}).has_value());
  for (auto open : {&DatasetStateFile::open_or_create, &DatasetStateFile::open_read_only}) {
    auto r = open(dir_ / "plain");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().os_code(), ENOTDIR);
  }
  EXPECT_EQ(fs::read_file(dir_ / "plain").value(), Bytes{2});
  EXPECT_EQ(DatasetStateFile::open(dir_ / "missing").error().os_code(), ENOENT) << "open never creates";
  EXPECT_FALSE(fs::path_exists(dir_ / "missing"));
}

TEST_F(StateTest, ReadOnlyStateFilesChangeOnlyInMemory) {
  // Missing: empty values, nothing created.
  DatasetStateFile absent = DatasetStateFile::open_read_only(dir_.path()).value();
  EXPECT_TRUE(absent.read_only());
  EXPECT_FALSE(absent.mapped());
  const SegmentStats sealed[] = {seg(0, 4)};
  ASSERT_TRUE(absent.on_append(kSeg, sealed).has_value());
  ASSERT_TRUE(absent.record_delete().has_value());
  EXPECT_EQ(totals(absent), (Totals{kSeg, 4, 0, 0, 1}));
  EXPECT_FALSE(fs::path_exists(state_path()));

  // Present: its values are read, and the file keeps them whatever happens in memory.
  const Bytes stored = image(kSeg, 5, 6, 7, 8, 9, 10);
  put_on_disk(stored);
  DatasetStateFile s = DatasetStateFile::open_read_only(dir_.path()).value();
  EXPECT_EQ(totals(s), (Totals{kSeg, 7, 8, 9, 10}));
  ASSERT_TRUE(s.on_append(2 * kSeg, sealed).has_value());
  ASSERT_TRUE(s.on_time_range(Range{0, 1}).has_value());
  ASSERT_TRUE(s.record_delete().has_value());
  ASSERT_TRUE(s.subtract_reclaimed(seg(0, 1, 1, 1, 1)).has_value());
  EXPECT_EQ(totals(s), (Totals{2 * kSeg, 6, 7, 8, 10}));
  EXPECT_EQ(s.min_timestamp(), 0);
  EXPECT_EQ(on_disk(), stored);
}

TEST_F(StateTest, AnUnmappedWritableFileFailsButKeepsTheChangeInMemory) {
  DatasetStateFile s = fresh();
  DatasetStateFile moved = std::move(s);
  // The moved-from handle holds the values but no mapping any more.
  EXPECT_FALSE(s.mapped());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_EQ(s.record_delete().error(), Error::mmap("dataset state file is not mapped"));
  EXPECT_EQ(s.total_invalid_record_count(), 1u);
  EXPECT_EQ(s.set_time_range(1, 2).error(), Error::mmap("dataset state file is not mapped"));
  EXPECT_EQ(s.max_timestamp(), 2);
  EXPECT_EQ(on_disk(), kEmpty);
  ASSERT_TRUE(moved.record_delete().has_value()) << "the mapping moved with the handle";
  EXPECT_EQ(on_disk(), image(0, INT64_MAX, INT64_MIN, 0, 0, 0, 1));
}

TEST_F(StateTest, HooksReachTheStateFileThroughTheirInterfaces) {
  DatasetStateFile s = fresh();
  SegmentStatsHook& stats = s;
  TimeRangeHook& range = s;
  const SegmentStats sealed[] = {seg(0, 2)};
  ASSERT_TRUE(stats.on_append(kSeg, sealed).has_value());
  EXPECT_EQ(stats.watermark(), kSeg);
  ASSERT_TRUE(range.on_time_range(Range{10, 20}).has_value());
  EXPECT_EQ(on_disk(), image(kSeg, 10, 20, 2, 0, 0, 0));
}

}  // namespace
}  // namespace quelvane
