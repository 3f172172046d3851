// The recorder the power-loss tests build their disks with: what it keeps of each sync, and the
// disks its policies lay out from that.
#include "support/power_loss.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "support/interrupted_write.h"
#include "support/temp_dir.h"
#include "util/mapped_file.h"

namespace quelvane {
namespace {

using testing::Bytes;
using testing::PowerLoss;
using testing::power_loss_page;

constexpr std::uint64_t pages = 3;

void fill_page(MappedFile& f, std::uint64_t page, std::uint8_t value) {
  const Bytes bytes(power_loss_page, value);
  f.write(page * power_loss_page, bytes);
}

// A file through a descriptor open for writing only, as the store's own small files are written.
void fsync_path(const fs::Path& path) {
  const int fd = ::open(path.c_str(), (std::filesystem::is_directory(path) ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::fsync(fd), 0);
  ::close(fd);
}

// The first byte of each page of a file on a disk; "" for a file that is not there.
std::string page_marks(const fs::Path& file) {
  if (!std::filesystem::exists(file)) return "";
  const Bytes bytes = testing::read_bytes(file);
  std::string marks;
  for (std::uint64_t off = 0; off < bytes.size(); off += power_loss_page) marks += static_cast<char>(bytes[off]);
  return marks;
}

class PowerLossTest : public ::testing::Test {
 protected:
  // A file of three pages "AAA" made durable (file, then directory), then "B" stored in pages
  // 0 and 2 with no sync since.
  void SetUp() override {
    auto made = MappedFile::create(root / "seg", pages * power_loss_page);
    ASSERT_TRUE(made);
    file = std::move(*made);
    for (std::uint64_t p = 0; p < pages; ++p) fill_page(file, p, 'A');
    ASSERT_TRUE(file.sync());
    fsync_path(root.path());
    fill_page(file, 0, 'B');
    fill_page(file, 2, 'B');
  }

  std::string disk_of(const PowerLoss& loss, const std::string& name = "seg") {
    const fs::Path out = disks / std::to_string(built++);
    recorder.build_disk(out, loss);
    return page_marks(out / name);
  }

  testing::TempDir root;
  testing::TempDir disks;
  testing::PowerLossRecorder recorder{root.path()};
  MappedFile file;
  int built = 0;
};

TEST_F(PowerLossTest, PoliciesLayTheSyncedTheWrittenOrTheChosenPages) {
  const auto page_two = [](const std::filesystem::path& f, std::uint64_t p) { return f == "seg" && p == 2; };
  const struct {
    const char* name;
    PowerLoss loss;
    std::string expected;
  } cases[] = {
      {"synced", {.pages = PowerLoss::Pages::synced}, "AAA"},
      {"written", {.pages = PowerLoss::Pages::written}, "BAB"},
      {"chosen page 2", {.pages = PowerLoss::Pages::chosen, .page_is_new = page_two}, "AAB"},
  };
  for (const auto& c : cases) EXPECT_EQ(disk_of(c.loss), c.expected) << c.name;
  // A second sync makes the written pages the synced ones.
  ASSERT_TRUE(file.sync());
  EXPECT_EQ(disk_of({.pages = PowerLoss::Pages::synced}), "BAB");
}

TEST_F(PowerLossTest, ARandomMixTakesEachWrittenPageOldOrNewAndRepeatsBySeed) {
  std::set<std::string> seen;
  for (std::uint64_t seed = 0; seed < 24; ++seed) {
    const std::string disk = disk_of({.pages = PowerLoss::Pages::random, .seed = seed});
    EXPECT_EQ(disk, disk_of({.pages = PowerLoss::Pages::random, .seed = seed})) << seed;
    seen.insert(disk);
  }
  // Page 1 was never written since the sync; pages 0 and 2 come in every combination.
  EXPECT_EQ(seen, (std::set<std::string>{"AAA", "AAB", "BAA", "BAB"}));
}

TEST_F(PowerLossTest, AMsyncOfARangeMakesOnlyThosePagesDurable) {
  ASSERT_EQ(::msync(file.mutable_bytes().data() + 2 * power_loss_page, power_loss_page, MS_SYNC), 0);
  EXPECT_EQ(disk_of({.pages = PowerLoss::Pages::synced}), "AAB");
}

TEST_F(PowerLossTest, AGrownFileKeepsItsSyncedLengthUnlessItsLastPageIsNew) {
  ASSERT_TRUE(file.grow(4 * power_loss_page));
  fill_page(file, 3, 'C');
  const auto last_new = [](const std::filesystem::path&, std::uint64_t p) { return p == 3; };
  EXPECT_EQ(disk_of({.pages = PowerLoss::Pages::synced}), "AAA");
  EXPECT_EQ(disk_of({.pages = PowerLoss::Pages::chosen, .page_is_new = last_new}), "AAAC");
  EXPECT_EQ(disk_of({.pages = PowerLoss::Pages::written}), "BABC");
}

// Files written with write(2) and renamed into place, as the small files are: whether the file,
// and its directory, were synced decides what a power loss leaves.
TEST_F(PowerLossTest, UnsyncedFilesAreEmptyAndUnsyncedEntriesCanBeLost) {
  const Bytes text{'4', '2'};
  const struct {
    const char* name;
    bool sync_file;
    bool sync_directory;
    bool lose_entries;
    std::string expected;  // page marks of "small"; "" = not there, "-" = there and empty
  } cases[] = {
      {"nothing synced, entries kept", false, false, false, "-"},
      {"nothing synced, entries lost", false, false, true, ""},
      {"directory synced only", false, true, true, "-"},
      {"file synced only, entries lost", true, false, true, ""},
      {"file synced only, entries kept", true, false, false, "4"},
      {"file then directory synced", true, true, true, "4"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    testing::PowerLossRecorder r(dir.path());
    ASSERT_TRUE(fs::write_file(dir / "small.tmp", text));
    if (c.sync_file) fsync_path(dir / "small.tmp");
    ASSERT_TRUE(fs::rename(dir / "small.tmp", dir / "small"));
    if (c.sync_directory) fsync_path(dir.path());
    const fs::Path out = disks / c.name;
    r.build_disk(out, {.pages = PowerLoss::Pages::synced, .lose_unsynced_entries = c.lose_entries});
    const std::string marks = page_marks(out / "small");
    EXPECT_EQ(marks.empty() && std::filesystem::exists(out / "small") ? "-" : marks, c.expected) << c.name;
    EXPECT_FALSE(std::filesystem::exists(out / "small.tmp")) << c.name;
  }
}

}  // namespace
}  // namespace quelvane
