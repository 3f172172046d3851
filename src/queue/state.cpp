#include "state.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <string>
#include <utility>

#include "../util/text.h"
#include "../util/time.h"

namespace quelvane {

namespace {

using Entry = DatasetQueueConsumerPendingEntry;

constexpr std::uint8_t kMagic[4] = {'Q', 'S', 'T', 'F'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint16_t kStateLength = 8;

// Header fields.
constexpr std::uint64_t kOffVersion = 4;
constexpr std::uint64_t kOffStateLength = 8;
constexpr std::uint64_t kOffProcessedTs = 10;
constexpr std::uint64_t kOffCount = 18;
constexpr std::uint64_t kOffEntrySize = 20;
// Fields of an entry, from its start.
constexpr std::uint64_t kOffTimestamp = 0;
constexpr std::uint64_t kOffStartTime = 8;
constexpr std::uint64_t kOffStatus = 16;
constexpr std::uint64_t kOffRetryCount = 17;

std::atomic<queue::StateStepObserver> step_observer{nullptr};

std::uint64_t entry_offset(std::size_t i) { return QueueState::kHeaderSize + QueueState::kEntrySize * i; }

std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
  std::int64_t out;
  if (__builtin_sub_overflow(a, b, &out))
    return a < b ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  return out;
}

bool by_position(const Entry& e, std::int64_t position) { return e.timestamp < position; }

// Checks the file's fields in their fixed order; nothing is written.
Result<std::pair<std::int64_t, std::vector<Entry>>> parse(const MappedFile& file) {
  auto head = file.bytes().first(4);
  if (!std::equal(head.begin(), head.end(), std::begin(kMagic))) return fail(Error::invalid_magic());
  auto version = file.load<std::uint32_t>(kOffVersion);
  if (version != kVersion) return fail(Error::unsupported_version(static_cast<std::uint16_t>(version)));
  auto state_length = file.load<std::uint16_t>(kOffStateLength);
  if (state_length != kStateLength)
    return fail(Error::invalid_data(text::cat("invalid queue state length: ", state_length)));
  auto processed_ts = file.load<std::int64_t>(kOffProcessedTs);
  auto count = file.load<std::uint16_t>(kOffCount);
  auto entry_size = file.load<std::uint8_t>(kOffEntrySize);
  if (entry_size != QueueState::kEntrySize)
    return fail(Error::invalid_data(text::cat("invalid queue pending entry size: ", entry_size)));
  if (count > QueueState::kCapacity)
    return fail(Error::invalid_data(text::cat("queue pending length exceeds capacity: ", count)));

  std::vector<Entry> pending;
  pending.reserve(QueueState::kCapacity);
  std::int64_t previous = processed_ts;
  for (std::size_t i = 0; i < count; ++i) {
    auto off = entry_offset(i);
    Entry e{file.load<std::int64_t>(off + kOffTimestamp), file.load<std::int64_t>(off + kOffStartTime),
            file.load<std::uint8_t>(off + kOffStatus), file.load<std::uint8_t>(off + kOffRetryCount)};
    if (e.status > Entry::kDone)
      return fail(Error::invalid_data(text::cat("invalid queue pending status at entry ", i, ": ", e.status)));
    if (e.timestamp <= previous)
      return fail(Error::invalid_data(
          text::cat("invalid queue pending timestamp order at entry ", i, ": ", e.timestamp, " <= ", previous)));
    previous = e.timestamp;
    pending.push_back(e);
  }
  return std::pair{processed_ts, std::move(pending)};
}

}  // namespace

void queue::set_state_step_observer(StateStepObserver observer) { step_observer.store(observer); }

UnixClock system_unix_clock() { return [] { return unix_secs_now(); }; }

Result<ConsumerGroupConfig> queue::check_consumer_config(std::uint64_t running_expired_seconds,
                                                         std::uint16_t max_retry_count) {
  if (running_expired_seconds > std::numeric_limits<std::uint16_t>::max())
    return fail(Error::invalid_data(text::cat("running_expired_seconds exceeds u16::MAX: ", running_expired_seconds)));
  if (max_retry_count > std::numeric_limits<std::uint8_t>::max())
    return fail(Error::invalid_data(text::cat("max_retry_count exceeds u8::MAX: ", max_retry_count)));
  return ConsumerGroupConfig{static_cast<std::uint16_t>(running_expired_seconds),
                             static_cast<std::uint8_t>(max_retry_count)};
}

QueueState::QueueState(fs::Path path, MappedFile mapping, std::int64_t processed_ts, std::vector<Entry> pending)
    : path_(std::move(path)),
      shown_path_(path_),
      mapping_(std::move(mapping)),
      processed_ts_(processed_ts),
      pending_(std::move(pending)) {}

namespace {

// A regular file that is empty, or of the full length and only zeros, is what a creation cut
// short by a crash leaves: it carries no progress, so it is made anew rather than refusing the
// group forever. Anything else keeps its error; at most one byte past the full length is read,
// enough to tell a longer file apart.
bool left_by_interrupted_create(const fs::Path& path) {
  auto content = fs::read_bounded(path, QueueState::kFileSize + 1);
  if (!content || (!content->empty() && content->size() != QueueState::kFileSize)) return false;
  return bytes::all_zero(*content);
}

}  // namespace

Result<QueueState> QueueState::open_or_create(fs::Path path, std::int64_t initial) {
  // Only a file that is really missing is created: any other failure to look at it (a
  // transient I/O error, a permission problem) must not truncate the group's progress.
  auto probe = fs::is_dir(path);
  if (!probe) {
    if (probe.error().os_code() == ENOENT) return create(std::move(path), initial);
    return fail(std::move(probe).error());
  }
  auto loaded = load(path);
  if (!loaded && left_by_interrupted_create(path)) return create(std::move(path), initial);
  return loaded;
}

Result<QueueState> QueueState::create(fs::Path path, std::int64_t initial) {
  if (auto parent = path.parent_path(); !parent.empty()) QV_TRY(fs::create_dir_all(parent, fs::Sync::Durable));
  MappedFile file = QV_TRY(MappedFile::create(path, kFileSize, [initial](MappedFile& made) {
    QV_ASSERT(made.size() == kFileSize, "a new queue state file has its full length");
    made.write(0, kMagic);
    made.store<std::uint32_t>(kOffVersion, kVersion);
    made.store<std::uint16_t>(kOffStateLength, kStateLength);
    made.store<std::int64_t>(kOffProcessedTs, initial);
    made.store<std::uint16_t>(kOffCount, 0);
    made.store<std::uint8_t>(kOffEntrySize, static_cast<std::uint8_t>(kEntrySize));
    return made.sync();
  }));
  // A group file a power loss takes would bring the group back at the latest record, past every
  // record it had not received: its name is on the disk before the group is used.
  QV_TRY(file.sync_entry());
  std::vector<Entry> pending;
  pending.reserve(kCapacity);
  QueueState state(std::move(path), std::move(file), initial, std::move(pending));
  state.zero_from_ = kHeaderSize;  // a new file is zero past its header
  return state;
}

Result<QueueState> QueueState::load(fs::Path path) {
  {
    fs::FileDescriptor fd = QV_TRY(fs::open(path, fs::OpenMode::ReadWrite));
    auto length = QV_TRY(fs::length(fd));
    if (length != kFileSize)
      return fail(Error::invalid_data(text::cat("invalid queue state file length: ", length)));
  }
  MappedFile file = QV_TRY(MappedFile::open(path, MappedFile::Access::ReadWrite));
  // The file may have changed length since it was measured above.
  if (file.size() != kFileSize)
    return fail(Error::invalid_data(text::cat("invalid queue state file length: ", file.size())));
  auto [processed_ts, pending] = QV_TRY(parse(file));

  QueueState state(std::move(path), std::move(file), processed_ts, std::move(pending));
  // Nothing is in flight after a restart: whoever had an entry is gone, so it is due again.
  bool trimmed = state.trim_done() > 0;
  bool released = false;
  for (auto& e : state.pending_) {
    if (e.in_flight()) {
      e.start_time = 0;
      released = true;
    }
  }
  if (trimmed || released) {
    state.clean_ = false;
    QV_TRY(state.write_block());
  }
  return state;
}

std::optional<std::int64_t> QueueState::next_new_position() const {
  if (processed_ts_ == std::numeric_limits<std::int64_t>::max()) return std::nullopt;
  return processed_ts_ + 1;
}

bool QueueState::is_pending(std::int64_t position) const {
  auto it = std::lower_bound(pending_.begin(), pending_.end(), position, by_position);
  return it != pending_.end() && it->timestamp == position;
}

Status QueueState::push_pending(Entry entry) {
  if (pending_.size() >= kCapacity)
    return fail(Error::pending_full(text::cat(shown_path_.string(), " (", pending_.size(), " entries)")));
  // Callers deliver only positions above the watermark that are not listed yet; anything else
  // would write a file that the loader rejects.
  QV_ASSERT(entry.timestamp > processed_ts_, "a new delivery lies above the watermark");
  auto it = std::lower_bound(pending_.begin(), pending_.end(), entry.timestamp, by_position);
  QV_ASSERT(it == pending_.end() || it->timestamp != entry.timestamp, "a position is pending once");
  pending_.insert(it, entry);
  clean_ = false;
  return {};
}

Status QueueState::acknowledge(std::int64_t position) {
  auto it = std::lower_bound(pending_.begin(), pending_.end(), position, by_position);
  if (it == pending_.end() || it->timestamp != position)
    return fail(Error::not_found(text::cat("pending entry for timestamp ", position)));
  it->status = Entry::kDone;
  forget_uncounted(position);
  clean_ = false;
  trim_done();
  return {};
}

bool QueueState::give_back(const Delivery& delivery) {
  auto it = std::lower_bound(pending_.begin(), pending_.end(), delivery.position, by_position);
  if (it == pending_.end() || it->timestamp != delivery.position || it->status != Entry::kPending ||
      it->start_time != delivery.start_time)
    return false;
  it->start_time = 0;
  it->retry_count = delivery.retry_before;
  if (!delivery.counted) uncounted_.push_back(delivery.position);
  clean_ = false;
  return true;
}

bool QueueState::forget_uncounted(std::int64_t position) {
  auto it = std::find(uncounted_.begin(), uncounted_.end(), position);
  if (it == uncounted_.end()) return false;
  uncounted_.erase(it);
  return true;
}

QueueState::Redelivery QueueState::take_redelivery(std::uint16_t running_expired_seconds,
                                                   std::uint8_t max_retry_count, std::int64_t now,
                                                   std::int64_t below, std::int64_t expired_below) {
  Redelivery out;
  for (auto& e : pending_) {
    if (e.timestamp >= below) break;  // positions are increasing: so are all that follow
    if (e.status != Entry::kPending) continue;
    bool due = e.start_time == 0 ||
               (running_expired_seconds != 0 && saturating_sub(now, e.start_time) >= running_expired_seconds);
    if (!due) continue;
    if (e.timestamp < expired_below) {
      e.status = Entry::kDone;  // given up: no delivery can reach its record any more
      forget_uncounted(e.timestamp);
      ++out.expired;
      out.changed = true;
      continue;
    }
    if (max_retry_count != 0 && e.retry_count >= max_retry_count) {
      e.status = Entry::kDone;  // given up: it counts as finished
      out.changed = true;
      continue;
    }
    const bool counted = !forget_uncounted(e.timestamp);
    out.delivery = Delivery{e.timestamp, now, e.retry_count, counted};
    if (counted && e.retry_count < std::numeric_limits<std::uint8_t>::max()) ++e.retry_count;
    e.start_time = now;
    out.position = e.timestamp;
    out.changed = true;
    break;
  }
  if (trim_done() > 0) out.changed = true;
  if (out.changed) clean_ = false;
  return out;
}

std::size_t QueueState::drop_above(std::int64_t position) {
  auto first_above = std::upper_bound(pending_.begin(), pending_.end(), position,
                                      [](std::int64_t p, const Entry& e) { return p < e.timestamp; });
  auto n = static_cast<std::size_t>(pending_.end() - first_above);
  if (n == 0) return 0;
  pending_.erase(first_above, pending_.end());
  std::erase_if(uncounted_, [position](std::int64_t p) { return p > position; });
  clean_ = false;
  return n;
}

QueueState::BroughtDown QueueState::bring_down_to(std::int64_t latest) {
  BroughtDown out;
  if (processed_ts_ > latest) {
    // Every listed entry lies above the old watermark, so above `latest` too.
    out.watermark = true;
    out.dropped = pending_.size();
    processed_ts_ = latest;
    pending_.clear();
    uncounted_.clear();
    clean_ = false;
    return out;
  }
  out.dropped = drop_above(latest);
  return out;
}

std::size_t QueueState::trim_done() {
  auto first_open =
      std::find_if(pending_.begin(), pending_.end(), [](const Entry& e) { return e.status != Entry::kDone; });
  auto n = static_cast<std::size_t>(first_open - pending_.begin());
  if (n == 0) return 0;
  processed_ts_ = std::max(processed_ts_, std::prev(first_open)->timestamp);
  pending_.erase(pending_.begin(), first_open);
  clean_ = false;
  return n;
}

void QueueState::clear_in_flight() {
  for (auto& e : pending_) {
    if (e.in_flight()) {
      e.start_time = 0;
      clean_ = false;
    }
  }
}

bool QueueState::claim_flush() {
  if (clean_ || flush_scheduled_) return false;
  flush_scheduled_ = true;
  return true;
}

Status QueueState::write_block() {
  if (!mapping_.mapped()) return fail(Error::mmap("queue state file is not mapped"));
  QV_ASSERT(pending_.size() <= kCapacity, "the pending list fits its file");
  // Each step lands before the next (a kill keeps the stores made so far, in this order), and
  // every step ends with a file that loads. The entries that move are written while the count
  // does not reach them: first the count comes down to the leading entries whose positions stay
  // in place, then the watermark (above which those lie, as in the new state), the fields of
  // the kept entries and the moved ones, and last the count that lists them.
  const auto listed = std::min<std::size_t>(mapping_.load<std::uint16_t>(kOffCount), kCapacity);
  std::size_t kept = 0;
  const std::size_t both = std::min(listed, pending_.size());
  while (kept < both && mapping_.load<std::int64_t>(entry_offset(kept) + kOffTimestamp) == pending_[kept].timestamp)
    ++kept;
  if (kept < listed) {
    mapping_.store<std::uint16_t>(kOffCount, static_cast<std::uint16_t>(kept));
    step();
  }
  mapping_.store<std::int64_t>(kOffProcessedTs, processed_ts_);
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    const auto& e = pending_[i];
    auto off = entry_offset(i);
    if (i >= kept) mapping_.store<std::int64_t>(off + kOffTimestamp, e.timestamp);
    mapping_.store<std::int64_t>(off + kOffStartTime, e.start_time);
    mapping_.store<std::uint8_t>(off + kOffStatus, e.status);
    mapping_.store<std::uint8_t>(off + kOffRetryCount, e.retry_count);
  }
  if (pending_.size() != kept || kept < listed) {
    step();
    mapping_.store<std::uint16_t>(kOffCount, static_cast<std::uint16_t>(pending_.size()));
  }
  // Zero what a shrunken list left behind, so that no stale entry stays in the file; only the
  // bytes past the count, which no reader takes, and only those that may hold anything.
  const std::uint64_t end = entry_offset(pending_.size());
  if (zero_from_ > end) {
    auto tail = mapping_.mutable_bytes().subspan(end, zero_from_ - end);
    std::fill(tail.begin(), tail.end(), std::uint8_t{0});
  }
  zero_from_ = end;
  step();
  return {};
}

void QueueState::step() const {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (queue::StateStepObserver observer = step_observer.load(std::memory_order_relaxed)) [[unlikely]]
    observer(path_);
}

Status QueueState::sync() {
  QV_TRY(write_block());
  QV_TRY(mapping_.sync());
  clean_ = true;
  flush_scheduled_ = false;
  return {};
}

SharedQueueState share_queue_state(QueueState state, std::string_view lock_prefix) {
  return std::make_shared<Mutex<QueueState>>(text::cat(lock_prefix, "state file mutex"), std::move(state));
}

}  // namespace quelvane
