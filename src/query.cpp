// The lazy range query. Each step locks the dataset for the index step and again for the record
// read, and sees the index as it is at that moment: nothing is snapshotted, and what was written
// or deleted in the remaining range between two steps shows.
#include <algorithm>
#include <limits>

#include "dataset.h"

namespace quelvane {

namespace {

constexpr std::int64_t kMaxTs = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinTs = std::numeric_limits<std::int64_t>::min();

// Skips count an entry as absent only when both of its positions are the sentinel's.
bool counts_for_skip(const IndexEntry& e) {
  return !(e.block_offset == IndexEntry::kNoBlock && e.in_block == IndexEntry::kNoOffset);
}

bool below_threshold(const DatasetInner& d, std::int64_t ts) {
  const auto threshold = d.retention_threshold();
  return threshold && ts < *threshold;
}

}  // namespace

Result<bool> QueryState::skip_front(DatasetInner& inner, std::uint64_t n) {
  std::int64_t candidate = from_;
  std::optional<IndexCursor> cursor;
  std::uint64_t counted = 0;
  while (true) {
    const std::optional<IndexHit> hit = QV_TRY(inner.next_in_range(candidate, to_, cursor));
    const bool counted_enough = hit && counts_for_skip(hit->entry) && ++counted == n;
    if (!hit || hit->entry.timestamp == kMaxTs) {
      exhausted_ = true;
      back_skip_ = 0;
      return false;
    }
    cursor = IndexCursor{hit->segment_start, hit->slot};
    candidate = hit->entry.timestamp + 1;
    if (counted_enough) {
      from_ = candidate;
      cursor_.reset();
      return true;
    }
  }
}

Result<bool> QueryState::skip_back(DatasetInner& inner, std::uint64_t n) {
  std::int64_t candidate = to_;
  std::optional<IndexCursor> cursor;
  std::uint64_t counted = 0;
  while (true) {
    const std::optional<IndexHit> hit = QV_TRY(inner.prev_in_range(from_, candidate, cursor));
    const bool counted_enough = hit && counts_for_skip(hit->entry) && ++counted == n;
    if (!hit || hit->entry.timestamp == kMinTs) {
      exhausted_ = true;
      back_skip_ = 0;
      return false;
    }
    cursor = IndexCursor{hit->segment_start, hit->slot};
    candidate = hit->entry.timestamp - 1;
    if (counted_enough) {
      to_ = candidate;
      cursor_.reset();
      return true;
    }
  }
}

Result<std::optional<IndexEntry>> QueryState::next_entry() { return step(false); }

Result<std::optional<Dataset::Guard>> QueryState::lock_for_step() {
  if (exhausted_) {
    front_skip_ = 0;
    back_skip_ = 0;
    return std::nullopt;
  }
  // The end of the range needs no lock: a loop whose body closed the dataset on the last item
  // ends instead of failing.
  if (front_skip_ == 0 && back_skip_ == 0 && to_ < from_) {
    exhausted_ = true;
    return std::nullopt;
  }
  auto locked = dataset_->lock();
  Status open = locked ? (*locked)->check_open() : Status(std::unexpected(locked.error()));
  if (!open) {
    // A skip is spent by the step that tried to apply it.
    if (front_skip_ != 0) front_skip_ = 0;
    else back_skip_ = 0;
    return fail(std::move(open).error());
  }
  return std::optional<Dataset::Guard>(std::move(locked).value());
}

Result<std::optional<IndexEntry>> QueryState::step(bool live_only) {
  std::optional<Dataset::Guard> g = QV_TRY(lock_for_step());
  if (!g) return std::nullopt;
  return step_in(**g, live_only);
}

Result<std::optional<IndexEntry>> QueryState::step_in(DatasetInner& d, bool live_only) {
  if (front_skip_ != 0) {
    const std::uint64_t n = std::exchange(front_skip_, 0);
    if (!QV_TRY(skip_front(d, n))) return std::nullopt;
  }
  if (back_skip_ != 0) {
    const std::uint64_t n = std::exchange(back_skip_, 0);
    if (!QV_TRY(skip_back(d, n))) return std::nullopt;
  }
  if (to_ < from_) {
    exhausted_ = true;
    return std::nullopt;
  }
  const std::optional<IndexHit> hit = QV_TRY(reversed_ ? d.prev_in_range(from_, to_, cursor_, live_only)
                                                      : d.next_in_range(from_, to_, cursor_, live_only));
  if (!hit) {
    exhausted_ = true;
    return std::nullopt;
  }
  cursor_ = IndexCursor{hit->segment_start, hit->slot};
  const std::int64_t ts = hit->entry.timestamp;
  if (!reversed_) {
    if (ts == kMaxTs) exhausted_ = true;
    else from_ = ts + 1;
  } else {
    if (ts == kMinTs) exhausted_ = true;
    else to_ = ts - 1;
  }
  return hit->entry;
}

Result<std::optional<RecordData>> QueryState::next_record() {
  while (true) {
    const std::optional<IndexEntry> entry = QV_TRY(step(true));
    if (!entry) return std::nullopt;
    auto g = QV_TRY(reader_dataset_->lock());
    // Between the two locks a write may have moved the retention threshold past the entry.
    if (!entry->live() || below_threshold(*g, entry->timestamp)) continue;
    RecordData record = QV_TRY(reader_.read_record(*g, *entry));
    g->last_activity = Clock::now();
    return record;
  }
}

Result<std::optional<RecordLength>> QueryState::next_length() {
  while (true) {
    const std::optional<IndexEntry> entry = QV_TRY(step(true));
    if (!entry) return std::nullopt;
    auto g = QV_TRY(reader_dataset_->lock());
    if (!entry->live() || below_threshold(*g, entry->timestamp)) continue;
    const std::uint32_t len = QV_TRY(reader_.read_length(*g, *entry));
    g->last_activity = Clock::now();
    return RecordLength{entry->timestamp, len};
  }
}

template <class T, class Step>
Result<std::vector<T>> QueryState::take(std::uint64_t count, Step step) {
  std::vector<T> out;
  out.reserve(std::min(count, entries_hint()));
  while (out.size() < count) {
    Result<std::optional<T>> item = step();
    if (!item.has_value()) {
      end();
      return fail(item.error());
    }
    if (!item->has_value()) break;
    out.push_back(std::move(item->value()));
  }
  end();
  return out;
}

std::uint64_t QueryState::entries_hint() const {
  if (exhausted_ || to_ < from_ || !dataset_) return 0;
  auto locked = dataset_->lock();
  if (!locked || (*locked)->closed) return 0;
  return (*locked)->index.entries_hint(from_, to_);
}

Result<std::vector<RecordData>> QueryState::collect_records() {
  return take_records(std::numeric_limits<std::uint64_t>::max());
}

Result<std::vector<RecordData>> QueryState::take_records(std::uint64_t count) {
  return take<RecordData>(count, [this] { return next_record(); });
}

Result<std::vector<RecordLength>> QueryState::collect_lengths() {
  return take_lengths(std::numeric_limits<std::uint64_t>::max());
}

Result<std::vector<RecordLength>> QueryState::take_lengths(std::uint64_t count) {
  return take<RecordLength>(count, [this] { return next_length(); });
}

void QueryState::skip(std::uint64_t count) {
  std::uint64_t& pending = reversed_ ? back_skip_ : front_skip_;
  pending = count > std::numeric_limits<std::uint64_t>::max() - pending ? std::numeric_limits<std::uint64_t>::max()
                                                                        : pending + count;
  cursor_.reset();
  reader_.forget_block();
}

void QueryState::reverse() {
  reversed_ = !reversed_;
  cursor_.reset();
  reader_.forget_block();
}

void QueryState::end() {
  exhausted_ = true;
  front_skip_ = 0;
  back_skip_ = 0;
  cursor_.reset();
  reader_.reset();
  dataset_.reset();
  reader_dataset_.reset();
}

}  // namespace quelvane
