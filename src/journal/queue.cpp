#include "queue.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "../util/log.h"
#include "../util/text.h"

namespace quelvane {

namespace {

using Entry = DatasetQueueConsumerPendingEntry;

constexpr const char* kLogTarget = "quelvane::journal::queue";

Error queue_closed() { return Error::queue_closed("journal queue is closed"); }

Result<std::int64_t> next_sequence_of(const SharedJournalLog& log) {
  auto l = QV_TRY(log->lock());
  return l->next_sequence();
}

// The first sequence from `from` below `end` that the pending list does not hold: one walk
// along the sorted list.
std::optional<std::int64_t> first_unlisted(std::span<const Entry> pending, std::int64_t from, std::int64_t end) {
  auto it = std::lower_bound(pending.begin(), pending.end(), from,
                             [](const Entry& e, std::int64_t seq) { return e.timestamp < seq; });
  for (std::int64_t seq = from; seq < end; ++seq) {
    if (it == pending.end() || it->timestamp != seq) return seq;
    ++it;  // positions are strictly increasing: the next listed one lies above seq
  }
  return std::nullopt;
}

}  // namespace

Result<std::optional<JournalRecordData>> journal::read_at_locked(const SharedJournalLog& log, std::int64_t sequence) {
  auto l = QV_TRY(log->lock());
  return l->read(sequence);
}

// ---- JournalQueue ----

void JournalWriterHold::hold(std::shared_ptr<const void> token) {
  std::lock_guard lock(mutex_);
  token_ = std::move(token);
}

void JournalWriterHold::release() {
  std::shared_ptr<const void> token;
  {
    std::lock_guard lock(mutex_);
    token = std::move(token_);
  }
}

JournalQueue::JournalQueue(SharedJournalLog log, fs::Path queue_dir, UnixClock clock, fs::Path shown_queue_dir)
    : log_(std::move(log)),
      queue_dir_(std::move(queue_dir)),
      shown_queue_dir_(shown_queue_dir.empty() ? queue_dir_ : std::move(shown_queue_dir)),
      clock_(std::move(clock)),
      inner_(std::make_shared<Mutex<Inner>>("journal queue mutex")),
      closed_(std::make_shared<std::atomic<bool>>(false)),
      notifier_(std::make_shared<QueueNotifier>(kJournalLockPrefix)) {}

Result<QueueState> JournalQueue::open_state(const std::string& name, std::int64_t latest) {
  QueueState state = QV_TRY(QueueState::open_or_create(queue_dir_ / name, latest));
  state.show_path_as(shown_queue_dir_ / name);
  // The journal lost its tail (a damaged segment, or a power loss before its sync) after the
  // group had delivered or finished sequences beyond it; those sequences go to new records.
  const std::int64_t was = state.processed_ts();
  const QueueState::BroughtDown down = state.bring_down_to(latest);
  if (down.watermark) {
    QV_LOG(Warn, kLogTarget, "[journal queue] consumer group ", name, " was at sequence ", was,
           " beyond the journal's latest sequence ", latest, "; it continues from ", latest);
  } else if (down.dropped > 0) {
    QV_LOG(Warn, kLogTarget, "[journal queue] consumer group ", name, " listed ", down.dropped,
           " deliveries beyond the journal's latest sequence ", latest, "; they are dropped");
  }
  if (down.watermark || down.dropped > 0) QV_TRY(state.write_block());
  return state;
}

Result<JournalQueueConsumer> JournalQueue::open_consumer(std::string_view group_name,
                                                         std::uint16_t running_expired_seconds,
                                                         std::uint8_t max_retry_count) {
  if (!queue::check_group_name(group_name)) {
    return fail(Error::invalid_data(text::cat(
        "journal queue consumer group_name must match ^[0-9A-Za-z_-]+$ and be at most ", queue::kMaxGroupNameLen,
        " bytes")));
  }
  const std::string name(group_name);
  const ConsumerGroupConfig config{running_expired_seconds, max_retry_count};
  auto inner = QV_TRY(inner_->lock());
  if (closed()) return fail(queue_closed());
  SharedQueueState state;
  if (auto it = inner->groups.find(name); it != inner->groups.end()) {
    if (it->second.config != config)
      return fail(Error::invalid_data(text::cat("journal consumer group ", name, " is already open with a different config")));
    state = it->second.state;
  } else {
    const std::int64_t next = QV_TRY(next_sequence_of(log_));
    const std::int64_t latest = next < 2 ? 0 : next - 1;
    state = share_queue_state(QV_TRY(open_state(name, latest)), kJournalLockPrefix);
    inner->groups.insert_or_assign(name, Group{state, config});
  }
  auto slot = std::make_shared<CallbackSlot>(kJournalLockPrefix);
  QV_TRY(notifier_->register_slot(slot));
  return JournalQueueConsumer(std::move(state), log_, notifier_, closed_, std::move(slot), config, clock_, writer_);
}

Status JournalQueue::close() {
  // Closed before anything can fail, so that every path below ends with the pollers woken.
  if (closed_->exchange(true)) return {};
  Status synced = [&]() -> Status {
    auto inner = QV_TRY(inner_->lock());
    for (auto& [name, group] : inner->groups) {
      auto s = group.state->lock();
      if (!s) continue;  // a poisoned state holds nothing worth writing
      (void)sync_records_of(**s);
    }
    inner->groups.clear();
    return {};
  }();
  // Blocked pollers see the closed flag now rather than at their deadline (a poll without one
  // would wait for an append that may never come).
  (void)notifier_->notify();
  writer_->release();
  return synced;
}

Status JournalQueue::flush_groups() {
  auto inner = QV_TRY(inner_->lock());
  for (auto& [name, group] : inner->groups) {
    auto s = QV_TRY(group.state->lock());
    // A group unchanged since its last sync has its file as it should be.
    if (s->clean()) continue;
    QV_TRY(sync_records_of(*s));
  }
  return {};
}

Status JournalQueue::sync_records_of(QueueState& state) {
  // Held under the group's lock, so that no delivery or acknowledgement comes between: the group
  // never reaches the disk covering records that did not.
  {
    auto log = QV_TRY(log_->lock());
    QV_TRY(log->flush());
  }
  return state.sync();
}

Wake JournalQueue::notify_all() { return notifier_->wake(); }

// ---- JournalQueueConsumer ----

JournalQueueConsumer::JournalQueueConsumer(SharedQueueState state, SharedJournalLog log,
                                           std::shared_ptr<QueueNotifier> notifier,
                                           std::shared_ptr<std::atomic<bool>> closed,
                                           std::shared_ptr<CallbackSlot> slot, ConsumerGroupConfig config,
                                           UnixClock clock, std::shared_ptr<JournalWriterHold> writer)
    : state_(std::move(state)),
      log_(std::move(log)),
      notifier_(std::move(notifier)),
      closed_(std::move(closed)),
      slot_(std::move(slot)),
      config_(config),
      clock_(std::move(clock)),
      writer_(std::move(writer)) {}

Result<std::optional<JournalRecordData>> JournalQueueConsumer::try_poll(TakenDelivery* taken) {
  if (taken) taken->reset();
  // Entries at or above the next sequence wait, uncounted, for the records that will take
  // their sequences (the journal lost the ones delivered before).
  const std::int64_t next = QV_TRY(next_sequence_of(log_));
  std::optional<std::int64_t> from;
  while (true) {
    QueueState::Redelivery redelivery;
    {
      auto s = QV_TRY(state_->lock());
      redelivery = s->take_redelivery(config_.running_expired_seconds, config_.max_retry_count, clock_(), next);
      if (redelivery.changed) QV_TRY(s->write_block());
      from = s->next_new_position();
    }
    if (!redelivery.position) break;
    auto record = QV_TRY(read_redelivery(
        redelivery.delivery, [&] { return journal::read_at_locked(log_, *redelivery.position); },
        [this](const QueueState::Delivery& d) { return give_back(d); }));
    if (record) {
      if (taken) *taken = redelivery.delivery;
      return record;
    }
    // A gap that a damaged segment left: no record will take the sequence, so the entry is
    // finished and the poll goes on to the next delivery.
    auto s = QV_TRY(state_->lock());
    if (auto finished = s->acknowledge(*redelivery.position); !finished) {
      // Another handle of the group finished it meanwhile.
      if (finished.error().kind() != ErrorKind::NotFound) return fail(std::move(finished).error());
    }
    QV_TRY(s->write_block());
  }
  if (!from) return std::nullopt;

  std::optional<std::int64_t> candidate;
  std::optional<JournalRecordData> record;
  while (true) {
    {
      auto s = QV_TRY(state_->lock());
      candidate = first_unlisted(s->pending(), std::max(*from, s->processed_ts() + 1), next);
    }
    if (!candidate) return std::nullopt;
    record = QV_TRY(journal::read_at_locked(log_, *candidate));
    if (record) break;
    // No record under a sequence below next_sequence: a gap that a damaged segment left.
    // The group steps over it to the next record there is, so it never stalls.
    std::optional<std::int64_t> present;
    {
      auto l = QV_TRY(log_->lock());
      present = QV_TRY(l->first_present_from(*candidate));
    }
    if (!present) return std::nullopt;
    from = *present;
  }

  const std::int64_t now = clock_();
  {
    auto s = QV_TRY(state_->lock());
    // Another handle of the group may have taken it meanwhile: it is delivered again here, as
    // at-least-once delivery allows.
    if (*candidate > s->processed_ts() && !s->is_pending(*candidate)) {
      QV_TRY(s->push_pending(Entry{*candidate, now, Entry::kPending, 0}));
      QV_TRY(s->write_block());
      if (taken) *taken = QueueState::new_delivery(*candidate, now);
    }
  }
  return record;
}

Result<std::optional<JournalRecordData>> JournalQueueConsumer::poll(Duration timeout, const PollWaitRunner& run_wait,
                                                                    TakenDelivery* taken) {
  if (taken) taken->reset();
  if (closed_->load()) return fail(queue_closed());
  // A zero timeout never waits: one look, whatever the notifier holds.
  if (timeout.is_zero()) return try_poll(taken);
  return poll_until(*notifier_, seen_, timeout, [this] { return closed_->load(); }, queue_closed,
                    PassedDeadline::PollAgain, run_wait, [this, taken] { return try_poll(taken); });
}

Status JournalQueueConsumer::give_back(const QueueState::Delivery& delivery) {
  if (closed_->load()) return {};
  auto s = QV_TRY(state_->lock());
  if (!s->give_back(delivery)) return {};
  return s->write_block();
}

Status JournalQueueConsumer::ack(std::int64_t sequence) {
  if (closed_->load()) return fail(queue_closed());
  auto s = QV_TRY(state_->lock());
  QV_TRY(s->acknowledge(sequence));
  return s->write_block();
}

Status JournalQueueConsumer::set_poll_callback(WakeCallback callback) {
  if (!callback) {
    // Let go of outside the slot's lock: releasing a callback may run user code.
    WakeCallback old = QV_TRY(slot_->take());
    return {};
  }
  if (!QV_TRY(slot_->try_set(std::move(callback))))
    return fail(Error::invalid_data("journal queue poll callback is already registered"));
  return {};
}

}  // namespace quelvane
