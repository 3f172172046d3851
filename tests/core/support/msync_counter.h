// Counts this process's msync calls while a counter lives (one counter at a time), so a test can
// see which flushes, closes and roll-overs pay for a write-back.
#pragma once

#include <cstdint>

namespace quelvane::testing {

class SyncRecording;

// While set, every msync, fsync and fdatasync is shown to the recording before it is made (one
// recording at a time; null clears it). See PowerLossRecorder.
void set_sync_recording(SyncRecording* recording);

// While set, every msync of a range that overlaps [lo, hi) fails with EIO, as a write-back the
// disk refuses would; one range at a time, and lo == hi clears it. See FailingSync.
void fail_msync_between(std::uintptr_t lo, std::uintptr_t hi);

class MsyncCounter {
 public:
  MsyncCounter();
  ~MsyncCounter();
  MsyncCounter(const MsyncCounter&) = delete;
  MsyncCounter& operator=(const MsyncCounter&) = delete;

  // The calls since construction or the last take, which starts the count again.
  std::uint64_t take();
};

}  // namespace quelvane::testing
