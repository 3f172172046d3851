// The dataset queue on the benchmark's dataset: one consumer group pushing, polling and
// acknowledging the stream's records, and the time from a push to a blocked poll returning on
// another thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

#include "workload.h"

namespace bench {

struct QueueRun {
  double push_secs = 0;   // every record of the stream pushed
  double drain_secs = 0;  // then each polled and acknowledged
  std::vector<double> wake_us;  // push to the blocked poll returning, one per wake-up
};

// One run in dir, an empty directory that exists: the stream's payloads pushed, drained by one
// group, then `wakes` single pushes each timed until the poller blocked in poll() has it.
QueueRun run_queue(const RecordStream& stream, std::size_t wakes, const std::filesystem::path& dir);

}  // namespace bench
