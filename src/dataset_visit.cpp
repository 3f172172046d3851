// Reads that hand each record to a visitor in place, straight out of the decoded block: the
// same records as query_all and the cursor's steps, without a copy of each record's data.
#include <limits>

#include "dataset.h"
#include "dataset_range.h"

namespace quelvane {

namespace {

Result<RecordView> for_entry(RecordView view, const IndexEntry& entry) {
  QV_TRY(check_entry_record(entry, view.timestamp));
  return view;
}

Result<RecordView> view_in(std::span<const std::uint8_t> block, const IndexEntry& entry) {
  const auto [ts, data] = QV_TRY(HotBlock::view_record(block, entry.in_block));
  return for_entry(RecordView{ts, data}, entry);
}

}  // namespace

Result<RecordView> BlockReader::view_record(DatasetInner& inner, const IndexEntry& entry) {
  if (const auto* block = held_block(entry)) return view_in(*block, entry);
  // As read_record: a block held by this reader alone would keep the hot block alive.
  held_.reset();
  viewed_.reset();
  const auto [cache, id] = cache_for(inner);
  const std::uint64_t seg_offset = inner.segments.segment_offset_of(entry.block_offset);
  const BlockKey key{id, seg_offset, entry.block_offset - seg_offset};
  if (BlockPayload hot = hot_.get(key)) {
    viewed_ = std::move(hot);
    return view_in(*viewed_, entry);
  }
  // The block's first record here: the segment read decodes the block and makes it the hot one
  // (or, for a raw block, copies the record out of the mapping).
  copied_ = QV_TRY(read_record(inner, entry));
  return for_entry(RecordView{copied_.first, copied_.second}, entry);
}

Status DatasetInner::visit_range(std::int64_t start, std::int64_t end, const RecordVisitor& visit) {
  const auto range = resolve_range(start, end);
  if (!range) return {};
  BlockReader reader(BlockReader::Lifetime::OneCall);
  return for_each_live_entry(*this, range->first, range->second, [&](const IndexEntry& entry) -> Result<bool> {
    const RecordView view = QV_TRY(reader.view_record(*this, entry));
    return visit(view);
  });
}

Status Dataset::visit_range(std::int64_t start, std::int64_t end, const RecordVisitor& visit) {
  auto g = QV_TRY(lock());
  QV_TRY(g->check_open());
  return g->visit_range(start, end, visit);
}

// One lock for the index step and the record: the entry cannot change, nor the retention
// threshold move past it, before its record is read.
Result<bool> QueryState::next_record_view(const RecordVisitor& visit) {
  while (true) {
    std::optional<Dataset::Guard> g = QV_TRY(lock_for_step());
    if (!g) return false;
    // Placeholders and deleted records are passed over inside the index step.
    const std::optional<IndexEntry> entry = QV_TRY(step_in(**g, true));
    if (!entry) return false;
    if (!entry->live()) continue;
    const RecordView view = QV_TRY(reader_.view_record(**g, *entry));
    (*g)->last_activity = Clock::now();
    (void)visit(view);
    return true;
  }
}

Status QueryState::visit_records(std::uint64_t count, const RecordVisitor& visit) {
  bool stopped = false;
  const RecordVisitor step = [&](const RecordView& view) {
    stopped = !visit(view);
    return !stopped;
  };
  for (std::uint64_t n = 0; n < count && !stopped; ++n) {
    Result<bool> visited = next_record_view(step);
    if (!visited) {
      end();
      return fail(std::move(visited).error());
    }
    if (!*visited) break;
  }
  end();
  return {};
}

}  // namespace quelvane
