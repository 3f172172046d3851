#include "dirty_queue.h"

#include <algorithm>
#include <iterator>
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

DirtyQueue::DirtyQueue() : items_("dirty queue mutex") {}

void DirtyQueue::push(DataSetKey key, FlushTarget target) {
  auto items = items_.lock_or_panic();
  const std::int64_t place = items->next_back++;
  items->by_key[std::move(key)].push_back({place, std::move(target)});
  ++items->size;
}

std::vector<DirtyItem> DirtyQueue::take_all() {
  // Swapped out whole, so the lock is held for a pointer exchange; the queue order is restored
  // after it is released.
  std::unordered_map<DataSetKey, std::vector<Placed>> drained;
  {
    auto items = items_.lock_or_panic();
    drained.swap(items->by_key);
    items->size = 0;
  }
  std::vector<std::pair<std::int64_t, DirtyItem>> placed;
  for (auto& [key, targets] : drained)
    for (Placed& p : targets) placed.push_back({p.place, DirtyItem{key, std::move(p.target)}});
  std::sort(placed.begin(), placed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<DirtyItem> out;
  out.reserve(placed.size());
  for (auto& [place, item] : placed) out.push_back(std::move(item));
  return out;
}

std::vector<FlushTarget> DirtyQueue::take_for(const DataSetKey& key) {
  std::vector<Placed> taken;
  {
    auto items = items_.lock_or_panic();
    auto it = items->by_key.find(key);
    if (it == items->by_key.end()) return {};
    taken = std::move(it->second);
    items->by_key.erase(it);
    items->size -= taken.size();
  }
  std::vector<FlushTarget> mine;
  mine.reserve(taken.size());
  for (Placed& p : taken) mine.push_back(std::move(p.target));
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

void DirtyQueue::put_back(const DataSetKey& key, std::vector<FlushTarget> targets) {
  if (targets.empty()) return;
  auto items = items_.lock_or_panic();
  // Ahead of everything, in their own order.
  std::vector<Placed> ahead;
  ahead.reserve(targets.size());
  items->next_front -= static_cast<std::int64_t>(targets.size());
  std::int64_t place = items->next_front + 1;
  for (FlushTarget& t : targets) ahead.push_back({place++, std::move(t)});
  std::vector<Placed>& mine = items->by_key[key];
  mine.insert(mine.begin(), std::make_move_iterator(ahead.begin()), std::make_move_iterator(ahead.end()));
  items->size += targets.size();
}

std::size_t DirtyQueue::size() {
  auto items = items_.lock_or_panic();
  return items->size;
}

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

void FlushNotifier::mark_dirty(FlushTarget target) const {
  QV_ASSERT(queue != nullptr, "a flush notifier has a queue");
  queue->push(key, std::move(target));
}

}  // namespace quelvane
