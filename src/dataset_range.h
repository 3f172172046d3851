// What the range reads share: the check of a record against the index entry it was read
// through, and the walk over the live entries of a resolved range.
#pragma once

#include <cstdint>
#include <span>

#include "dataset.h"

namespace quelvane {

// The error of a record whose timestamp is not its index entry's; built out of line, off the
// hot path.
Error entry_record_mismatch(const IndexEntry& entry, std::int64_t record_timestamp);

// An index slot whose correction a kill tore apart can point at another record; that record is
// never served as this one.
inline Status check_entry_record(const IndexEntry& entry, std::int64_t record_timestamp) {
  if (record_timestamp != entry.timestamp) [[unlikely]]
    return fail(entry_record_mismatch(entry, record_timestamp));
  return {};
}

// Hands every live entry of the resolved range [first, last] to `step` (Result<bool>(const
// IndexEntry&), answering whether to go on), streaming the index. A template, so that a range
// read costs no call through a std::function per record.
template <class Step>
Status for_each_live_entry(DatasetInner& d, std::int64_t first, std::int64_t last, Step&& step) {
  Index::RangeReader entries = d.index.read_range(first, last);
  bool stepped = false;
  bool more = true;
  // A batch at a time: the reader hands out thousands of entries per refill, and taking them
  // one by one through a call per entry cost as much as reading the records of a block.
  while (more) {
    const std::span<const IndexEntry> batch = QV_TRY(entries.next_batch());
    if (batch.empty()) break;
    for (const IndexEntry& entry : batch) {
      if (!entry.live()) continue;
      more = QV_TRY(step(entry));
      stepped = true;
      if (!more) break;
    }
  }
  // The lock is held throughout, so one stamp after the last record reads the same as one per
  // record, without a clock call per record.
  if (stepped) d.last_activity = Clock::now();
  return {};
}

}  // namespace quelvane
