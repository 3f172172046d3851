#include "dirty_queue.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <unordered_map>

namespace quelvane {

FlushTarget FlushTarget::data_segment(std::uint64_t file_offset) {
  return FlushTarget(Value(std::in_place_index<0>, file_offset));
}

FlushTarget FlushTarget::index_segment(std::int64_t start_ts) {
  return FlushTarget(Value(std::in_place_index<1>, start_ts));
}

FlushTarget FlushTarget::consumer_group(std::string group) {
  return FlushTarget(Value(std::in_place_index<2>, std::move(group)));
}

std::uint64_t FlushTarget::file_offset() const {
  QV_ASSERT(kind() == Kind::DataSegment, "file offset of a data segment target");
  return std::get<0>(value_);
}

std::int64_t FlushTarget::start_ts() const {
  QV_ASSERT(kind() == Kind::IndexSegment, "start timestamp of an index segment target");
  return std::get<1>(value_);
}

const std::string& FlushTarget::group() const {
  QV_ASSERT(kind() == Kind::ConsumerGroup, "group name of a consumer group target");
  return std::get<2>(value_);
}

FlushTarget FlushTarget::copy() const {
  if (kind() == Kind::ConsumerGroup) return consumer_group(std::string(group()));
  return *this;
}

DirtyQueue::DirtyQueue() : items_("dirty queue mutex") {}

DirtyQueue::ByKey::node_type DirtyQueue::entry(const DataSetKey& key, std::vector<Placed> targets) {
  ByKey one;
  one.emplace(key, std::move(targets));
  return one.extract(one.begin());
}

// The item is made whole before the lock, as a table entry of its own. Under the lock only a
// queued key's list can grow, or the table's buckets when the entry is linked in; either
// leaves the queue as it was when it fails.
bool DirtyQueue::push(const DataSetKey& key, const FlushTarget& target) {
  try {
    std::vector<Placed> one;
    one.push_back({0, target.copy()});
    ByKey::node_type fresh = entry(key, std::move(one));
    auto items = items_.lock_or_panic();
    Placed& item = fresh.mapped().front();
    item.place = items->next_back;
    if (auto it = items->by_key.find(fresh.key()); it != items->by_key.end()) {
      it->second.push_back(std::move(item));
    } else {
      items->by_key.insert(std::move(fresh));
    }
    ++items->next_back;
    ++items->size;
    return true;
  } catch (const std::bad_alloc&) {
    note_missed();
    return false;
  }
}

bool DirtyQueue::push_group(const DataSetKey& key, const std::string& group) {
  try {
    return push(key, FlushTarget::consumer_group(std::string(group)));
  } catch (const std::bad_alloc&) {
    note_missed();
    return false;
  }
}

std::vector<DirtyItem> DirtyQueue::take_all() {
  // Swapped out whole, so the lock is held for a pointer exchange; the queue order is restored
  // after it is released.
  ByKey drained;
  {
    auto items = items_.lock_or_panic();
    drained.swap(items->by_key);
    items->size = 0;
  }
  try {
    std::vector<std::pair<std::int64_t, DirtyItem>> placed;
    for (auto& [key, targets] : drained)
      for (Placed& p : targets) placed.push_back({p.place, DirtyItem{key, std::move(p.target)}});
    std::sort(placed.begin(), placed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<DirtyItem> out;
    out.reserve(placed.size());
    for (auto& [place, item] : placed) out.push_back(std::move(item));
    return out;
  } catch (const std::bad_alloc&) {
    // The items are out of the queue and cannot be handed on.
    note_missed();
    throw;
  }
}

std::vector<FlushTarget> DirtyQueue::take_for(const DataSetKey& key) {
  std::vector<FlushTarget> mine;
  ByKey::node_type taken;  // released once the lock is
  auto items = items_.lock_or_panic();
  auto it = items->by_key.find(key);
  if (it == items->by_key.end()) return mine;
  // Room for the targets before any of them leaves the queue.
  mine.reserve(it->second.size());
  for (Placed& p : it->second) mine.push_back(std::move(p.target));
  items->size -= mine.size();
  taken = items->by_key.extract(it);
  return mine;
}

std::vector<DataSetKey> DirtyQueue::keys() {
  std::vector<std::pair<std::int64_t, DataSetKey>> firsts;
  {
    auto items = items_.lock_or_panic();
    firsts.reserve(items->by_key.size());
    for (const auto& [key, targets] : items->by_key) firsts.push_back({targets.front().place, key});
  }
  std::sort(firsts.begin(), firsts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<DataSetKey> out;
  out.reserve(firsts.size());
  for (auto& [place, key] : firsts) out.push_back(std::move(key));
  return out;
}

// As in push, the returned targets are made a table entry before the lock; a key still queued
// has its later targets moved behind them, into room taken before anything is moved.
void DirtyQueue::put_back(const DataSetKey& key, std::vector<FlushTarget> targets) {
  if (targets.empty()) return;
  try {
    std::vector<Placed> ahead;
    ahead.reserve(targets.size());
    for (FlushTarget& t : targets) ahead.push_back({0, std::move(t)});
    ByKey::node_type fresh = entry(key, std::move(ahead));
    std::vector<Placed>& returned = fresh.mapped();
    const auto count = static_cast<std::int64_t>(returned.size());
    auto items = items_.lock_or_panic();
    // Ahead of everything, in their own order.
    std::int64_t place = items->next_front - count + 1;
    for (Placed& p : returned) p.place = place++;
    if (auto it = items->by_key.find(key); it != items->by_key.end()) {
      std::vector<Placed>& later = it->second;
      returned.reserve(returned.size() + later.size());
      returned.insert(returned.end(), std::make_move_iterator(later.begin()), std::make_move_iterator(later.end()));
      later.swap(returned);
    } else {
      items->by_key.insert(std::move(fresh));
    }
    items->next_front -= count;
    items->size += static_cast<std::size_t>(count);
  } catch (const std::bad_alloc&) {
    note_missed();
  }
}

std::size_t DirtyQueue::size() {
  auto items = items_.lock_or_panic();
  return items->size;
}

bool DirtyQueue::take_missed() { return missed_.exchange(false, std::memory_order_acq_rel); }

void DirtyQueue::note_missed() { missed_.store(true, std::memory_order_release); }

std::vector<std::pair<DataSetKey, std::vector<FlushTarget>>> group_by_key(std::vector<DirtyItem> items) {
  std::vector<std::pair<DataSetKey, std::vector<FlushTarget>>> groups;
  std::unordered_map<DataSetKey, std::size_t> slot;
  for (auto& item : items) {
    auto [it, fresh] = slot.try_emplace(item.key, groups.size());
    if (fresh) groups.emplace_back(std::move(item.key), std::vector<FlushTarget>{});
    groups[it->second].second.push_back(std::move(item.target));
  }
  return groups;
}

bool FlushNotifier::mark_dirty(const FlushTarget& target) const {
  QV_ASSERT(queue != nullptr, "a flush notifier has a queue");
  return queue->push(key, target);
}

}  // namespace quelvane
