// The store's registry of open datasets, the key rule every dataset name and type follows, the
// callback through which a closing dataset leaves the registry, and the context the store
// hands each dataset. The store's operations on datasets themselves are members of `Store`
// (store.h), written in registry.cpp.
#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../cache.h"
#include "../dataset.h"
#include "../dataset_context.h"
#include "../dataset_key.h"
#include "../dirty_queue.h"
#include "../error.h"
#include "../journal/log.h"
#include "../util/fs.h"

namespace quelvane {

// The `.lock` descriptor holding the store's writer lock. It is shared by the store and by
// everything writable the store hands out, and the lock goes with the last of them: freeing a
// store while one of its datasets can still write never lets a second writer in.
class WriterLock {
 public:
  explicit WriterLock(fs::FileDescriptor fd) : fd_(std::move(fd)) {}
  int fd() const { return fd_.get(); }

 private:
  fs::FileDescriptor fd_;
};
using WriterLockToken = std::shared_ptr<const WriterLock>;

namespace store {

inline constexpr std::size_t kMaxKeyPartLen = 255;
// The journal's place among the datasets; no dataset operation hands it out.
inline const DataSetKey kJournalKey{".journal", "logs"};

// 1 to 255 bytes, each of 0-9, A-Z, a-z, _ or -.
bool valid_key_part(std::string_view part);
// The name first, then the type: "dataset name, must match ^[0-9A-Za-z_-]+$ and be at most 255
// bytes" (or "dataset type, ...").
Status check_key(const DataSetKey& key);
Status check_name(std::string_view name);

}  // namespace store

// Key -> the open dataset, behind a reader-writer lock. An internal failure that unwinds while
// the lock is held poisons it; `read` and `write` then run nothing and return none, and each
// caller decides what that means (the store's operations fail, the background skips, the
// on-close callback does nothing).
class OpenDatasets {
 public:
  using Map = std::unordered_map<DataSetKey, Dataset>;

  template <class F>
  auto read(F&& f) const -> std::optional<decltype(f(std::declval<const Map&>()))> {
    std::shared_lock lock(mutex_);
    if (poisoned_.load(std::memory_order_relaxed)) return std::nullopt;
    PoisonOnUnwind guard(poisoned_);
    return f(static_cast<const Map&>(map_));
  }

  template <class F>
  auto write(F&& f) -> std::optional<decltype(f(std::declval<Map&>()))> {
    std::unique_lock lock(mutex_);
    if (poisoned_.load(std::memory_order_relaxed)) return std::nullopt;
    PoisonOnUnwind guard(poisoned_);
    return f(map_);
  }

  // A handle of the dataset registered under key, or none; none also (with *poisoned set) when
  // the lock is poisoned.
  std::optional<Dataset> find(const DataSetKey& key, bool* poisoned = nullptr) const;
  // Every (key, handle) pair, taken under the read lock and used after it is released, so that
  // nobody takes a dataset's mutex while holding the registry's; none when poisoned.
  std::optional<std::vector<std::pair<DataSetKey, Dataset>>> snapshot() const;
  bool poisoned() const { return poisoned_.load(std::memory_order_relaxed); }

 private:
  struct PoisonOnUnwind {
    explicit PoisonOnUnwind(std::atomic<bool>& flag) : flag_(flag), exceptions_(std::uncaught_exceptions()) {}
    ~PoisonOnUnwind() {
      if (InternalFailure::unwinding(exceptions_)) flag_.store(true, std::memory_order_relaxed);
    }
    std::atomic<bool>& flag_;
    int exceptions_;
  };

  mutable std::shared_mutex mutex_;
  mutable std::atomic<bool> poisoned_{false};
  Map map_;
};

// Takes a closing dataset out of the registry. It refers to the registry without owning it, so
// a registered dataset never keeps the registry (and so itself) alive. Each writable dataset
// gets its own instance carrying the writer-lock token, which the dataset gives up here, once
// its close has succeeded.
class RegistryCloseCallback final : public OnCloseCallback {
 public:
  RegistryCloseCallback(std::weak_ptr<OpenDatasets> registry, WriterLockToken writer_lock)
      : registry_(std::move(registry)), writer_lock_(std::move(writer_lock)) {}

  void on_close(const DataSetKey& key, const Dataset& closing) override;

 private:
  std::weak_ptr<OpenDatasets> registry_;
  std::mutex token_mutex_;
  WriterLockToken writer_lock_;
};

namespace store {

// Removes key's entry when it is the closing dataset's own: a handle of an earlier generation
// (a read-only store follows a dataset dropped and made again) never takes its successor's
// entry. Nothing when the registry is gone or its lock poisoned. The removed handle is released
// after the lock, so no dataset teardown ever runs under it.
void remove_open_dataset(const std::weak_ptr<OpenDatasets>& registry, const DataSetKey& key, const Dataset& closing);

// Syncs the open datasets the journal owes (each whole, with no other lock held), so that its
// records of their changes can become durable; goes on past a failure and returns the first.
// Nothing when the registry is gone.
Status sync_owed_datasets(const std::weak_ptr<OpenDatasets>& registry, const OwedDatasets& owed);

// What the store hands one dataset. The journal hook only for a journalled dataset of a writable
// store whose journal is enabled; the dirty queue for every dataset of a writable store, which
// must have one ("bg_tasks not initialised" otherwise); none of the two for a read-only store.
struct ContextParts {
  std::shared_ptr<BlockCache> block_cache;
  std::shared_ptr<JournalHook> journal;  // null when the store's journal is disabled
  std::shared_ptr<DirtyQueue> dirty_queue;
  std::weak_ptr<OpenDatasets> registry;
  WriterLockToken writer_lock;  // null for a read-only store
  bool read_only = false;
};
Result<DatasetContext> make_context(const ContextParts& parts, bool enable_journal);

}  // namespace store

}  // namespace quelvane
