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

// Polls that find nothing while a group's watermark stays below a run of empty slots: each one
// passes over the whole run again. Against query_all over the same slots, which skips them the
// way a range read does.
struct GapRun {
  double gap_poll_ms = 0;    // over a continuous index's placeholders (a gap in the timestamps)
  double gap_query_ms = 0;
  double tail_poll_ms = 0;   // over deleted records at the end of a sparse index
  double tail_query_ms = 0;
};

// One run in dir, an empty directory that exists: a gap of `gap` placeholders and a tail of
// `tail` deleted records, each polled `polls` times (the median is kept).
GapRun run_queue_gaps(std::size_t gap, std::size_t tail, int polls, const std::filesystem::path& dir);

}  // namespace bench
