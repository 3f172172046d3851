// How records come in: new in-order records, corrections of the latest record, replacements
// of older ones, appends to the latest record, and deletes.
#include <limits>

#include "dataset.h"
#include "util/text.h"

namespace quelvane {

namespace {

BlockKey block_key(const DataSegments& segments, std::uint64_t identifier, std::uint64_t position) {
  const std::uint64_t segment = segments.segment_offset_of(position);
  return BlockKey{identifier, segment, position - segment};
}

Error expired(std::int64_t ts, std::int64_t threshold) {
  return Error::expired(text::cat("timestamp ", ts, " is older than retention threshold ", threshold));
}

}  // namespace

Status DatasetInner::check_writable_ts(std::int64_t ts, std::size_t len) const {
  if (ts < 0) [[unlikely]]
    return fail(Error::invalid_data("write timestamp must be non-negative"));
  if (len > DataSegment::kMaxRecordLen) [[unlikely]]
    return fail(Error::invalid_data("record data_len exceeds 4MiB limit"));
  if (retention_window != 0) {
    const auto threshold = retention_threshold();
    if (threshold && ts < *threshold) return fail(expired(ts, *threshold));
  }
  return {};
}

Result<JournalRoom> DatasetInner::journal_room(JournalHook* journal, JournalHook::Change change) const {
  if (journal == nullptr) return JournalRoom{};
  return journal->make_room(change, identifier);
}

Status DatasetInner::write(std::int64_t ts, std::span<const std::uint8_t> data) {
  if (read_only()) return fail(Error::invalid_data("read-only dataset cannot be written"));
  BlockCache* cache = block_cache();
  JournalHook* journal = journal_hook();
  QV_TRY(check_writable_ts(ts, data.size()));
  JournalRoom room = QV_TRY(journal_room(journal, JournalHook::Change::Write));
  const IndexEntry entry = QV_TRY(write_record(ts, data, cache));
  if (journal != nullptr) return journal->on_write(std::move(room), identifier, entry, pending_wake_);
  return {};
}

Result<IndexEntry> DatasetInner::write_record(std::int64_t ts, std::span<const std::uint8_t> data, BlockCache* cache) {
  if (!latest_written_timestamp || ts > *latest_written_timestamp) return new_write(ts, data);
  if (ts < *latest_written_timestamp) return write_out_of_order(ts, data, cache);

  // ts is the latest timestamp: rewrite the record in place while it is still the last record
  // of the open raw block; anything else makes it a replacement.
  const std::optional<IndexEntry> found = QV_TRY(index.lookup(ts));
  if (!found) return fail(Error::not_found(text::cat("no index entry for correction timestamp ", ts)));
  if (found->live() && segments.correction_write(found->block_offset, found->in_block, data)) {
    if (cache != nullptr) cache->invalidate(block_key(segments, identifier, found->block_offset));
    last_activity = Clock::now();
    return *found;
  }
  return write_out_of_order(ts, data, cache);
}

Result<IndexEntry> DatasetInner::new_write(std::int64_t ts, std::span<const std::uint8_t> data) {
  // An entry the index must refuse is refused before its record is stored and counted, and a
  // continuous index makes the room for the placeholders and the entry first.
  QV_TRY(index.check_new_latest(ts));
  QV_TRY(index.make_room_after(latest_written_timestamp, ts, &state_file));
  const WritePlace place = QV_TRY(segments.write(ts, data, &state_file));
  const std::uint64_t position = place.position();
  const Status indexed = index.continuous()
                             ? index.append_after(latest_written_timestamp, ts, position, place.in_block, &state_file)
                             : index.append(ts, position, place.in_block, &state_file);
  if (!indexed) [[unlikely]] {
    // A continuous step may have written placeholders before it failed; the latest timestamp
    // follows the index as a reopen would compute it, so the next write fills on from there.
    const std::optional<std::int64_t> indexed_latest = index.latest_timestamp();
    if (indexed_latest && (!latest_written_timestamp || *indexed_latest > *latest_written_timestamp))
      latest_written_timestamp = indexed_latest;
    return fail(indexed.error());
  }
  latest_written_timestamp = ts;
  last_activity = Clock::now();
  if (queue_notifier) pending_wake_.absorb(queue_notifier->wake());
  return IndexEntry{ts, position, place.in_block};
}

Result<IndexEntry> DatasetInner::write_out_of_order(std::int64_t ts, std::span<const std::uint8_t> data,
                                                    BlockCache* cache) {
  const WritePlace place = QV_TRY(segments.write(ts, data, &state_file));
  // An entry a sync covered may reach the disk in its new form alone: the new copy, and the
  // index's mark past it, are durable before the entry names it, so that a power loss leaves
  // either copy to read.
  if (index.entry_durable(ts)) QV_TRY(index.flush());
  const IndexEntry fresh{ts, place.position(), place.in_block};
  const IndexEntry old = QV_TRY(index.correct_entry(ts, fresh.block_offset, fresh.in_block, &state_file));
  // Evaluated only now: the new copy may have rolled over and folded the old segment into the
  // state file's totals.
  if (old.live()) QV_TRY(retire(old, cache));
  last_activity = Clock::now();
  return fresh;
}

Status DatasetInner::retire(const IndexEntry& old, BlockCache* cache) {
  if (cache != nullptr) cache->invalidate(block_key(segments, identifier, old.block_offset));
  QV_TRY(segments.invalidate(old.block_offset));
  if (segments.segment_offset_of(old.block_offset) < state_file.watermark()) QV_TRY(state_file.record_delete());
  return {};
}

Status DatasetInner::append(std::int64_t ts, std::span<const std::uint8_t> data) {
  if (read_only()) return fail(Error::invalid_data("read-only dataset cannot be appended"));
  BlockCache* cache = block_cache();
  JournalHook* journal = journal_hook();
  QV_TRY(check_writable_ts(ts, data.size()));
  if (latest_written_timestamp && ts < *latest_written_timestamp)
    return fail(Error::invalid_data("append timestamp is older than latest_written_timestamp"));
  if (data.empty()) return {};
  const auto appended = static_cast<std::uint32_t>(data.size());
  JournalRoom room = QV_TRY(journal_room(journal, JournalHook::Change::Append));
  if (!latest_written_timestamp || ts > *latest_written_timestamp) {
    const IndexEntry entry = QV_TRY(write_record(ts, data, cache));
    if (journal != nullptr) return journal->on_append(std::move(room), identifier, entry, 0, appended, pending_wake_);
    return {};
  }
  const std::optional<IndexEntry> found = QV_TRY(index.lookup(ts));
  if (!found) return fail(Error::not_found(text::cat("no index entry for append timestamp ", ts)));
  if (!found->live()) return fail(Error::not_found(text::cat("latest index entry at timestamp ", ts, " is deleted")));
  // No fallback: a record that cannot grow in place stays as it is.
  const std::uint32_t previous = QV_TRY(segments.append_to_record(found->block_offset, found->in_block, data));
  last_activity = Clock::now();
  if (journal != nullptr)
    return journal->on_append(std::move(room), identifier, *found, previous, appended, pending_wake_);
  return {};
}

Result<std::int64_t> DatasetInner::push_next(std::span<const std::uint8_t> data) {
  constexpr std::int64_t kMaxTs = std::numeric_limits<std::int64_t>::max();
  // Past the largest timestamp there is no next one: writing at the latest again would replace
  // a stored record and report it as a new one.
  if (latest_written_timestamp == kMaxTs)
    return fail(Error::invalid_data(
        text::cat("cannot push: the latest timestamp is already the largest timestamp (", kMaxTs, ")")));
  const std::int64_t ts = latest_written_timestamp ? *latest_written_timestamp + 1 : 1;
  QV_TRY(write(ts, data));
  return ts;
}

Status DatasetInner::delete_record(std::int64_t ts) {
  if (read_only()) return fail(Error::invalid_data("read-only dataset cannot be deleted"));
  BlockCache* cache = block_cache();
  JournalHook* journal = journal_hook();
  if (ts < 0) return fail(Error::invalid_data("write timestamp must be non-negative"));
  if (!latest_written_timestamp)
    return fail(Error::not_found(text::cat("no entry to delete at timestamp ", ts, " (dataset is empty)")));
  if (const auto threshold = retention_threshold(); threshold && ts < *threshold) return fail(expired(ts, *threshold));
  JournalRoom room = QV_TRY(journal_room(journal, JournalHook::Change::Delete));
  const IndexEntry old = QV_TRY(index.delete_entry(ts));
  if (old.live()) QV_TRY(retire(old, cache));
  last_activity = Clock::now();
  if (journal != nullptr) return journal->on_delete(std::move(room), identifier, old, pending_wake_);
  return {};
}

// ---- the locked forms ----

Status Dataset::write(std::int64_t ts, std::span<const std::uint8_t> data) {
  return run_open([&](DatasetInner& d) { return d.write(ts, data); });
}

Status Dataset::write_now(std::span<const std::uint8_t> data) {
  return run_open([&](DatasetInner& d) -> Status {
    const std::int64_t now = QV_TRY(util::unix_now_secs());
    return d.write(now, data);
  });
}

Status Dataset::append(std::int64_t ts, std::span<const std::uint8_t> data) {
  return run_open([&](DatasetInner& d) { return d.append(ts, data); });
}

Status Dataset::append_now(std::span<const std::uint8_t> data) {
  return run_open([&](DatasetInner& d) -> Status {
    const std::int64_t now = QV_TRY(util::unix_now_secs());
    return d.append(now, data);
  });
}

Result<std::int64_t> Dataset::push_next(std::span<const std::uint8_t> data) {
  return run_open([&](DatasetInner& d) { return d.push_next(data); });
}

Status Dataset::delete_record(std::int64_t ts) {
  return run_open([&](DatasetInner& d) { return d.delete_record(ts); });
}

}  // namespace quelvane
