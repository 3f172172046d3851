// The store's own figures: how fast datasets are created through it, against the bare file
// operations a create makes, what opening and closing a store costs once it holds many
// datasets and a long journal, against an empty store, and the operations whose cost must not
// grow with the store: a flush tick, closing datasets beside a full block cache, and listing
// the types of one name.
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

// Closing `closes` datasets, each opened just before, beside an empty block cache and beside one
// that another open dataset's reads filled to its budget; then closing that dataset.
struct CloseRun {
  std::size_t closes = 0;
  std::size_t cached_blocks = 0;  // what the full cache holds, all of the other dataset's
  double empty_cache_secs = 0;
  double full_cache_secs = 0;
  double own_close_secs = 0;      // the close of the dataset whose blocks fill the cache
};

// get_dataset_types of one name (100 types) in a data directory of `datasets` datasets.
struct TypesRun {
  std::size_t datasets = 0;
  double call_us = 0;  // median of one call, over different names
};

struct StoreRun {
  double create_secs = 0;        // `creates` create_dataset calls on a fresh store
  double create_floor_secs = 0;  // the same directories and files made with plain system calls
  double fill_secs = 0;          // making the populated store (untimed in the figures)
  std::vector<double> open_empty_us;     // open then close of an empty store, one per round
  std::vector<double> open_datasets_us;  // the same with `datasets` datasets
  std::vector<double> open_full_us;      // the same with `datasets` datasets and the journal
  std::vector<TickRun> ticks;            // one per count of dirty datasets, fewest first
  CloseRun closes;
  std::vector<TypesRun> types;           // one per count of datasets, fewest first
};

struct StoreSizes {
  std::size_t creates = 0;
  std::size_t datasets = 0;
  std::size_t journal_records = 0;
  int open_rounds = 1;
  std::vector<std::size_t> dirty_counts;  // ascending
  std::size_t closes = 0;
  std::vector<std::size_t> type_list_datasets;  // ascending
};

// One run in dir, an empty directory that exists.
StoreRun run_store(const StoreSizes& sizes, const std::filesystem::path& dir);

}  // namespace bench
