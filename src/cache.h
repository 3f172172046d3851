// The store-wide cache of decompressed blocks, the hot block a range cursor keeps, and the
// readers that take one record out of a decompressed block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error.h"
#include "util/mutex.h"
#include "util/time.h"

namespace quelvane {

// One block of one dataset: the dataset's identifier (never 0 in the cache), the file offset of
// its data segment and the block's offset inside that segment. All three are needed: offsets
// repeat across segments and datasets.
struct BlockKey {
  std::uint64_t dataset = 0;
  std::uint64_t segment = 0;
  std::uint64_t block = 0;

  bool operator==(const BlockKey&) const = default;
};

// Hashes all three fields under a per-map key, so that no two maps share a bucket layout.
struct BlockKeyHash {
  std::uint64_t seed = 0;
  std::size_t operator()(const BlockKey& k) const noexcept;
};

// A decompressed block (the raw record sequence). Shared: the cache holds one reference and
// every reader another, so evicting an entry never pulls bytes from under a reader.
using BlockPayload = std::shared_ptr<const std::vector<std::uint8_t>>;

class BlockCache {
 public:
  using NowFn = std::function<Instant()>;

  // max_memory bounds the sum of the entries' costs (payload length + 96); 0 disables the cache.
  explicit BlockCache(std::uint64_t max_memory);
  // The same with another source of "now", for tests that must control ages (null: the clock).
  BlockCache(std::uint64_t max_memory, NowFn now);

  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // The cached payload, or nullptr. A hit counts as an access.
  BlockPayload get(const BlockKey& key);
  // Caches payload under key and returns what is now cached there: the payload already present
  // (the given one is released, the present entry's access time kept), else the given one.
  // nullptr when the cache is disabled; the caller then goes on with its own reference.
  BlockPayload insert(const BlockKey& key, BlockPayload payload);
  // Whether an entry was removed.
  bool invalidate(const BlockKey& key);
  // Removes every block of one dataset; returns how many.
  std::size_t remove_dataset(std::uint64_t dataset);
  // Removes every entry not accessed for at least idle; returns how many.
  std::size_t evict_idle(Duration idle);

  std::uint64_t max_memory() const { return max_memory_; }

 private:
  // One cache line: a probe reads the key and the payload's pointer together. 32 bits of the
  // hash place a slot, enough for any table that fits in memory, and leave room in the line
  // for the entry's place in its dataset's key list.
  struct alignas(64) Entry {
    BlockKey key;
    std::uint32_t hash = 0;
    std::uint32_t in_dataset = 0;  // index of key in its dataset's key list
    BlockPayload payload;          // null in a free slot
    std::uint64_t cost = 0;
    Instant last_access;
  };
  static_assert(sizeof(Entry) == 64);
  // The entries, in open addressing with linear probing, at most half full. A hit mostly reads
  // one slot of one cache line, where a node-based map goes from a bucket to the node before
  // the key's and then to its own: with the decoded blocks far larger than the processor's
  // caches, every step of that walk is a likely miss on each read. Beside the slots, each
  // dataset with entries has the list of their keys, so that a dataset's close visits its own
  // entries only, however many slots the table has grown to.
  class Table {
   public:
    explicit Table(BlockKeyHash hash) : hash_(hash) {}

    Entry* find(const BlockKey& key) noexcept;
    // key is not present. An allocation that fails throws while the entries are as they were.
    void insert(const BlockKey& key, BlockPayload payload, std::uint64_t cost, Instant at);
    // Frees the slot of e, which find returned. Invalidates pointers to entries.
    void erase(Entry& e) noexcept;
    // Frees every entry of one dataset; returns their number and the sum of their costs.
    std::pair<std::size_t, std::uint64_t> erase_dataset(std::uint64_t dataset) noexcept;
    std::size_t size() const { return size_; }
    template <class F>
    void for_each(F&& f) const {
      for (const Entry& e : slots_)
        if (e.payload != nullptr) f(e);
    }

   private:
    using KeyLists = std::unordered_map<std::uint64_t, std::vector<BlockKey>>;

    std::size_t mask() const { return slots_.size() - 1; }
    std::uint32_t hash_of(const BlockKey& key) const noexcept { return static_cast<std::uint32_t>(hash_(key)); }
    void grow();
    void place(Entry&& e) noexcept;
    // Frees the slot of e and moves later entries of its run back, so that no probe stops
    // early at the hole; the key lists are the caller's.
    void free_slot(Entry& e) noexcept;

    BlockKeyHash hash_;
    std::vector<Entry> slots_;  // a power of two in size, or empty
    std::size_t size_ = 0;
    KeyLists by_dataset_;  // an empty list only where an insert failed after making it
  };
  struct State {
    Table table;
    std::uint64_t total_cost = 0;  // sum of the entries' costs, kept as entries come and go
  };

  Instant now() const;
  // Evicts oldest-first so that an entry of the given cost fits within 85% of the budget.
  void make_room(State& state, std::uint64_t cost);
  // Removes the entries for which matches(entry) holds, walking the whole table; returns how many.
  template <class Pred>
  static std::size_t erase_matching(State& state, Pred matches);

  std::uint64_t max_memory_;
  NowFn now_;
  Mutex<State> state_;
};

// Which texts the record readers use for an offset out of range: reads on behalf of a cursor or
// of a fresh decompression say "hot block: ...", a data segment's read from a plain cache hit
// says it without the prefix.
enum class RecordMessages : std::uint8_t { HotBlock, Plain };

// A range cursor's reference to the last block it decompressed. The reference is weak: once the
// cache and every reader have let the payload go, the hot block no longer serves it.
class HotBlock {
 public:
  // Remembers key and a weak reference to payload, dropping the previous one.
  void set(const BlockKey& key, const BlockPayload& payload);
  // The remembered payload when key matches and the payload is still alive, else nullptr.
  BlockPayload get(const BlockKey& key) const;

  // The data length of the record at in_block (u32 length, i64 timestamp, data).
  static Result<std::uint32_t> record_len(std::span<const std::uint8_t> payload, std::uint16_t in_block,
                                          RecordMessages messages = RecordMessages::HotBlock);
  // The timestamp of the record at in_block and its data, viewed inside payload.
  static Result<std::pair<std::int64_t, std::span<const std::uint8_t>>> view_record(
      std::span<const std::uint8_t> payload, std::uint16_t in_block,
      RecordMessages messages = RecordMessages::HotBlock);
  // The timestamp and a copy of the data of the record at in_block.
  static Result<std::pair<std::int64_t, std::vector<std::uint8_t>>> read_record(
      std::span<const std::uint8_t> payload, std::uint16_t in_block,
      RecordMessages messages = RecordMessages::HotBlock);

 private:
  bool present_ = false;
  BlockKey key_{};
  std::weak_ptr<const std::vector<std::uint8_t>> payload_;
};

}  // namespace quelvane

template <>
struct std::hash<quelvane::BlockKey> {
  std::size_t operator()(const quelvane::BlockKey& k) const noexcept { return quelvane::BlockKeyHash{}(k); }
};
