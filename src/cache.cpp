#include "cache.h"

#include <sys/random.h>

#include <algorithm>
#include <limits>

#include "util/bytes.h"

namespace quelvane {

namespace {

// Bookkeeping per entry on top of its payload bytes.
constexpr std::uint64_t kEntryOverhead = 96;
// Eviction frees down to this share of the budget, so that a few more inserts fit before the next.
constexpr double kEvictTargetShare = 0.85;
// A record in a block: u32 data length, i64 timestamp, then the data.
constexpr std::uint64_t kRecordHeaderLen = 12;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// Truncates toward zero, clamping below 0 and above the u64 range.
std::uint64_t saturating_u64(double v) {
  if (!(v > 0.0)) return 0;  // also NaN
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

std::uint64_t splitmix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// A fresh key for one map's hasher from the system's random source. Should the source be
// unavailable, the clock still gives each map a different key.
std::uint64_t random_hash_seed() {
  std::uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
  return splitmix(static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()));
}

struct Texts {
  const char* index;
  const char* data;
};

Texts texts_for(RecordMessages m) {
  if (m == RecordMessages::Plain) return {"record index out of bounds", "record data out of bounds"};
  return {"hot block: record index out of bounds", "hot block: record data out of bounds"};
}

// The record header at in_block must lie inside the payload.
Status check_record_header(std::span<const std::uint8_t> payload, std::uint64_t in_block, const Texts& texts) {
  if (!bytes::fits(payload.size(), in_block, kRecordHeaderLen)) return fail(Error::invalid_data(texts.index));
  return {};
}

}  // namespace

std::size_t BlockKeyHash::operator()(const BlockKey& k) const noexcept {
  std::uint64_t h = splitmix(seed ^ 0x9e3779b97f4a7c15ull);
  h = splitmix(h ^ k.dataset);
  h = splitmix(h ^ k.segment);
  h = splitmix(h ^ k.block);
  return static_cast<std::size_t>(h);
}

// Without a source of its own the cache reads the clock directly, which a lookup does on every hit.
BlockCache::BlockCache(std::uint64_t max_memory) : BlockCache(max_memory, nullptr) {}

BlockCache::BlockCache(std::uint64_t max_memory, NowFn now)
    : max_memory_(max_memory),
      now_(std::move(now)),
      state_("block cache lock", State{Table(BlockKeyHash{random_hash_seed()}), 0}) {}

Instant BlockCache::now() const { return now_ ? now_() : Clock::now(); }

BlockPayload BlockCache::get(const BlockKey& key) {
  if (max_memory_ == 0) return nullptr;
  // Read before the lock, so that the lookup under it cannot throw.
  const Instant accessed = now();
  return state_.with_lock_or_panic([&](State& state) noexcept -> BlockPayload {
    Entry* e = state.table.find(key);
    if (e == nullptr) return nullptr;
    e->last_access = accessed;
    return e->payload;
  });
}

BlockPayload BlockCache::insert(const BlockKey& key, BlockPayload payload) {
  if (max_memory_ == 0) return nullptr;
  QV_ASSERT(payload != nullptr, "a cached block has a payload");
  auto state = state_.lock_or_panic();
  if (const Entry* e = state->table.find(key)) return e->payload;
  std::uint64_t cost = saturating_add(payload->size(), kEntryOverhead);
  if (saturating_add(state->total_cost, cost) > max_memory_) make_room(*state, cost);
  state->table.insert(key, payload, cost, now());
  state->total_cost = saturating_add(state->total_cost, cost);
  return payload;
}

void BlockCache::make_room(State& state, std::uint64_t cost) {
  std::uint64_t target = saturating_u64(static_cast<double>(max_memory_) * kEvictTargetShare);
  std::uint64_t keep = cost > target ? 0 : target - cost;
  if (state.total_cost <= keep) return;
  std::uint64_t to_remove = state.total_cost - keep;

  struct Candidate {
    Instant last_access;
    std::uint64_t cost;
    BlockKey key;
  };
  std::vector<Candidate> candidates;
  candidates.reserve(state.table.size());
  state.table.for_each([&](const Entry& e) { candidates.push_back({e.last_access, e.cost, e.key}); });
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.last_access < b.last_access; });

  std::uint64_t removed = 0;
  for (const auto& c : candidates) {
    if (removed >= to_remove) break;
    state.table.erase(*state.table.find(c.key));
    removed = saturating_add(removed, c.cost);
    state.total_cost -= c.cost;
  }
}

bool BlockCache::invalidate(const BlockKey& key) {
  if (max_memory_ == 0) return false;
  auto state = state_.lock_or_panic();
  Entry* e = state->table.find(key);
  if (e == nullptr) return false;
  state->total_cost -= e->cost;
  state->table.erase(*e);
  return true;
}

template <class Pred>
std::size_t BlockCache::erase_matching(State& state, Pred matches) {
  std::vector<BlockKey> keys;
  state.table.for_each([&](const Entry& e) {
    if (matches(e)) keys.push_back(e.key);
  });
  for (const BlockKey& key : keys) {
    Entry& e = *state.table.find(key);
    state.total_cost -= e.cost;
    state.table.erase(e);
  }
  return keys.size();
}

std::size_t BlockCache::remove_dataset(std::uint64_t dataset) {
  if (max_memory_ == 0) return 0;
  auto state = state_.lock_or_panic();
  const auto [removed, cost] = state->table.erase_dataset(dataset);
  state->total_cost -= cost;
  return removed;
}

std::size_t BlockCache::evict_idle(Duration idle) {
  if (max_memory_ == 0) return 0;
  auto state = state_.lock_or_panic();
  const Instant at = now();
  return erase_matching(*state, [&](const Entry& e) { return elapsed_at_least(e.last_access, at, idle); });
}

// ---- the table ----

BlockCache::Entry* BlockCache::Table::find(const BlockKey& key) noexcept {
  if (slots_.empty()) return nullptr;
  const std::uint32_t h = hash_of(key);
  for (std::size_t i = h & mask();; i = (i + 1) & mask()) {
    Entry& e = slots_[i];
    if (e.payload == nullptr) return nullptr;
    if (e.hash == h && e.key == key) return &e;
  }
}

void BlockCache::Table::place(Entry&& e) noexcept {
  std::size_t i = e.hash & mask();
  while (slots_[i].payload != nullptr) i = (i + 1) & mask();
  slots_[i] = std::move(e);
}

void BlockCache::Table::grow() {
  const std::size_t slots = std::max<std::size_t>(16, slots_.size() * 2);
  // Homes come from 32 hash bits; 2^31 entries would take far more memory than any machine has.
  QV_ASSERT(slots - 1 <= std::numeric_limits<std::uint32_t>::max(), "the block cache's table fits 32-bit homes");
  std::vector<Entry> old(slots);
  old.swap(slots_);
  for (Entry& e : old)
    if (e.payload != nullptr) place(std::move(e));
}

void BlockCache::Table::insert(const BlockKey& key, BlockPayload payload, std::uint64_t cost, Instant at) {
  // Everything that can fail comes first: the table's growth, then the key's place in its list.
  if ((size_ + 1) * 2 > slots_.size()) grow();
  std::vector<BlockKey>& keys = by_dataset_[key.dataset];
  keys.push_back(key);
  place(Entry{key, hash_of(key), static_cast<std::uint32_t>(keys.size() - 1), std::move(payload), cost, at});
  ++size_;
}

void BlockCache::Table::erase(Entry& e) noexcept {
  // Every cached key is in its dataset's list, at in_dataset; the list's last key takes its
  // place there, so that the list stays dense.
  const auto list = by_dataset_.find(e.key.dataset);
  std::vector<BlockKey>& keys = list->second;
  if (e.in_dataset + 1 != keys.size()) {
    keys[e.in_dataset] = keys.back();
    find(keys[e.in_dataset])->in_dataset = e.in_dataset;
  }
  keys.pop_back();
  if (keys.empty()) by_dataset_.erase(list);
  free_slot(e);
}

std::pair<std::size_t, std::uint64_t> BlockCache::Table::erase_dataset(std::uint64_t dataset) noexcept {
  const auto list = by_dataset_.find(dataset);
  if (list == by_dataset_.end()) return {0, 0};
  std::uint64_t cost = 0;
  for (const BlockKey& key : list->second) {
    Entry* e = find(key);
    cost += e->cost;
    free_slot(*e);
  }
  const std::size_t removed = list->second.size();
  by_dataset_.erase(list);
  return {removed, cost};
}

void BlockCache::Table::free_slot(Entry& e) noexcept {
  std::size_t hole = static_cast<std::size_t>(&e - slots_.data());
  slots_[hole].payload.reset();
  --size_;
  for (std::size_t i = (hole + 1) & mask(); slots_[i].payload != nullptr; i = (i + 1) & mask()) {
    // An entry stays when its home lies cyclically in (hole, i]: a probe for it never passes
    // the hole. Otherwise it moves into the hole, and the hole to its old place.
    const std::size_t home = slots_[i].hash & mask();
    const bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
    if (stays) continue;
    slots_[hole] = std::move(slots_[i]);
    hole = i;
  }
}

void HotBlock::set(const BlockKey& key, const BlockPayload& payload) {
  present_ = true;
  key_ = key;
  payload_ = payload;
}

BlockPayload HotBlock::get(const BlockKey& key) const {
  if (!present_ || key_ != key) return nullptr;
  return payload_.lock();
}

Result<std::uint32_t> HotBlock::record_len(std::span<const std::uint8_t> payload, std::uint16_t in_block,
                                           RecordMessages messages) {
  QV_TRY(check_record_header(payload, in_block, texts_for(messages)));
  return bytes::get<std::uint32_t>(payload, in_block);
}

Result<std::pair<std::int64_t, std::span<const std::uint8_t>>> HotBlock::view_record(
    std::span<const std::uint8_t> payload, std::uint16_t in_block, RecordMessages messages) {
  Texts texts = texts_for(messages);
  QV_TRY(check_record_header(payload, in_block, texts));
  std::uint32_t len = bytes::get<std::uint32_t>(payload, in_block);
  std::uint64_t data_at = std::uint64_t{in_block} + kRecordHeaderLen;
  if (!bytes::fits(payload.size(), data_at, len)) return fail(Error::invalid_data(texts.data));
  std::int64_t ts = bytes::get<std::int64_t>(payload, std::uint64_t{in_block} + 4);
  return std::pair{ts, bytes::slice(payload, data_at, len)};
}

Result<std::pair<std::int64_t, std::vector<std::uint8_t>>> HotBlock::read_record(
    std::span<const std::uint8_t> payload, std::uint16_t in_block, RecordMessages messages) {
  const auto [ts, data] = QV_TRY(view_record(payload, in_block, messages));
  return std::pair{ts, std::vector<std::uint8_t>(data.begin(), data.end())};
}

}  // namespace quelvane
