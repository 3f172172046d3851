#include "support/msync_counter.h"

#include "support/power_loss.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace quelvane::testing {

namespace {

std::atomic<bool> counting{false};
std::atomic<std::uint64_t> calls{0};
std::atomic<std::uintptr_t> failing_lo{0};
std::atomic<std::uintptr_t> failing_hi{0};
std::atomic<SyncRecording*> recording{nullptr};

bool fails(const void* addr, std::size_t len) {
  const auto lo = reinterpret_cast<std::uintptr_t>(addr);
  return lo < failing_hi.load() && failing_lo.load() < lo + len;
}

void before_fsync(int fd) {
  if (SyncRecording* r = recording.load()) r->before_fsync(fd);
}

}  // namespace

void set_sync_recording(SyncRecording* r) { recording = r; }

void fail_msync_between(std::uintptr_t lo, std::uintptr_t hi) {
  failing_hi = 0;  // never a moment with the new start and the old end
  failing_lo = lo;
  failing_hi = hi;
}

MsyncCounter::MsyncCounter() {
  calls = 0;
  counting = true;
}

MsyncCounter::~MsyncCounter() { counting = false; }

std::uint64_t MsyncCounter::take() { return calls.exchange(0); }

}  // namespace quelvane::testing

// Linked into a test executable that uses a counter, a failing range or a sync recording, these
// take the place of the C library's msync, fsync and fdatasync for the whole process; the system
// calls themselves are made unchanged.
extern "C" int msync(void* addr, size_t len, int flags) {
  if (quelvane::testing::counting) ++quelvane::testing::calls;
  if (auto* r = quelvane::testing::recording.load(); r && (flags & MS_SYNC)) r->before_msync(addr, len);
  if (quelvane::testing::fails(addr, len)) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_msync, addr, len, flags));
}

extern "C" int fsync(int fd) {
  quelvane::testing::before_fsync(fd);
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
  quelvane::testing::before_fsync(fd);
  return static_cast<int>(::syscall(SYS_fdatasync, fd));
}
