// The power-loss recorder as a preloaded library (LD_PRELOAD) for a process that is killed: with
// QUELVANE_POWER_ROOT and QUELVANE_POWER_IMAGES set when it loads, every msync, fsync and
// fdatasync of a file under the root keeps its synced image in the images directory first, so a
// harness can build the disks a power loss at the kill could have left. Loaded without them (or
// by ctypes into the harness itself) it records nothing and only lends quelvane_power_build.
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "support/power_loss.h"

namespace {

quelvane::testing::SyncRecording* recording = nullptr;

// A recording that fails must not pass for a sync that was recorded: the process stops.
template <class F>
void record(F&& f) {
  if (recording == nullptr) return;
  try {
    f(*recording);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sync recorder: %s\n", e.what());
    std::abort();
  }
}

__attribute__((constructor)) void start() {
  const char* root = std::getenv("QUELVANE_POWER_ROOT");
  const char* images = std::getenv("QUELVANE_POWER_IMAGES");
  if (root == nullptr || images == nullptr || *root == 0 || *images == 0) return;
  try {
    recording = new quelvane::testing::SyncRecording(root, images);  // lives as long as the process
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sync recorder: %s\n", e.what());
    std::abort();
  }
}

}  // namespace

extern "C" int msync(void* addr, size_t len, int flags) {
  if (flags & MS_SYNC) record([&](auto& r) { r.before_msync(addr, len); });
  return static_cast<int>(::syscall(SYS_msync, addr, len, flags));
}

extern "C" int fsync(int fd) {
  record([&](auto& r) { r.before_fsync(fd); });
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
  record([&](auto& r) { r.before_fsync(fd); });
  return static_cast<int>(::syscall(SYS_fdatasync, fd));
}

// For the harness (through ctypes): lays into out the disk a power loss can leave of root from
// the images. pages: 0 synced, 1 written, 2 random from seed. Returns 0, or -1 with a message on
// standard error.
extern "C" int quelvane_power_build(const char* root, const char* images, const char* out, int pages,
                                    unsigned long long seed, int lose_unsynced_entries) {
  using quelvane::testing::PowerLoss;
  static constexpr PowerLoss::Pages by_number[] = {PowerLoss::Pages::synced, PowerLoss::Pages::written,
                                                   PowerLoss::Pages::random};
  if (pages < 0 || pages > 2) return -1;
  try {
    quelvane::testing::build_disk(root, images, out,
                                  {.pages = by_number[pages], .seed = seed, .lose_unsynced_entries = lose_unsynced_entries != 0});
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "power-loss disk: %s\n", e.what());
    return -1;
  }
}
