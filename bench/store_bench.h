// The store's own figures: how fast datasets are created through it, against the bare file
// operations a create makes, and what opening and closing a store costs once it holds many
// datasets and a long journal, against an empty store.
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

namespace bench {

// One background flush tick over `dirty` datasets, each made dirty by one write.
struct TickRun {
  std::size_t dirty = 0;
  double tick_secs = 0;   // the whole tick: the dirty-target queue's part, the syncs, the journal
  double queue_secs = 0;  // the queue's part alone: the same items through a bare queue
};

struct StoreRun {
  double create_secs = 0;        // `creates` create_dataset calls on a fresh store
  double create_floor_secs = 0;  // the same directories and files made with plain system calls
  double fill_secs = 0;          // making the populated store (untimed in the figures)
  std::vector<double> open_empty_us;     // open then close of an empty store, one per round
  std::vector<double> open_datasets_us;  // the same with `datasets` datasets
  std::vector<double> open_full_us;      // the same with `datasets` datasets and the journal
  std::vector<TickRun> ticks;            // one per count of dirty datasets, fewest first
};

// One run in dir, an empty directory that exists; a flush tick is timed for each of
// dirty_counts (ascending).
StoreRun run_store(std::size_t creates, std::size_t datasets, std::size_t journal_records, int open_rounds,
                   const std::vector<std::size_t>& dirty_counts, const std::filesystem::path& dir);

}  // namespace bench
