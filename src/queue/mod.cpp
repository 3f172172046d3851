#include "mod.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

#include "../dirty_queue.h"
#include "../util/log.h"
#include "../util/text.h"

namespace quelvane {

namespace {

using Entry = DatasetQueueConsumerPendingEntry;

constexpr const char* kLogTarget = "quelvane::queue";

constexpr std::int64_t kMaxTs = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinTs = std::numeric_limits<std::int64_t>::min();

Error queue_closed() { return Error::queue_closed("queue is closed"); }
Error consumer_closed() { return Error::queue_closed("queue consumer is closed"); }

// Empties every slot of the group and the slot list; the callbacks go to `released`, to be let
// go of once the caller holds no lock (releasing one may run user code).
Status clear_slots(ConsumerGroup& group, Wake& released) {
  for (auto& slot : group.slots) released.release_later(QV_TRY(slot->take()));
  group.slots.clear();
  return {};
}

// Wakes the pollers of a group or queue that was just closed, whatever its close reported: its
// closed flag is set, and they must see it now rather than at their deadline (a poll without
// one would wait for an unrelated push). The close's own error comes first.
Status wake_after_close(Status closed, QueueNotifier& notifier) {
  Status woken = notifier.notify();
  QV_TRY(std::move(closed));
  return woken;
}

// Releases the group's in-flight entries and writes its state through.
Status close_state(ConsumerGroup& group) {
  auto state = QV_TRY(group.state->lock());
  state->clear_in_flight();
  return state->sync();
}

// Syncs the dataset's records, and with them its groups that changed: a group's progress never
// reaches the disk before the records it covers. A closed dataset has synced them at its close.
Status sync_records(const Dataset& dataset) {
  auto d = QV_TRY(dataset.lock());
  if (d->closed) return {};
  return d->flush();
}

// The first live index entry above the watermark that the group has not been handed yet: the
// gaps between listed positions are walked lazily through the index, passing over deleted
// records and placeholders inside the index as a range read does, and the walk stops at the
// first usable entry. Runs with the dataset's lock and the group's state held.
// Nothing lies above `last`, the dataset's latest timestamp.
Result<std::optional<IndexEntry>> find_new_entry(DatasetInner& d, const QueueState& state, std::int64_t next,
                                                 std::int64_t last) {
  const auto pending = state.pending();
  std::int64_t from = std::max<std::int64_t>(next, 0);
  auto listed = std::lower_bound(pending.begin(), pending.end(), from,
                                 [](const Entry& e, std::int64_t ts) { return e.timestamp < ts; });
  while (true) {
    // The gap [from, to] runs up to the next listed position.
    const bool last_gap = listed == pending.end() || listed->timestamp > last;
    const std::int64_t to = last_gap ? last : listed->timestamp - 1;
    if (const std::optional<IndexHit> hit = QV_TRY(d.next_in_range(from, to, std::nullopt, /*live_only=*/true)))
      return hit->entry;
    if (last_gap || listed->timestamp == last) return std::nullopt;
    from = listed->timestamp + 1;
    ++listed;
  }
}

}  // namespace

// ---- names and the dataset's side ----

Status queue::check_group_name(std::string_view name) {
  const bool valid = !name.empty() && name.size() <= kMaxGroupNameLen &&
                     std::all_of(name.begin(), name.end(), [](char c) {
                       return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              c == '_' || c == '-';
                     });
  if (valid) return {};
  return fail(Error::invalid_data(text::cat("queue consumer group_name must match ^[0-9A-Za-z_-]+$ and be at most ",
                                            kMaxGroupNameLen, " bytes")));
}

Status queue::close_dataset_queue(const Dataset& dataset) {
  auto g = QV_TRY(dataset.lock());
  Status closed = g->close_queue();
  // The callbacks the close took out of their slots are let go of once the dataset is unlocked.
  Wake released = g->take_wake();
  g.release();
  released.run();
  return closed;
}

Result<fs::Path> queue::queue_dir(const Dataset& dataset) {
  auto g = QV_TRY(dataset.lock());
  return g->dir / "queue";
}

Status queue::mark_queue_dirty(const Dataset& dataset, const std::string& group_name) {
  auto g = QV_TRY(dataset.lock());
  if (g->context && g->context->dirty_queue)
    (void)g->context->dirty_queue->push_group(g->key, group_name);
  return {};
}

// ---- QueueInner ----

QueueInner::QueueInner(std::shared_ptr<QueueNotifier> notifier, UnixClock clock)
    : groups_("queue inner mutex"),
      closed_(std::make_shared<std::atomic<bool>>(false)),
      notifier_(notifier),
      clock_(std::move(clock)) {}

Status QueueInner::close_all_locked(QueueGroups& g, Wake& released) {
  closed_->exchange(true);
  for (auto& [name, group] : g.groups) {
    group.closed->exchange(true);
    QV_TRY(clear_slots(group, released));
    QV_TRY(close_state(group));
  }
  g.groups.clear();
  g.configs.clear();
  return {};
}

Status QueueInner::close_all(Wake& released) {
  // Closed before anything can fail: the dataset has let go of this queue either way.
  closed_->exchange(true);
  Status closed = [&]() -> Status {
    auto g = QV_TRY(groups_.lock());
    return close_all_locked(*g, released);
  }();
  auto notifier = notifier_.lock();
  if (!notifier) return closed;  // nobody can be waiting on a notifier that is gone
  return wake_after_close(std::move(closed), *notifier);
}

Status QueueInner::flush_group(const std::string& group) {
  SharedQueueState state;
  {
    auto g = QV_TRY(groups_.lock());
    auto it = g->groups.find(group);
    if (it == g->groups.end()) return {};
    state = it->second.state;
  }
  if (state->poisoned()) return fail(Error::invalid_data("consumer state mutex poisoned"));
  auto s = QV_TRY(state->lock());
  return s->sync();
}

Status QueueInner::flush_all() {
  auto g = QV_TRY(groups_.lock());
  for (auto& [name, group] : g->groups) {
    auto s = group.state->lock();
    if (!s) continue;  // a poisoned state holds nothing worth writing
    // A clean group's file already holds its state: an explicit flush costs it no sync.
    if (!(*s)->clean()) QV_TRY((*s)->sync());
  }
  return {};
}

std::uint32_t QueueInner::consumer_group_count() {
  auto g = groups_.lock();
  if (!g) return 0;
  return static_cast<std::uint32_t>((*g)->groups.size());
}

// ---- DatasetQueue ----

Result<DatasetQueue> DatasetQueue::open(const Dataset& dataset, UnixClock clock) {
  {
    auto g = QV_TRY(dataset.lock());
    if (g->read_only()) return fail(Error::invalid_data("read-only dataset cannot open queue"));
  }
  auto g = QV_TRY(dataset.lock());
  QV_TRY(g->check_open());
  if (g->queue) return fail(Error::queue_already_open(text::cat("queue already open for dataset ", g->key.name)));
  QV_TRY(fs::create_dir_all(g->dir / "queue", fs::Sync::Durable));
  // No group is open yet, so no state file is being made: what has a temporary name was left
  // by a kill before its rename. One that cannot be removed is still never taken for a group.
  (void)fs::remove_temporaries(g->dir / "queue");
  auto notifier = std::make_shared<QueueNotifier>();
  auto inner = std::make_shared<QueueInner>(notifier, std::move(clock));
  g->queue = inner;
  g->queue_notifier = notifier;
  g.release();
  return DatasetQueue(dataset, std::move(inner), std::move(notifier));
}

Result<std::int64_t> DatasetQueue::push(std::span<const std::uint8_t> payload) {
  {
    auto g = QV_TRY(inner_->groups_.lock());
    if (inner_->closed()) return fail(queue_closed());
  }
  auto g = QV_TRY(dataset_.lock());
  QV_TRY(g->check_open());
  Result<std::int64_t> ts = g->push_next(payload);
  Wake wake = g->take_wake();
  g.release();
  // The write notified the pollers under the lock; its callbacks run now that nothing is held.
  // A second notification here would leave the sticky flag set after a poller consumed the first,
  // and the next blocking poll would wake once for nothing.
  wake.run();
  return ts;
}

Result<DatasetQueueConsumer> DatasetQueue::open_consumer(std::string_view group_name, ConsumerGroupConfig config) {
  QV_TRY(queue::check_group_name(group_name));
  const std::string name(group_name);
  auto slot = std::make_shared<CallbackSlot>();
  QV_TRY(notifier_->register_slot(slot));

  auto d = QV_TRY(dataset_.lock());
  auto g = QV_TRY(inner_->groups_.lock());
  if (inner_->closed()) return fail(queue_closed());
  if (auto it = g->configs.find(name); it != g->configs.end() && it->second != config)
    return fail(Error::invalid_data(text::cat("consumer group ", name, " is already open with a different config")));
  ConsumerGroup* group = nullptr;
  if (auto it = g->groups.find(name); it != g->groups.end()) {
    if (it->second.closed->load()) return fail(Error::queue_closed(text::cat("consumer group ", name, " is closed")));
    group = &it->second;
    group->slots.push_back(slot);
  } else {
    const std::int64_t latest = d->latest_written_timestamp.value_or(kMinTs);
    QueueState state = QV_TRY(QueueState::open_or_create(d->dir / "queue" / name, latest));
    state.show_path_as(d->shown_dir / "queue" / name);
    // A power loss can take records whose group progress reached the disk (the group's page went
    // out before the data's): their timestamps go to the next pushes, which the group must get.
    const std::int64_t was = state.processed_ts();
    if (const QueueState::BroughtDown down = state.bring_down_to(latest); down.watermark || down.dropped > 0) {
      QV_LOG(Warn, kLogTarget, "[queue] consumer group ", name, " was at ", was, " with ", down.dropped,
             " deliveries beyond the dataset's latest timestamp ", latest, "; it continues from ",
             state.processed_ts());
      QV_TRY(state.write_block());
    }
    ConsumerGroup fresh{{slot}, share_queue_state(std::move(state)), std::make_shared<std::atomic<bool>>(false)};
    group = &g->groups.insert_or_assign(name, std::move(fresh)).first->second;
    g->configs.insert_or_assign(name, config);
  }
  DatasetQueueConsumer consumer(name, group->state, notifier_, dataset_, inner_->closed_, group->closed, inner_,
                                std::move(slot), config);
  g.release();
  d.release();
  // A state that had to be repaired on load is not clean: it gets its flush queued here.
  QV_TRY(consumer.schedule_flush());
  return consumer;
}

Status DatasetQueue::drop_consumer(std::string_view group_name) {
  QV_TRY(queue::check_group_name(group_name));
  const std::string name(group_name);
  const fs::Path path = QV_TRY(queue::queue_dir(dataset_)) / name;
  Wake released;  // outlives the lock
  bool closed_group = false;
  Status dropped = [&]() -> Status {
    auto g = QV_TRY(inner_->groups_.lock());
    if (inner_->closed()) return fail(queue_closed());
    auto it = g->groups.find(name);
    const bool was_open = it != g->groups.end();
    if (was_open) {
      it->second.closed->exchange(true);
      closed_group = true;
      QV_TRY(clear_slots(it->second, released));
      QV_TRY(close_state(it->second));
      g->groups.erase(it);
    }
    g->configs.erase(name);
    if (!was_open) {
      // Only a file that is really missing makes the group unknown; any other failure to look
      // at it is reported as what it is.
      auto probe = fs::is_dir(path);
      if (!probe) {
        if (probe.error().os_code() == ENOENT) return fail(Error::consumer_group_not_found(name));
        return fail(std::move(probe).error());
      }
    }
    if (auto removed = fs::remove_file(path); !removed && removed.error().os_code() != ENOENT)
      return fail(std::move(removed).error());
    return {};
  }();
  released.run();
  if (!closed_group) return dropped;
  return wake_after_close(std::move(dropped), *notifier_);
}

Result<std::vector<std::string>> DatasetQueue::get_consumer_group_names() const {
  const fs::Path dir = QV_TRY(queue::queue_dir(dataset_));
  auto listed = fs::list_dir(dir);
  if (!listed) {
    if (listed.error().os_code() == ENOENT) return std::vector<std::string>{};
    return fail(std::move(listed).error());
  }
  std::vector<std::string> names;
  names.reserve(listed->size());
  // A temporary file is a group's state file not yet in place (or left so by a kill), never a
  // group of its own.
  for (const auto& entry : *listed) {
    if (!fs::is_temporary_name(entry)) names.push_back(text::lossy_utf8(entry));
  }
  std::sort(names.begin(), names.end());  // std::string compares as unsigned bytes
  return names;
}

Status DatasetQueue::close() { return wake_after_close(queue::close_dataset_queue(dataset_), *notifier_); }

// ---- DatasetQueueConsumer ----

DatasetQueueConsumer::DatasetQueueConsumer(std::string group_name, SharedQueueState state,
                                           std::shared_ptr<QueueNotifier> notifier, Dataset dataset,
                                           std::shared_ptr<std::atomic<bool>> queue_closed,
                                           std::shared_ptr<std::atomic<bool>> group_closed,
                                           std::shared_ptr<QueueInner> inner, std::shared_ptr<CallbackSlot> slot,
                                           ConsumerGroupConfig config)
    : group_name_(std::move(group_name)),
      state_(std::move(state)),
      notifier_(std::move(notifier)),
      dataset_(std::move(dataset)),
      queue_closed_(std::move(queue_closed)),
      group_closed_(std::move(group_closed)),
      inner_(std::move(inner)),
      slot_(std::move(slot)),
      config_(config) {}

Status DatasetQueueConsumer::check_open() const {
  if (is_closed()) return fail(consumer_closed());
  return {};
}

Result<std::optional<QueueRecord>> DatasetQueueConsumer::try_poll(TakenDelivery* taken) {
  if (taken) taken->reset();
  QV_TRY(check_open());
  // A due entry whose record fell out of the retention window can never be delivered again
  // (reads there find nothing, writes are refused): it is given up, and the poll goes on. The
  // threshold only rises, so one read before the group's lock is safe.
  std::optional<std::int64_t> threshold;
  {
    auto d = QV_TRY(dataset_.lock());
    threshold = d->retention_threshold();
  }
  QueueState::Redelivery redelivery;
  {
    auto s = QV_TRY(state_->lock());
    redelivery = s->take_redelivery(config_.running_expired_seconds, config_.max_retry_count, inner_->clock_(),
                                    kMaxTs, threshold.value_or(kMinTs));
    if (redelivery.changed) QV_TRY(s->write_block());
  }
  if (redelivery.expired > 0)
    QV_LOG(Warn, kLogTarget, "[queue] consumer group ", group_name_, " gave up ", redelivery.expired,
           " deliveries below the retention threshold ", *threshold);
  if (redelivery.changed) QV_TRY(schedule_flush());
  // A due redelivery comes first. Its record may be gone: then this attempt hands out nothing,
  // and the entry stays in flight until it is given up or acknowledged.
  if (redelivery.position) {
    std::optional<QueueRecord> record = QV_TRY(read_redelivery(
        redelivery.delivery, [&] { return dataset_.read(*redelivery.position); },
        [this](const QueueState::Delivery& d) { return give_back(d); }));
    if (record && taken) *taken = redelivery.delivery;
    return record;
  }
  return poll_new(taken);
}

Result<std::optional<QueueRecord>> DatasetQueueConsumer::poll_new(TakenDelivery* taken) {
  bool queue_flush = false;
  QueueRecord record;
  {
    auto d = QV_TRY(dataset_.lock());
    QV_TRY(d->check_open());
    auto s = QV_TRY(state_->lock());
    // Nothing can lie above the watermark once it is the largest timestamp, nor above the
    // latest timestamp: an idle queue answers here without touching the index.
    const std::optional<std::int64_t> next = s->next_new_position();
    const std::optional<std::int64_t> latest = d->latest_written_timestamp;
    if (!next || !latest || *next > *latest) return std::nullopt;
    std::optional<std::int64_t> ts;
    // The usual case, consecutive timestamps, is one direct lookup.
    if (*next >= 0 && !s->is_pending(*next)) {
      if (std::optional<RecordData> direct = QV_TRY(d->read_one(*next, d->block_cache()))) {
        ts = *next;
        record = std::move(*direct);
      }
    }
    if (!ts) {
      const std::optional<IndexEntry> entry = QV_TRY(find_new_entry(*d, *s, *next, *latest));
      if (!entry) return std::nullopt;
      record = QV_TRY(d->read_entry(*entry));
      ts = entry->timestamp;
    }
    const std::int64_t now = inner_->clock_();
    QV_TRY(s->push_pending(Entry{*ts, now, Entry::kPending, 0}));
    QV_TRY(s->write_block());
    if (taken) *taken = QueueState::new_delivery(*ts, now);
    queue_flush = s->claim_flush();
  }
  // Reporting the group dirty takes the dataset's lock again, so it comes after both locks.
  if (queue_flush) QV_TRY(queue::mark_queue_dirty(dataset_, group_name_));
  return record;
}

Result<std::optional<QueueRecord>> DatasetQueueConsumer::poll(Duration timeout, const PollWaitRunner& run_wait,
                                                              TakenDelivery* taken) {
  if (taken) taken->reset();
  QV_TRY(check_open());
  return poll_until(*notifier_, seen_, timeout, [this] { return is_closed(); }, consumer_closed,
                    PassedDeadline::EndEmpty, run_wait, [this, taken] { return try_poll(taken); });
}

Status DatasetQueueConsumer::give_back(const QueueState::Delivery& delivery) {
  if (is_closed()) return {};
  {
    auto s = QV_TRY(state_->lock());
    if (!s->give_back(delivery)) return {};
    QV_TRY(s->write_block());
  }
  return schedule_flush();
}

Status DatasetQueueConsumer::ack(std::int64_t timestamp) {
  QV_TRY(check_open());
  bool queue_flush = false;
  {
    auto s = QV_TRY(state_->lock());
    QV_TRY(s->acknowledge(timestamp));
    QV_TRY(s->write_block());
    queue_flush = s->claim_flush();
  }
  if (queue_flush) QV_TRY(queue::mark_queue_dirty(dataset_, group_name_));
  return {};
}

Status DatasetQueueConsumer::flush() {
  QV_TRY(check_open());
  QV_TRY(sync_records(dataset_));
  auto s = QV_TRY(state_->lock());
  // Changed since the dataset's flush: those changes cover records that flush synced.
  if (s->clean()) return {};
  return s->sync();
}

Status DatasetQueueConsumer::close() {
  if (group_closed_->exchange(true)) return {};
  Wake released;  // outlives the locks
  Status closed = [&]() -> Status {
    // A failed sync leaves the group closed and in the maps.
    QV_TRY(sync_records(dataset_));
    {
      auto s = QV_TRY(state_->lock());
      s->clear_in_flight();
      QV_TRY(s->sync());
    }
    auto g = QV_TRY(inner_->groups_.lock());
    // A group reopened under this name since is another group: its flag is another flag.
    if (auto it = g->groups.find(group_name_); it != g->groups.end() && it->second.closed == group_closed_) {
      Status slots = clear_slots(it->second, released);
      g->groups.erase(it);
      g->configs.erase(group_name_);
      return slots;
    }
    return {};
  }();
  released.run();
  return wake_after_close(std::move(closed), *notifier_);
}

Result<DatasetQueueConsumerInspectResult> DatasetQueueConsumer::inspect() {
  QV_TRY(check_open());
  auto s = QV_TRY(state_->lock());
  const auto pending = s->pending();
  return DatasetQueueConsumerInspectResult{
      {group_name_, config_.running_expired_seconds, config_.max_retry_count},
      {s->processed_ts(), std::vector<Entry>(pending.begin(), pending.end())}};
}

Status DatasetQueueConsumer::poll_callback(WakeCallback callback) {
  QV_TRY(check_open());
  if (!callback) {
    Wake released;
    released.release_later(QV_TRY(slot_->take()));
    released.run();
    return {};
  }
  if (!QV_TRY(slot_->try_set(std::move(callback))))
    return fail(Error::invalid_data("queue poll callback is already registered"));
  return {};
}

Status DatasetQueueConsumer::schedule_flush() {
  bool queue_flush = false;
  {
    auto s = QV_TRY(state_->lock());
    queue_flush = s->claim_flush();
  }
  if (queue_flush) QV_TRY(queue::mark_queue_dirty(dataset_, group_name_));
  return {};
}

}  // namespace quelvane
