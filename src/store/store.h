// The store: one data directory holding many datasets, with the directory's writer lock, the
// store-wide block cache, the journal, the dataset identifiers and the background maintenance.
//
//   <data_dir>/.lock                       writer lock (flock), held for the store's life
//   <data_dir>/max_identifier              decimal text: the highest identifier ever given out
//   <data_dir>/<name>/<type>/              one dataset; its identifier in .../identifier
//   <data_dir>/.journal/logs/              the journal
//
// A `Store` is used from one thread at a time: the operations that change the identifiers
// (create, open, open by identifier, drop) need it exclusively, the others may share it (the
// Python layer serialises the calls). What crosses to the background worker is shared and
// locked on its own: the registry, the dirty-target queue, the journal and the block cache.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../bg/mod.h"
#include "../cache.h"
#include "../config.h"
#include "../dataset.h"
#include "../dataset_key.h"
#include "../error.h"
#include "../journal/log.h"
#include "../journal/queue.h"
#include "../util/fs.h"
#include "../util/time.h"
#include "registry.h"

namespace quelvane {

namespace store {

inline constexpr const char* kLockFileName = ".lock";
inline constexpr const char* kMaxIdentifierFileName = "max_identifier";
inline constexpr const char* kIdentifierFileName = "identifier";
// Identifier files hold at most 20 digits; anything far longer is not one.
inline constexpr std::uint64_t kMaxIdentifierFileLen = 4096;

// Opens (creating when absent, never truncating) <data_dir>/.lock and takes an exclusive,
// non-blocking flock on it: the descriptor, or none when another holder has the lock.
Result<std::optional<fs::FileDescriptor>> try_lock_dir(const fs::Path& data_dir);

// The identifier in text: Unicode white space around it is ignored, then one or more ASCII
// digits that fit in u64. "{label} must be a decimal u64 string", "{label} exceeds maximum u64
// identifier value", "{label} must be > 0" (when zero is refused).
Result<std::uint64_t> parse_identifier(std::string_view label, std::string_view text, bool zero_allowed);
// <data_dir>/max_identifier; 0 when the file is missing.
Result<std::uint64_t> read_max_identifier(const fs::Path& data_dir);
// <dataset_dir>/identifier, above 0; NotFound "dataset identifier not found at {path}" when
// missing, the path shown under shown_dir (the caller's spelling of the directory) when given.
Result<std::uint64_t> read_identifier_file(const fs::Path& dataset_dir, const fs::Path& shown_dir = {});
// The decimal digits as the whole file, written under a temporary name and renamed into place,
// so a kill leaves it absent or complete.
Status write_identifier_file(const fs::Path& path, std::uint64_t value);
// Rewrites <data_dir>/max_identifier in place, never truncating first: the digits at offset 0,
// followed by spaces up to the old length, then the file cut to the digits. A kill in between
// leaves the new value with trailing white space, which reads as the new value.
Status write_max_identifier(const fs::Path& data_dir, std::uint64_t value);
// A writable open's reading of max_identifier: a file a power loss left empty (or blank) is
// mended from the largest identifier the datasets on disk hold, durably; a read-only one takes
// that value without writing. Any other damage stays an error.
Result<std::uint64_t> read_or_mend_max_identifier(const fs::Path& data_dir, bool writable);

// Called after each step of a dataset's create or drop and of the max_identifier rewrite that
// leaves something on disk, with the step's name. Tests install one to stop the process there,
// as a kill would; there is none otherwise.
using StepObserver = void (*)(std::string_view step);
void set_step_observer(StepObserver observer);
void step_done(std::string_view step);

// A dataset is built under kCreatingName beside the datasets of its name and renamed into
// place as its last step; a dropped one is renamed to kDroppingName before it is removed. The
// key rule refuses both names, so no listing ever shows a dataset half made or half removed.
inline constexpr const char* kCreatingName = ".creating";
inline constexpr const char* kDroppingName = ".dropping";

struct ScannedDataset {
  std::string name;
  std::string dataset_type;
  fs::Path dir;

  bool operator==(const ScannedDataset&) const = default;
};
// Every <name>/<type>/ directory (symbolic links to directories included) whose two parts
// follow the key rule, sorted by name then type as bytes; meta and identifier are not required.
// With sweep (a writable store: only the writer makes them), what a killed create or drop left
// under the two staging names is removed on the way.
Result<std::vector<ScannedDataset>> scan_datasets(const fs::Path& data_dir, bool sweep = false);
// The types scan_datasets lists under name (which follows the key rule), in its order, from
// <data_dir>/<name>/ alone; with sweep, that directory's staging leftovers are removed. A data
// directory that cannot be looked at gives the error its scan would.
Result<std::vector<std::string>> scan_types(const fs::Path& data_dir, std::string_view name, bool sweep = false);

}  // namespace store

class Store {
 public:
  // Validates the configuration before touching the disk, then settles the read-only mode:
  // read_only false takes the writer lock or fails with "store is already locked for writing";
  // unset takes it or falls back to read-only; true creates nothing and takes no lock (a
  // missing directory is fine). A relative data_dir is resolved against the current directory
  // here, once; data_dir() keeps the text as given.
  static Result<std::unique_ptr<Store>> open(fs::Path data_dir, StoreConfig config);
  // The same with the background maintenance's clocks replaced (tests drive its schedule).
  static Result<std::unique_ptr<Store>> open(fs::Path data_dir, StoreConfig config, bg::Clocks clocks);

  // Stops and joins the background worker, flushes the journal, releases the registry (and the
  // datasets only it held), the cache and the journal, and gives up the writer lock last. A
  // dataset handed out and still open keeps the lock until it is closed or released.
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const fs::Path& data_dir() const { return data_dir_; }
  // The directory every file operation uses: data_dir made absolute at open.
  const fs::Path& io_dir() const { return io_dir_; }
  const StoreConfig& config() const { return config_; }
  // The effective flag: asked for, or the lock was held elsewhere.
  bool read_only() const { return read_only_; }
  std::uint64_t max_identifier() const { return max_identifier_; }
  // The writer lock's token (null for a read-only store). Whatever the store hands out that
  // can write holds one, so the lock outlives the store while such an object lives.
  const WriterLockToken& writer_lock() const { return writer_lock_; }

  // Dataset operations. A dataset returned here is registered until it closes; further calls
  // for the same key return handles of the same dataset.
  //   create: "read-only store cannot create dataset", "journal dataset is reserved", the key
  //   check, "dataset {name}/{type} is already open", "dataset already exists at {dir}", the
  //   options' errors, "dataset identifier overflow". Without options the store's sizes,
  //   compression, no retention, a sparse index and no journal are used.
  Result<Dataset> create_dataset(std::string_view name, std::string_view dataset_type,
                                 std::optional<DataSetConfigBuilder> options = std::nullopt);
  //   open: NotFound "journal is not exposed as a dataset handle", the key check, NotFound
  //   "dataset identifier not found at {path}", "dataset {key:?} identifier {id} exceeds
  //   authoritative max_identifier {max}", "duplicate dataset identifier {id}: {a:?} and {b:?}".
  Result<Dataset> open_dataset(std::string_view name, std::string_view dataset_type);
  //   "dataset identifier must be > 0"; NotFound "dataset identifier {id}".
  Result<Dataset> open_dataset_by_identifier(std::uint64_t identifier);
  //   Opens the dataset if needed, closes it, removes its directory (never following a
  //   symbolic link inside it) and forgets its identifier.
  Status drop_dataset(std::string_view name, std::string_view dataset_type);
  //   Opens and registers the dataset if needed, with the identifier checks of open.
  Result<DataSetInspectResult> inspect_dataset(std::string_view name, std::string_view dataset_type);
  Result<std::vector<std::string>> get_dataset_names();
  Result<std::vector<std::string>> get_dataset_types(std::string_view name);

  // Background maintenance: "read-only store has no background tasks" / "bg_tasks not
  // initialised". A tick runs the due tasks on the caller's thread.
  Result<Duration> next_background_delay();
  Result<bg::Tick> tick_background_tasks();

  // The journal, as its operations answer them (a disabled journal says so itself).
  Result<std::optional<JournalRecordData>> journal_read(std::int64_t sequence);
  Result<std::vector<JournalRecordData>> journal_query(std::int64_t start, std::int64_t end);
  Result<std::optional<std::int64_t>> journal_latest_sequence();
  // "read-only store cannot open journal queue". The queue and its consumers keep the writer
  // lock until the journal queue closes.
  Result<std::shared_ptr<JournalQueue>> open_journal_queue();
  // The first step of closing the store for good: closes the journal and its queue, whose
  // consumers then get "journal queue is closed", so that nothing the store handed out through
  // the journal keeps the writer lock. A store freed without this leaves the queue open.
  Status close_journal();
  const std::shared_ptr<Journal>& journal() const { return journal_; }

  // Takes the background maintenance out and stops it (the first step of the teardown).
  void shutdown_background();

 private:
  Store() = default;

  fs::Path dataset_dir(const DataSetKey& key) const { return io_dir_ / key.name / key.dataset_type; }
  // The same directory as the caller spelled the data directory: what messages and handles show.
  fs::Path shown_dir(const DataSetKey& key) const { return data_dir_ / key.name / key.dataset_type; }
  DataSetKey key_of(std::string_view name, std::string_view dataset_type) const {
    return {std::string(name), std::string(dataset_type)};
  }
  // A handle registered under key, or none; a poisoned registry is an internal failure.
  std::optional<Dataset> registered(const DataSetKey& key) const;
  // registered, but in a read-only store none when a writer elsewhere has since dropped the
  // registered dataset (and perhaps made another under its name).
  std::optional<Dataset> registered_current(const DataSetKey& key) const;
  // Registers ds under key, releasing a handle already there after the lock.
  void register_dataset(const DataSetKey& key, const Dataset& ds);
  // The identifier of dir, refused above max_identifier (a read-only store first reads
  // max_identifier again, in case a live writer created the dataset since).
  Result<std::uint64_t> checked_identifier(const DataSetKey& key, const fs::Path& dir);
  Error above_max(const DataSetKey& key, std::uint64_t identifier) const;
  // Opens dir as this store opens datasets: read-only or writable, identifier set, context
  // attached. Registration is the caller's.
  Result<Dataset> open_unregistered(const DataSetKey& key, const fs::Path& dir, std::uint64_t identifier);
  // A key's dataset from its directory, its identifier checked against the recorded ones, then
  // registered (in place of an earlier generation's handle) and its identifier recorded.
  Result<Dataset> open_and_register(const DataSetKey& key);
  Status attach(Dataset& ds, bool enable_journal);
  bool journalled(bool dataset_enable_journal) const;

  // Fields in the order the teardown releases them; the destructor spells that order out.
  fs::Path data_dir_;
  fs::Path io_dir_;
  StoreConfig config_;
  std::shared_ptr<OpenDatasets> open_datasets_;
  std::shared_ptr<BlockCache> block_cache_;
  std::shared_ptr<Journal> journal_;
  std::unique_ptr<BackgroundTasks> bg_tasks_;
  std::unordered_map<std::uint64_t, DataSetKey> identifiers_;
  std::uint64_t max_identifier_ = 0;
  WriterLockToken writer_lock_;
  bool read_only_ = true;
};

}  // namespace quelvane
