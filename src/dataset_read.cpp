// How records come out: single reads, eager range reads, existence bitmaps, the queue's two
// reads, and the block reuse that range reads share.
#include <limits>
#include <tuple>

#include "dataset.h"
#include "dataset_range.h"
#include "util/text.h"

namespace quelvane {

namespace {

constexpr std::uint64_t kMaxBitmapBytes = 4ull << 20;
// A one-block cache: every insert evicts whatever it held, so it keeps exactly the last block.
constexpr std::uint64_t kOwnCacheBudget = 1;
// The id under which a dataset without an identifier keeps blocks in its reader's own cache.
constexpr std::uint64_t kOwnCacheId = 1;

// t + latest + 1 for t < 0, which cannot overflow when latest >= 0.
std::optional<std::int64_t> count_back(std::int64_t t, std::int64_t latest) {
  const __int128 r = static_cast<__int128>(t) + latest + 1;
  if (r < std::numeric_limits<std::int64_t>::min() || r > std::numeric_limits<std::int64_t>::max())
    return std::nullopt;
  return static_cast<std::int64_t>(r);
}

IndexEntry segment_relative(const IndexEntry& entry, std::uint64_t segment_offset) {
  return IndexEntry{entry.timestamp, entry.block_offset - segment_offset, entry.in_block};
}

Result<RecordData> for_entry(RecordData record, const IndexEntry& entry) {
  QV_TRY(check_entry_record(entry, record.first));
  return record;
}

}  // namespace

Error entry_record_mismatch(const IndexEntry& entry, std::int64_t record_timestamp) {
  return Error::invalid_data(text::cat("index entry at timestamp ", entry.timestamp,
                                       " points at a record of timestamp ", record_timestamp));
}

// ---- BlockReader ----

std::pair<BlockCache*, std::uint64_t> BlockReader::cache_for(DatasetInner& inner) {
  BlockCache* shared = inner.block_cache();
  if (shared != nullptr && shared->max_memory() != 0) return {shared, inner.identifier};
  if (!own_cache_) own_cache_ = std::make_unique<BlockCache>(kOwnCacheBudget);
  return {own_cache_.get(), inner.identifier != 0 ? inner.identifier : kOwnCacheId};
}

const std::vector<std::uint8_t>* BlockReader::held_block(const IndexEntry& entry) const {
  if (held_ == nullptr || held_position_ != entry.block_offset || held_.use_count() < 2) return nullptr;
  return held_.get();
}

void BlockReader::hold(const BlockKey& key, std::uint64_t position) {
  if (!holds_block_) return;
  held_ = hot_.get(key);
  held_position_ = position;
}

Result<RecordData> BlockReader::read_record(DatasetInner& inner, const IndexEntry& entry) {
  return for_entry(QV_TRY(fetch_record(inner, entry)), entry);
}

Result<RecordData> BlockReader::fetch_record(DatasetInner& inner, const IndexEntry& entry) {
  if (const auto* block = held_block(entry)) return HotBlock::read_record(*block, entry.in_block);
  // Held by this reader alone, the block would keep the hot block's weak reference alive.
  held_.reset();
  const auto [cache, id] = cache_for(inner);
  const std::uint64_t seg_offset = inner.segments.segment_offset_of(entry.block_offset);
  const BlockKey key{id, seg_offset, entry.block_offset - seg_offset};
  if (BlockPayload held = hot_.get(key)) return HotBlock::read_record(*held, entry.in_block);
  DataSegment* seg = QV_TRY(inner.segments.locate(entry.block_offset));
  RecordData record = QV_TRY(seg->read_record_hot(id, segment_relative(entry, seg_offset), cache, hot_));
  hold(key, entry.block_offset);
  return record;
}

Result<std::uint32_t> BlockReader::read_length(DatasetInner& inner, const IndexEntry& entry) {
  if (const auto* block = held_block(entry)) return HotBlock::record_len(*block, entry.in_block);
  // Held by this reader alone, the block would keep the hot block's weak reference alive.
  held_.reset();
  const auto [cache, id] = cache_for(inner);
  const std::uint64_t seg_offset = inner.segments.segment_offset_of(entry.block_offset);
  const BlockKey key{id, seg_offset, entry.block_offset - seg_offset};
  if (BlockPayload held = hot_.get(key)) return HotBlock::record_len(*held, entry.in_block);
  DataSegment* seg = QV_TRY(inner.segments.locate(entry.block_offset));
  const std::uint32_t len = QV_TRY(seg->record_len_hot(id, segment_relative(entry, seg_offset), cache, hot_));
  hold(key, entry.block_offset);
  return len;
}

void BlockReader::reset() {
  hot_ = HotBlock{};
  held_.reset();
  own_cache_.reset();
}

// ---- resolution ----

std::optional<std::int64_t> DatasetInner::resolve_single(std::int64_t ts) const {
  if (ts < 0) {
    if (!latest_written_timestamp) return std::nullopt;
    const auto r = count_back(ts, *latest_written_timestamp);
    if (!r || *r < 0) return std::nullopt;
    ts = *r;
  }
  if (const auto threshold = retention_threshold(); threshold && ts < *threshold) return std::nullopt;
  return ts;
}

// Negative bounds counted back from the latest timestamp: a start before 0 becomes 0, an end
// before 0 (or with nothing written) leaves the range empty. Retention is applied by the callers,
// each by its own rule.
std::optional<std::pair<std::int64_t, std::int64_t>> DatasetInner::resolve_bounds(std::int64_t start,
                                                                                   std::int64_t end) const {
  const std::optional<std::int64_t> latest = latest_written_timestamp;
  if (start < 0) {
    const auto r = latest ? count_back(start, *latest) : std::nullopt;
    start = r && *r > 0 ? *r : 0;
  }
  if (end < 0) {
    const auto r = latest ? count_back(end, *latest) : std::nullopt;
    if (!r || *r < 0) return std::nullopt;
    end = *r;
  }
  return std::pair{start, end};
}

std::optional<std::pair<std::int64_t, std::int64_t>> DatasetInner::resolve_range(std::int64_t start,
                                                                                  std::int64_t end) const {
  const auto bounds = resolve_bounds(start, end);
  if (!bounds) return std::nullopt;
  std::tie(start, end) = *bounds;
  if (const auto threshold = retention_threshold(); threshold && *threshold > start) start = *threshold;
  if (end < start) return std::nullopt;
  return std::pair{start, end};
}

// ---- single reads ----

namespace {

// The live entry at a resolved timestamp; none below the retention threshold.
Result<std::optional<IndexEntry>> live_entry(DatasetInner& d, std::int64_t ts) {
  if (const auto threshold = d.retention_threshold(); threshold && ts < *threshold) return std::nullopt;
  const std::optional<IndexEntry> entry = QV_TRY(d.index.lookup(ts));
  if (!entry || !entry->live()) return std::nullopt;
  return entry;
}

// Hands a live entry's record, checked against the entry, to seen(timestamp, data) in place;
// beside a live writer seen may be called again, the last call counting. A block the cache
// holds is found by its key alone, without opening its segment or looking at its header in the
// file: only sealed blocks are cached, a sealed block never changes in place, and a write that
// retires or corrects a record drops its block first, so a hit is what the segment would decode.
template <class Seen>
Status view_entry(DatasetInner& d, const IndexEntry& entry, BlockCache* cache, const Seen& seen) {
  const auto checked = [&](std::int64_t record_ts, std::span<const std::uint8_t> data) -> Result<bool> {
    QV_TRY(check_entry_record(entry, record_ts));
    return seen(record_ts, data);
  };
  if (cache != nullptr && d.identifier != 0) {
    const std::uint64_t seg_offset = d.segments.segment_offset_of(entry.block_offset);
    if (const BlockPayload block = cache->get(BlockKey{d.identifier, seg_offset, entry.block_offset - seg_offset})) {
      // A record mostly spans two cache lines of a block seldom in the processor's caches:
      // asking for the second while its header is read overlaps the two misses.
      if (const std::uint64_t next_line = std::uint64_t{entry.in_block} + 64; next_line < block->size())
        __builtin_prefetch(block->data() + next_line);
      // With the texts of the segment's own read from a cache hit.
      const auto [record_ts, data] = QV_TRY(HotBlock::view_record(*block, entry.in_block, RecordMessages::Plain));
      QV_TRY(checked(record_ts, data));
      return {};
    }
  }
  DataSegment* seg = QV_TRY(d.segments.locate(entry.block_offset));
  QV_TRY(seg->view_record(d.identifier, segment_relative(entry, seg->file_offset()), cache, checked));
  return {};
}

}  // namespace

Result<std::optional<RecordData>> DatasetInner::read_one(std::int64_t ts, BlockCache* cache) {
  const std::optional<IndexEntry> entry = QV_TRY(live_entry(*this, ts));
  if (!entry) return std::nullopt;
  RecordData record;
  QV_TRY(view_entry(*this, *entry, cache, [&](std::int64_t record_ts, std::span<const std::uint8_t> data) {
    record = RecordData{record_ts, std::vector<std::uint8_t>(data.begin(), data.end())};
    return true;
  }));
  last_activity = Clock::now();
  return record;
}

Result<std::optional<RecordData>> DatasetInner::read(std::int64_t ts) {
  const auto resolved = resolve_single(ts);
  if (!resolved) return std::nullopt;
  return read_one(*resolved, block_cache());
}

Result<std::optional<RecordData>> DatasetInner::read_latest() {
  if (!latest_written_timestamp) return std::nullopt;
  return read_one(*latest_written_timestamp, block_cache());
}

namespace {

// read_one in place: the record's bytes go to visit straight from the block, never copied here.
Result<bool> visit_one(DatasetInner& d, std::int64_t ts, const RecordVisitor& visit) {
  const std::optional<IndexEntry> entry = QV_TRY(live_entry(d, ts));
  if (!entry) return false;
  QV_TRY(view_entry(d, *entry, d.block_cache(), [&](std::int64_t record_ts, std::span<const std::uint8_t> data) {
    return visit(RecordView{record_ts, data});
  }));
  d.last_activity = Clock::now();
  return true;
}

}  // namespace

Result<bool> DatasetInner::visit_read(std::int64_t ts, const RecordVisitor& visit) {
  const auto resolved = resolve_single(ts);
  if (!resolved) return false;
  return visit_one(*this, *resolved, visit);
}

Result<bool> DatasetInner::visit_latest(const RecordVisitor& visit) {
  if (!latest_written_timestamp) return false;
  return visit_one(*this, *latest_written_timestamp, visit);
}

Result<bool> DatasetInner::read_exist(std::int64_t ts) {
  const auto resolved = resolve_single(ts);
  if (!resolved) return false;
  const std::optional<IndexEntry> entry = QV_TRY(index.lookup(*resolved));
  return entry.has_value() && entry->live();
}

Result<std::optional<std::uint32_t>> DatasetInner::read_length(std::int64_t ts) {
  const auto resolved = resolve_single(ts);
  if (!resolved) return std::nullopt;
  const std::optional<IndexEntry> entry = QV_TRY(index.lookup(*resolved));
  if (!entry || !entry->live()) return std::nullopt;
  const std::uint32_t len = QV_TRY(segments.entry_record_len(*entry, block_cache()));
  last_activity = Clock::now();
  return len;
}

Result<RecordData> DatasetInner::read_entry(const IndexEntry& entry) {
  DataSegment* seg = QV_TRY(segments.locate(entry.block_offset));
  return for_entry(QV_TRY(seg->read_record(identifier, segment_relative(entry, seg->file_offset()), block_cache())),
                   entry);
}

// ---- range reads ----

namespace {

// Reads every live entry of the resolved range through one block reader, streaming the index.
template <class T, class Read>
Result<std::vector<T>> read_range(DatasetInner& d, std::int64_t start, std::int64_t end, Read read) {
  std::vector<T> out;
  const auto range = d.resolve_range(start, end);
  if (!range) return out;
  // Sized once: growing by doubling moved every record several times and, in a long-lived
  // process, made the allocator hand memory back and fault it in again on every large read.
  out.reserve(d.index.entries_hint(range->first, range->second));
  BlockReader reader(BlockReader::Lifetime::OneCall);
  QV_TRY(for_each_live_entry(d, range->first, range->second, [&](const IndexEntry& entry) -> Result<bool> {
    out.push_back(QV_TRY(read(reader, entry)));
    return true;
  }));
  return out;
}

}  // namespace

Result<std::vector<RecordData>> DatasetInner::query_all(std::int64_t start, std::int64_t end) {
  return read_range<RecordData>(*this, start, end, [this](BlockReader& r, const IndexEntry& e) {
    return r.read_record(*this, e);
  });
}

Result<std::vector<RecordLength>> DatasetInner::query_length_all(std::int64_t start, std::int64_t end) {
  return read_range<RecordLength>(
      *this, start, end, [this](BlockReader& r, const IndexEntry& e) -> Result<RecordLength> {
        const std::uint32_t len = QV_TRY(r.read_length(*this, e));
        return RecordLength{e.timestamp, len};
      });
}

Result<std::vector<std::uint8_t>> DatasetInner::query_exist(std::int64_t start, std::int64_t end) {
  const auto bounds = resolve_bounds(start, end);
  if (!bounds) return std::vector<std::uint8_t>{};
  std::tie(start, end) = *bounds;
  if (end < start) return std::vector<std::uint8_t>{};
  // start >= 0 here, so the difference fits u64; only [0, i64 max] overflows the count.
  const std::uint64_t span = static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
  if (span >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return fail(Error::invalid_data("query_exist range overflow"));
  const std::uint64_t n = span + 1;
  const std::uint64_t size = n / 8 + (n % 8 != 0 ? 1 : 0);
  if (size > kMaxBitmapBytes)
    return fail(Error::invalid_data(text::cat("query_exist bitmap exceeds 4 MiB limit: ", size, " bytes")));
  std::vector<std::uint8_t> bitmap(size, 0);
  std::int64_t from = start;
  if (const auto threshold = retention_threshold(); threshold && *threshold > from) from = *threshold;
  if (end < from) return bitmap;
  Index::RangeReader entries = index.read_range(from, end);
  while (true) {
    const std::optional<IndexEntry> entry = QV_TRY(entries.next());
    if (!entry) break;
    if (!entry->live()) continue;
    const std::uint64_t bit = static_cast<std::uint64_t>(entry->timestamp) - static_cast<std::uint64_t>(start);
    if (bit / 8 < bitmap.size()) bitmap[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
  }
  return bitmap;
}

Result<std::vector<IndexEntry>> DatasetInner::index_entries(std::int64_t start, std::int64_t end) {
  const auto range = resolve_range(start, end);
  if (!range) return std::vector<IndexEntry>{};
  return index.entries_in_range(range->first, range->second);
}

Result<std::optional<IndexHit>> DatasetInner::next_in_range(std::int64_t from, std::int64_t to,
                                                            std::optional<IndexCursor> cursor, bool live_only) {
  if (const auto threshold = retention_threshold(); threshold && *threshold > from) from = *threshold;
  return index.next_in_range(from, to, cursor, live_only);
}

Result<std::optional<IndexHit>> DatasetInner::prev_in_range(std::int64_t from, std::int64_t to,
                                                            std::optional<IndexCursor> cursor, bool live_only) {
  if (const auto threshold = retention_threshold(); threshold && *threshold > from) from = *threshold;
  return index.prev_in_range(from, to, cursor, live_only);
}

// ---- the locked forms ----

namespace {

template <class F>
auto locked_read(const Dataset& ds, F&& f) -> decltype(f(std::declval<DatasetInner&>())) {
  auto g = QV_TRY(ds.lock());
  QV_TRY(g->check_open());
  return f(*g);
}

}  // namespace

Result<std::optional<RecordData>> Dataset::read(std::int64_t ts) {
  return locked_read(*this, [&](DatasetInner& d) { return d.read(ts); });
}

Result<std::optional<RecordData>> Dataset::read_latest() {
  return locked_read(*this, [&](DatasetInner& d) { return d.read_latest(); });
}

Result<bool> Dataset::visit_read(std::int64_t ts, const RecordVisitor& visit) {
  return locked_read(*this, [&](DatasetInner& d) { return d.visit_read(ts, visit); });
}

Result<bool> Dataset::visit_latest(const RecordVisitor& visit) {
  return locked_read(*this, [&](DatasetInner& d) { return d.visit_latest(visit); });
}

Result<bool> Dataset::read_exist(std::int64_t ts) {
  return locked_read(*this, [&](DatasetInner& d) { return d.read_exist(ts); });
}

Result<std::optional<std::uint32_t>> Dataset::read_length(std::int64_t ts) {
  return locked_read(*this, [&](DatasetInner& d) { return d.read_length(ts); });
}

Result<std::vector<RecordData>> Dataset::query_all(std::int64_t start, std::int64_t end) {
  return locked_read(*this, [&](DatasetInner& d) { return d.query_all(start, end); });
}

Result<std::vector<RecordLength>> Dataset::query_length_all(std::int64_t start, std::int64_t end) {
  return locked_read(*this, [&](DatasetInner& d) { return d.query_length_all(start, end); });
}

Result<std::vector<std::uint8_t>> Dataset::query_exist(std::int64_t start, std::int64_t end) {
  return locked_read(*this, [&](DatasetInner& d) { return d.query_exist(start, end); });
}

Result<std::vector<IndexEntry>> Dataset::index_entries(std::int64_t start, std::int64_t end) {
  return locked_read(*this, [&](DatasetInner& d) { return d.index_entries(start, end); });
}

Result<RecordData> Dataset::read_entry(const IndexEntry& entry) {
  return locked_read(*this, [&](DatasetInner& d) { return d.read_entry(entry); });
}

Result<QueryState> Dataset::query(std::int64_t start, std::int64_t end) {
  auto g = QV_TRY(lock());
  QV_TRY(g->check_open());
  const auto range = g->resolve_range(start, end);
  g.release();
  // An empty range is a state that is exhausted from the start.
  if (!range) return QueryState(*this, *this, 0, -1);
  return QueryState(*this, *this, range->first, range->second);
}

}  // namespace quelvane
