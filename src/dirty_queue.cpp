#include "dirty_queue.h"

#include <iterator>
#include <unordered_map>
#include <unordered_set>

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
  DirtyItem item{std::move(key), std::move(target)};
  auto items = items_.lock_or_panic();
  items->push_back(std::move(item));
}

std::vector<DirtyItem> DirtyQueue::take_all() {
  // Swapped out whole, so the lock is held for a pointer exchange and the copy into the
  // result happens after it is released.
  std::deque<DirtyItem> drained;
  {
    auto items = items_.lock_or_panic();
    drained.swap(*items);
  }
  return {std::make_move_iterator(drained.begin()), std::make_move_iterator(drained.end())};
}

std::vector<FlushTarget> DirtyQueue::take_for(const DataSetKey& key) {
  std::vector<FlushTarget> mine;
  auto items = items_.lock_or_panic();
  auto kept = items->begin();
  for (auto it = items->begin(); it != items->end(); ++it) {
    if (it->key == key) {
      mine.push_back(std::move(it->target));
    } else {
      if (kept != it) *kept = std::move(*it);
      ++kept;
    }
  }
  items->erase(kept, items->end());
  return mine;
}

std::vector<DataSetKey> DirtyQueue::keys() {
  std::vector<DataSetKey> out;
  std::unordered_set<DataSetKey> seen;
  auto items = items_.lock_or_panic();
  for (const DirtyItem& item : *items)
    if (seen.insert(item.key).second) out.push_back(item.key);
  return out;
}

void DirtyQueue::put_back(const DataSetKey& key, std::vector<FlushTarget> targets) {
  if (targets.empty()) return;
  std::vector<DirtyItem> returned;
  returned.reserve(targets.size());
  for (auto& t : targets) returned.push_back({key, std::move(t)});
  auto items = items_.lock_or_panic();
  items->insert(items->begin(), std::make_move_iterator(returned.begin()), std::make_move_iterator(returned.end()));
}

std::size_t DirtyQueue::size() {
  auto items = items_.lock_or_panic();
  return items->size();
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
