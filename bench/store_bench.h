// The store's own figures: how fast datasets are created through it, against the bare file
// operations a create makes, and what opening and closing a store costs once it holds many
// datasets and a long journal, against an empty store.
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

namespace bench {

struct StoreRun {
  double create_secs = 0;        // `creates` create_dataset calls on a fresh store
  double create_floor_secs = 0;  // the same directories and files made with plain system calls
  double fill_secs = 0;          // making the populated store (untimed in the figures)
  std::vector<double> open_empty_us;     // open then close of an empty store, one per round
  std::vector<double> open_datasets_us;  // the same with `datasets` datasets
  std::vector<double> open_full_us;      // the same with `datasets` datasets and the journal
};

// One run in dir, an empty directory that exists.
StoreRun run_store(std::size_t creates, std::size_t datasets, std::size_t journal_records, int open_rounds,
                   const std::filesystem::path& dir);

}  // namespace bench
