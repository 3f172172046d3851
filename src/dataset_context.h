// What the store hands a dataset once it has created or opened it: the shared block cache, the
// journal (seen through the three calls a dataset makes), the dirty-target queue, and the
// callback that takes the dataset out of the store's registry when it closes.
#pragma once

#include <cstdint>
#include <memory>

#include "dataset_key.h"
#include "error.h"
#include "index/entry.h"
#include "queue/notifier.h"

namespace quelvane {

class BlockCache;
class Dataset;
class DirtyQueue;

// How a journalled dataset's changes reach the journal. Each call comes after the change is
// complete and under the dataset's mutex; a failure is the operation's result, but the change
// itself stays. The journal queue's wake callbacks are user code, so they are not run here:
// the hook absorbs them into `wake`, which the dataset runs once its mutex is released.
class JournalHook {
 public:
  virtual ~JournalHook() = default;
  virtual Status on_write(std::uint64_t identifier, const IndexEntry& entry, Wake& wake) = 0;
  // entry is the removed record's position, as the index held it before the delete.
  virtual Status on_delete(std::uint64_t identifier, const IndexEntry& entry, Wake& wake) = 0;
  // previous_len is the record's data length before the append (0 for a record the append
  // created).
  virtual Status on_append(std::uint64_t identifier, const IndexEntry& entry, std::uint32_t previous_len,
                           std::uint32_t appended_len, Wake& wake) = 0;
};

// Called with the closing dataset's key and handle after the dataset has released its own
// mutex, so the registry's lock is never taken under a dataset's. The store's implementation
// refers to its registry without owning it and does nothing once the registry is gone.
class OnCloseCallback {
 public:
  virtual ~OnCloseCallback() = default;
  virtual void on_close(const DataSetKey& key, const Dataset& closing) = 0;
};

struct DatasetContext {
  std::shared_ptr<BlockCache> block_cache;
  std::shared_ptr<JournalHook> journal_hook;  // only for journalled datasets of a writable store
  std::shared_ptr<DirtyQueue> dirty_queue;    // every dataset of a writable store has one
  std::shared_ptr<OnCloseCallback> on_close;
  bool read_only = false;
};

}  // namespace quelvane
