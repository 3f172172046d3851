// The shared building blocks: POSIX helpers, the mapped file, the poisoning mutex, deadlines.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "dataset_state.h"
#include "index/segment.h"
#include "journal/log.h"
#include "journal/segment.h"
#include "queue/state.h"
#include "segment/data.h"
#include "support/file_faults.h"
#include "support/msync_counter.h"
#include "support/temp_dir.h"
#include "util/boot.h"
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

// Runs body in a child and reports how it ended: its exit code, or 1000 + the signal that ended it.
template <class Body>
int in_child(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// The outcome of a create, the created object let go of at once.
template <class T>
Status made(Result<T> created) {
  if (!created) return fail(std::move(created).error());
  return {};
}

std::vector<std::uint8_t> contents(const fs::Path& path) { return fs::read_file(path).value_or(std::vector<std::uint8_t>{}); }

// A new file takes its name only once its first contents are written: a failure anywhere
// before (the fill included) removes it, and a kill leaves the name as it was.
TEST(MappedFile, ANewFileTakesItsNameOnlyOnceFilled) {
  TempDir dir;
  const fs::Path path = dir / "seg";
  const fs::Path temporary = fs::temporary_beside(path);
  auto write_seven = [](MappedFile& f) -> Status {
    f.store<std::uint32_t>(0, 7);
    return {};
  };
  ASSERT_TRUE(MappedFile::create(path, 4096, write_seven).has_value());
  EXPECT_EQ(MappedFile::open(path, MappedFile::Access::ReadOnly)->load<std::uint32_t>(0), 7u);
  EXPECT_FALSE(fs::path_exists(temporary));
  const std::vector<std::uint8_t> old = contents(path);

  auto refuse = [](MappedFile& f) -> Status {
    f.store<std::uint32_t>(0, 9);
    return fail(Error::invalid_data("no header"));
  };
  for (const fs::Path& target : {dir / "new", path}) {
    SCOPED_TRACE(target.native());
    const bool existed = fs::path_exists(target);
    auto refused = MappedFile::create(target, 4096, refuse);
    EXPECT_EQ(refused.error(), Error::invalid_data("no header"));
    EXPECT_FALSE(fs::path_exists(fs::temporary_beside(target)));
    if (existed) {
      EXPECT_EQ(contents(target), old);
    } else {
      EXPECT_FALSE(fs::path_exists(target));
    }
    // Killed while the file is being filled.
    const int ended = in_child([&] {
      (void)MappedFile::create(target, 4096, [](MappedFile& f) -> Status {
        f.store<std::uint32_t>(0, 9);
        _exit(0);
      });
      return 1;
    });
    EXPECT_EQ(ended, 0);
    if (existed) {
      EXPECT_EQ(contents(target), old);
    } else {
      EXPECT_FALSE(fs::path_exists(target));
    }
  }
}

// Every file of the store that is made through a mapping, created on a full disk, with a
// write-back that fails, or by a process killed while it reserves the file's space: nothing
// stays under the file's name, and a failure leaves no temporary file either.
TEST(MappedFile, EveryStoreFileCreatedWithAFaultLeavesNothingUnderItsName) {
  TempDir dir;
  ASSERT_TRUE(fs::create_dir_all(dir / "data").has_value());  // the segment set makes it
  struct Creator {
    const char* name;
    fs::Path path;
    std::function<Status()> create;
  };
  const Creator creators[] = {
      {"data segment", dir / "data" / "00000000000000000000",
       [&] { return made(DataSegment::create(dir / "data" / "00000000000000000000", 0, 4096, 1 << 20, 3, 0)); }},
      {"index segment", dir / "index" / IndexSegment::file_name(0),
       [&] { return made(IndexSegment::create(dir / "index", 0, 4096, 1 << 20, 3, 0)); }},
      {"journal segment", dir / "journal" / journal::segment_file_name(1),
       [&] {
         return made(JournalSegment::create(dir / "journal" / journal::segment_file_name(1), 1, 4096, 1 << 20, 3, 0));
       }},
      {"consumer group state", dir / "queue" / "g",
       [&] { return made(QueueState::open_or_create(dir / "queue" / "g", 0)); }},
      {"dataset state", dir / "state", [&] { return made(DatasetStateFile::open_or_create(dir.path())); }},
  };
  // Smaller than every one of these files, the 64-byte dataset state included.
  constexpr rlim_t kTooSmall = 32;
  for (const Creator& c : creators) {
    SCOPED_TRACE(c.name);
    const fs::Path temporary = fs::temporary_beside(c.path);
    {
      testing::FileSizeLimit full_disk(kTooSmall);
      const Status made = c.create();
      ASSERT_FALSE(made.has_value());
      EXPECT_EQ(made.error().os_code(), EFBIG);
    }
    EXPECT_FALSE(fs::path_exists(c.path)) << "full disk";
    EXPECT_FALSE(fs::path_exists(temporary)) << "full disk";

    testing::fail_msync_between(0, UINTPTR_MAX);
    const Status synced = c.create();
    testing::fail_msync_between(0, 0);
    ASSERT_FALSE(synced.has_value());
    EXPECT_EQ(synced.error().os_code(), EIO);
    EXPECT_FALSE(fs::path_exists(c.path)) << "failed write-back";
    EXPECT_FALSE(fs::path_exists(temporary)) << "failed write-back";

    // Beyond the file size limit the kernel ends the process with SIGXFSZ.
    const int ended = in_child([&] {
      rlimit lim{kTooSmall, kTooSmall};
      setrlimit(RLIMIT_FSIZE, &lim);
      (void)c.create();
      return 0;
    });
    EXPECT_EQ(ended, 1000 + SIGXFSZ);
    EXPECT_FALSE(fs::path_exists(c.path)) << "killed while reserving";
    (void)fs::remove_file(temporary);

    ASSERT_TRUE(c.create().has_value());
    EXPECT_TRUE(fs::path_exists(c.path));
    EXPECT_FALSE(fs::path_exists(temporary));
  }
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

TEST(BootId, TheKernelsIdentifierIsReadAndOnlyAnotherKnownBootCountsAsOther) {
  std::optional<quelvane::util::BootId> now = quelvane::util::current_boot_id();
  ASSERT_TRUE(now.has_value()) << "this machine's kernel tells its boot identifier";
  EXPECT_FALSE(quelvane::util::is_other_boot(*now));
  quelvane::util::BootId other = *now;
  other[15] ^= 0x01;
  EXPECT_TRUE(quelvane::util::is_other_boot(other));
  EXPECT_FALSE(quelvane::util::is_other_boot(quelvane::util::BootId{})) << "all zero: not known";

  quelvane::util::set_boot_id_for_testing(other);
  EXPECT_EQ(quelvane::util::current_boot_id(), other);
  EXPECT_TRUE(quelvane::util::is_other_boot(*now));
  quelvane::util::set_boot_id_for_testing(std::nullopt);
  EXPECT_FALSE(quelvane::util::is_other_boot(*now)) << "an unreadable running boot never counts as another";
  quelvane::util::reset_boot_id_for_testing();
  EXPECT_EQ(quelvane::util::current_boot_id(), now);
}
