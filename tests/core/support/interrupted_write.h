// Rebuilds the files an interrupted write leaves behind. A data segment change is a sequence of
// steps separated by store barriers: the steps land in order, the stores inside one step in any
// order. A recorder takes the file at every barrier the code passes; from those snapshots come
// every state a kill can leave: the file at some barrier plus any part of the next step.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "util/fs.h"

namespace quelvane::testing {

using Bytes = std::vector<std::uint8_t>;

// Takes the file at every store barrier of a data segment while it lives (one at a time).
class BarrierRecorder {
 public:
  BarrierRecorder();
  ~BarrierRecorder();
  BarrierRecorder(const BarrierRecorder&) = delete;
  BarrierRecorder& operator=(const BarrierRecorder&) = delete;

  // The snapshots of one file, in barrier order.
  std::vector<Bytes> of(const fs::Path& path) const;

 private:
  static void record(const fs::Path& path);
  std::vector<std::pair<fs::Path, Bytes>> snapshots_;
};

struct InterruptedState {
  std::string label;  // "step 2 of 7, stores {0,3}"
  Bytes bytes;
};

// steps: the file before the change, at each barrier, and after it. Within a step, each 8-byte
// word of [word_area_begin, word_area_end) is one store (the state words); elsewhere a changed
// run of up to 8 bytes is one store and a longer run a copy that may stop halfway. A file that
// grew during the change is taken with its new length, the new bytes zero, at every state.
std::vector<InterruptedState> interrupted_states(std::vector<Bytes> steps, std::uint64_t word_area_begin,
                                                 std::uint64_t word_area_end);

Bytes read_bytes(const fs::Path& path);
void write_bytes(const fs::Path& path, const Bytes& bytes);

}  // namespace quelvane::testing
