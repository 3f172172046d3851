// The shared building blocks: POSIX helpers, the mapped file, the poisoning mutex, deadlines.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "support/temp_dir.h"
#include "util/fs.h"
#include "util/mapped_file.h"
#include "util/mutex.h"
#include "util/text.h"
#include "util/time.h"

namespace quelvane {
namespace {

using testing::TempDir;

TEST(Fs, FailuresCarryTheSystemMessageAndCode) {
  TempDir dir;
  auto r = fs::read_file(dir / "missing");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(fs::read_file(dir.path()).error().display(), "I/O error: Is a directory (os error 21)");
  EXPECT_EQ(fs::write_file(std::string("a\0b", 3), {}).error().display(),
            "I/O error: file name contained an unexpected NUL byte");
}

TEST(Fs, BoundedReadsTakeAtMostTheBoundOfARegularFileOnly) {
  TempDir dir;
  std::vector<std::uint8_t> content(10000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 31);
  ASSERT_TRUE(fs::write_file(dir / "f", content).has_value());
  ASSERT_TRUE(fs::write_file(dir / "empty", {}).has_value());
  struct Case {
    const char* file;
    std::uint64_t bound;
    std::size_t expected;
  };
  for (const Case& c : {Case{"f", 100, 100}, Case{"f", 0, 0}, Case{"f", 9999, 9999}, Case{"f", 10000, 10000},
                        Case{"f", 1u << 20, 10000}, Case{"empty", 10, 0}}) {
    auto r = fs::read_bounded(dir / c.file, c.bound);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_EQ(*r, std::vector<std::uint8_t>(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(c.expected)))
        << c.file << " " << c.bound;
  }
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ::alarm(20);  // opening the FIFO for reading would wait for a writer for ever
  EXPECT_EQ(fs::read_bounded(dir / "fifo", 10).error().display(), "I/O error: " + (dir / "fifo").native() + " is not a regular file");
  ::alarm(0);
  EXPECT_EQ(fs::read_bounded("/dev/zero", 10).error().display(), "I/O error: /dev/zero is not a regular file");
  EXPECT_EQ(fs::read_bounded(dir.path(), 10).error().os_code(), EISDIR);
  EXPECT_EQ(fs::read_bounded(dir / "missing", 10).error().os_code(), ENOENT);
}

TEST(Fs, DirectoriesAreMadeRecursivelyAndRemovedWhole) {
  TempDir dir;
  ASSERT_TRUE(fs::create_dir_all(dir / "a/b/c").has_value());
  ASSERT_TRUE(fs::write_file(dir / "a/b/c/f", bytes::as_bytes("xyz")).has_value());
  EXPECT_EQ(fs::list_dir(dir / "a/b/c").value(), std::vector<std::string>{"f"});
  ASSERT_TRUE(fs::overwrite_file(dir / "a/b/c/f", bytes::as_bytes("q")).has_value());
  EXPECT_EQ(fs::read_file(dir / "a/b/c/f").value(), std::vector<std::uint8_t>{'q'});
  ASSERT_TRUE(fs::remove_tree(dir / "a").has_value());
  EXPECT_FALSE(fs::path_exists(dir / "a"));
  EXPECT_TRUE(fs::remove_tree(dir / "a").has_value()) << "a missing tree is already removed";
}

TEST(MappedFile, CreateMapsZeroedBytesThatPersistAcrossReopen) {
  TempDir dir;
  auto f = MappedFile::create(dir / "seg", 4096).value();
  EXPECT_EQ(f.size(), 4096u);
  EXPECT_EQ(f.load<std::uint64_t>(4088), 0u);
  f.store<std::uint32_t>(7, 0xA1B2C3D4);  // unaligned on purpose
  ASSERT_TRUE(f.sync().has_value());
  f.unmap();
  auto g = MappedFile::open(dir / "seg", MappedFile::Access::ReadOnly).value();
  EXPECT_EQ(g.load<std::uint32_t>(7), 0xA1B2C3D4u);
  EXPECT_EQ(g.bytes()[7], 0xD4) << "little-endian on disk";
  EXPECT_THROW(g.load<std::uint64_t>(4089), InternalFailure);
  EXPECT_THROW(g.store<std::uint8_t>(0, 1), InternalFailure) << "read-only mapping";
}

TEST(MappedFile, GrowKeepsTheContentAndAnEmptyFileMapsEmpty) {
  TempDir dir;
  auto f = MappedFile::create(dir / "seg", 0).value();
  EXPECT_TRUE(f.mapped());
  EXPECT_EQ(f.size(), 0u);
  ASSERT_TRUE(f.grow(100).has_value());
  f.store<std::uint8_t>(99, 7);
  ASSERT_TRUE(f.grow(1 << 20).has_value());
  EXPECT_EQ(f.load<std::uint8_t>(99), 7);
  EXPECT_EQ(f.size(), 1u << 20);
}

// Runs body in a child with the file size limit set, so a failed reservation shows as EFBIG
// instead of killing the test runner with SIGXFSZ.
template <class Body>
int in_child_with_fsize_limit(rlim_t limit, Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{limit, limit};
    setrlimit(RLIMIT_FSIZE, &lim);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(MappedFile, AReservationBeyondTheDiskIsAnIoErrorAndAFailedGrowthKeepsTheMapping) {
  TempDir dir;
  int code = in_child_with_fsize_limit(64 * 1024, [&] {
    auto big = MappedFile::create(dir / "big", 1 << 20);
    if (big || big.error().display() != "I/O error: File too large (os error 27)") return 1;
    auto f = MappedFile::create(dir / "small", 4096);
    if (!f) return 2;
    f->store<std::uint32_t>(4092, 77);
    auto grown = f->grow(1 << 20);
    if (grown || grown.error().os_code() != EFBIG) return 3;
    if (!f->mapped() || f->size() != 4096 || f->load<std::uint32_t>(4092) != 77) return 4;
    auto len = fs::length(fs::open(dir / "small", fs::OpenMode::ReadOnly).value());
    if (!len || *len != 4096) return 5;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST(MappedFile, CreatingOverAFileThisProcessMapsNeverCutsThatMappingShort) {
  TempDir dir;
  int code = in_child_with_fsize_limit(64 * 1024, [&] {
    auto old = MappedFile::create(dir / "seg", 32 * 1024);
    if (!old) return 1;
    old->store<std::uint32_t>(32 * 1024 - 4, 77);
    // A full disk at the new file's reservation: the old file stays whole, under its mapping too
    // (touching its last page would raise SIGBUS had the file been emptied).
    auto failed = MappedFile::create(dir / "seg", 1 << 20);
    if (failed || failed.error().os_code() != EFBIG) return 2;
    if (old->load<std::uint32_t>(32 * 1024 - 4) != 77) return 3;
    old->store<std::uint32_t>(32 * 1024 - 8, 78);
    auto kept = MappedFile::open(dir / "seg", MappedFile::Access::ReadOnly);
    if (!kept || kept->size() != 32 * 1024 || kept->load<std::uint32_t>(32 * 1024 - 8) != 78) return 4;
    // A create that succeeds replaces the file; the old mapping keeps its own bytes.
    auto fresh = MappedFile::create(dir / "seg", 4096);
    if (!fresh || fresh->size() != 4096 || fresh->load<std::uint32_t>(4092) != 0) return 5;
    if (old->load<std::uint32_t>(32 * 1024 - 4) != 77) return 6;
    auto names = fs::list_dir(dir.path());
    if (!names || *names != std::vector<std::string>{"seg"}) return 7;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST(Mutex, AnUnwindingFailurePoisonsTheLock) {
  Mutex<int> m("dataset mutex", 5);
  {
    auto g = m.lock().value();
    *g += 1;
  }
  EXPECT_THROW(
      {
        auto g = m.lock().value();
        internal_failure("boom");
      },
      InternalFailure);
  EXPECT_TRUE(m.poisoned());
  EXPECT_EQ(m.lock().error().display(), "invalid data: dataset mutex poisoned");
  EXPECT_THROW(m.lock_or_panic(), InternalFailure);
}

TEST(Mutex, ASecondLockFromTheHoldingThreadIsRefusedNotHung) {
  Mutex<int> m("dataset mutex");
  auto g = m.lock().value();
  EXPECT_EQ(m.lock().error().display(), "invalid data: dataset mutex already held by this thread");
  bool other_got_it = false;
  std::thread t([&] { other_got_it = m.lock().has_value(); });
  g.release();
  t.join();
  EXPECT_TRUE(other_got_it);
  EXPECT_FALSE(m.poisoned());
}

TEST(Time, DeadlinesSaturateInsteadOfOverflowing) {
  Instant now = Clock::now();
  EXPECT_FALSE((deadline_after(now, Duration{UINT64_MAX, 999'999'999}).has_value()));
  EXPECT_FALSE((Duration{UINT64_MAX, 0}.to_clock().has_value()));
  EXPECT_EQ(deadline_after(now, Duration::from_millis(1500)).value() - now, std::chrono::milliseconds(1500));
  EXPECT_EQ(elapsed_since(now + std::chrono::seconds(1), now), Clock::duration::zero());
  EXPECT_FALSE((elapsed_at_least(now, now + std::chrono::hours(1), Duration{UINT64_MAX, 0})));
  EXPECT_TRUE((elapsed_at_least(now, now, Duration{})));
}

TEST(Text, MessagesAndDebugForms) {
  EXPECT_EQ(text::cat("need ", 9, " bytes, got ", std::int64_t{-8}), "need 9 bytes, got -8");
  EXPECT_EQ(text::cat(std::uint8_t{200}), "200");
  EXPECT_EQ(text::hex(0x3), "0x3");
  EXPECT_EQ(text::hex(0xFFFF), "0xffff");
  EXPECT_EQ(text::lossy_utf8("ok \xC3\xA9 \xFF \xE2\x82 end"), "ok \xC3\xA9 \xEF\xBF\xBD \xEF\xBF\xBD end");
  EXPECT_EQ(text::lossy_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << "surrogates are not UTF-8";
  EXPECT_EQ(text::debug_quoted("a\"b\\\n\x01"), "\"a\\\"b\\\\\\n\\u{1}\"");
}

}  // namespace
}  // namespace quelvane
