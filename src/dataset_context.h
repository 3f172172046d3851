// What the store hands a dataset once it has created or opened it: the shared block cache, the
// journal (seen through the three calls a dataset makes), the dirty-target queue, and the
// callback that takes the dataset out of the store's registry when it closes.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "dataset_key.h"
#include "error.h"
#include "index/entry.h"
#include "queue/notifier.h"

namespace quelvane {

class BlockCache;
class Dataset;
class DirtyQueue;

class JournalHook;

// The room a journal keeps for the record of one change, made before the change: while it is
// held no other change reaches the journal, so once the change is made its record cannot be
// refused for want of space. Letting it go unused gives the room back.
class JournalRoom {
 public:
  JournalRoom() = default;  // holds nothing
  explicit JournalRoom(JournalHook& hook) : hook_(&hook) {}
  JournalRoom(JournalRoom&& o) noexcept : hook_(std::exchange(o.hook_, nullptr)) {}
  JournalRoom& operator=(JournalRoom&& o) noexcept {
    if (this != &o) {
      release();
      hook_ = std::exchange(o.hook_, nullptr);
    }
    return *this;
  }
  ~JournalRoom() { release(); }

  bool held() const { return hook_ != nullptr; }
  inline void release() noexcept;

 private:
  JournalHook* hook_ = nullptr;
};

// How a journalled dataset's changes reach the journal: a change whose record the journal
// cannot take is refused before anything changes. make_room comes before the change, and its
// failure is the operation's result; the call that records the change comes after it,
// complete, with the room; both under the dataset's mutex. The journal queue's wake callbacks
// are user code, so they are not run here: the hook absorbs them into `wake`, which the dataset
// runs once its mutex is released.
class JournalHook {
 public:
  enum class Change : std::uint8_t { Write, Delete, Append };

  virtual ~JournalHook() = default;
  virtual Result<JournalRoom> make_room(Change change, std::uint64_t identifier) = 0;
  virtual Status on_write(JournalRoom room, std::uint64_t identifier, const IndexEntry& entry, Wake& wake) = 0;
  // entry is the removed record's position, as the index held it before the delete.
  virtual Status on_delete(JournalRoom room, std::uint64_t identifier, const IndexEntry& entry, Wake& wake) = 0;
  // previous_len is the record's data length before the append (0 for a record the append
  // created).
  virtual Status on_append(JournalRoom room, std::uint64_t identifier, const IndexEntry& entry,
                           std::uint32_t previous_len, std::uint32_t appended_len, Wake& wake) = 0;

  // Makes the journal records of every change made so far durable, after syncing the other
  // datasets they name; called by a flush with no dataset's mutex held.
  virtual Status make_durable() = 0;

 private:
  friend class JournalRoom;
  // Called once for each room handed out, when it is let go.
  virtual void give_back_room() noexcept = 0;
};

void JournalRoom::release() noexcept {
  if (hook_ != nullptr) std::exchange(hook_, nullptr)->give_back_room();
}

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
