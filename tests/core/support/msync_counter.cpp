#include "support/msync_counter.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace quelvane::testing {

namespace {

std::atomic<bool> counting{false};
std::atomic<std::uint64_t> calls{0};

}  // namespace

MsyncCounter::MsyncCounter() {
  calls = 0;
  counting = true;
}

MsyncCounter::~MsyncCounter() { counting = false; }

std::uint64_t MsyncCounter::take() { return calls.exchange(0); }

}  // namespace quelvane::testing

// Linked into a test executable that uses a counter, this takes the place of the C library's
// msync for the whole process; the system call itself is made unchanged.
extern "C" int msync(void* addr, size_t len, int flags) {
  if (quelvane::testing::counting) ++quelvane::testing::calls;
  return static_cast<int>(::syscall(SYS_msync, addr, len, flags));
}
