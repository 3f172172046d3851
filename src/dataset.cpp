// The dataset's lifecycle: create, open, attach, close, flush, idle release, retention and
// inspection, and the accessors that always answer.
#include "dataset.h"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

#include "util/boot.h"
#include "util/log.h"
#include "util/text.h"

namespace quelvane {

namespace util {

Result<std::int64_t> unix_secs_at(std::chrono::system_clock::time_point t) {
  const auto since = t.time_since_epoch();
  if (since.count() < 0) return fail(Error::invalid_data("system time is before Unix epoch"));
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  // A clock with a wider representation than i64 seconds cannot be represented here.
  if (static_cast<std::uint64_t>(secs) > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return fail(Error::invalid_data("system time exceeds i64 Unix timestamp range"));
  return static_cast<std::int64_t>(secs);
}

Result<std::int64_t> unix_now_secs() { return unix_secs_at(std::chrono::system_clock::now()); }

}  // namespace util

namespace {

constexpr const char* kLogTarget = "quelvane::dataset";

meta::Meta meta_of(const DataSetConfig& c) {
  meta::Meta m;
  m.data_segment_size = c.data_segment_size;
  m.index_segment_size = c.index_segment_size;
  m.initial_data_segment_size = c.initial_data_segment_size;
  m.initial_index_segment_size = c.initial_index_segment_size;
  m.retention_window = c.retention_window;
  m.compress_level = c.compress_level;
  m.compress_type = c.compress_type;
  m.index_continuous = c.index_continuous;
  m.enable_journal = c.enable_journal ? 1 : 0;
  return m;
}

Status validate(const meta::Meta& m) { return config::validate_dataset_options(config::options_of(m)); }

// What a dataset directory holds besides meta and identifier. A directory without meta may
// still hold these, left by an interrupted drop; a new dataset must not inherit its segments,
// totals or consumer groups.
constexpr const char* kDatasetContents[] = {"data", "index", "queue", "state"};

Status remove_leftovers(const fs::Path& dir) {
  for (const char* entry : kDatasetContents) QV_TRY(fs::remove_tree(dir / entry));
  return {};
}

Result<bool> has_leftovers(const fs::Path& dir) {
  for (const char* entry : kDatasetContents)
    if (QV_TRY(fs::exists(dir / entry))) return true;
  return false;
}

std::uint32_t cut32(std::size_t n) { return static_cast<std::uint32_t>(n); }

// Reclaim unlinks expired segments before the state file's subtraction and time range are
// synchronised, and a delete counts an invalid record in its segment before the state file. The
// open has just read every segment header, so after a kill the state file is made to follow the
// files here, whatever instant the kill hit. A roll-over never leaves a segment without records
// behind, so a segment below the watermark whose summary counts none is one whose header could
// not be read: its share of the totals is unknown, and they stay as stored.
Status follow_segment_files(const DataSegments& segments, const Index& index, DatasetStateFile& state,
                            const fs::Path& shown_dir) {
  QV_TRY(state.on_time_range(index.sealed_time_range()));
  std::vector<SegmentStats> sealed;
  for (const auto& [offset, slot] : segments.slots()) {
    if (offset >= state.watermark()) break;
    sealed.push_back(slot.stats());
    if (sealed.back().record_count == 0) return {};
  }
  const std::uint64_t records = state.total_record_count();
  if (QV_TRY(state.refold(sealed)))
    QV_LOG(Warn, kLogTarget, "[open] ", shown_dir.string(), ": totals of the sealed segments corrected from ",
           records, " to ", state.total_record_count(), " records to follow the segment files");
  return {};
}

// After a power loss, whatever the last flush did not cover may have reached the disk torn or in
// part: the data goes back to the flush's mark and the index keeps the entries after its mark
// only while they name records that are there.
Result<DataCut> cut_unflushed_tail(const Watermark& mark, DataSegments& segments, Index& index,
                                   const fs::Path& shown_dir) {
  QV_LOG(Warn, kLogTarget, "[open] ", shown_dir.string(),
         ": first open since the machine restarted; cutting what the last flush did not cover");
  // An entry the flush covered that now names a record past the mark was rewritten since (a
  // second write, a correction): its new copy is kept when it reads whole, with what lies below
  // it, or the entry would name nothing and the record it named before would be gone with it.
  std::optional<IndexEntry> named;
  if (mark.data.has_data) {
    std::vector<IndexEntry> later = QV_TRY(index.covered_entries_from(mark.entries, mark.data.file_offset));
    std::ranges::sort(later, [](const IndexEntry& a, const IndexEntry& b) {
      return std::pair{a.block_offset, a.in_block} > std::pair{b.block_offset, b.in_block};
    });
    const auto kept = std::ranges::find_if(later, [&](const IndexEntry& e) {
      return segments.holds_record(e, std::numeric_limits<std::uint64_t>::max());
    });
    if (kept != later.end()) named = *kept;
  }
  const DataCut data = QV_TRY(segments.cut_to(mark.data, named));
  const std::uint64_t cut = QV_TRY(
      index.cut_unconfirmed(mark.entries, [&](const IndexEntry& e) { return segments.holds_record(e, data.end); }));
  if (cut > 0) QV_LOG(Warn, kLogTarget, "[open] ", shown_dir.string(), ": ", cut, " index entries cut");
  return data;
}

}  // namespace

// ---- DatasetInner ----

DatasetInner::DatasetInner(DataSetKey key_, fs::Path dir_, meta::Meta meta_, DataSegments segments_, Index index_,
                           DatasetStateFile state_file_)
    : key(std::move(key_)),
      dir(std::move(dir_)),
      shown_dir(dir),
      meta(meta_),
      retention_window(meta_.retention_window),
      segments(std::move(segments_)),
      index(std::move(index_)),
      state_file(std::move(state_file_)),
      last_activity(Clock::now()) {
  index.set_data_sync(&segments);
}

Status DatasetInner::check_open() const {
  if (closed) [[unlikely]]
    return fail(Error::invalid_data(text::cat("dataset ", key.name, "/", key.dataset_type, " is closed")));
  return {};
}

BlockCache* DatasetInner::block_cache() const {
  if (identifier == 0 || !context) return nullptr;
  return context->block_cache.get();
}

JournalHook* DatasetInner::journal_hook() const { return context ? context->journal_hook.get() : nullptr; }

std::optional<std::int64_t> DatasetInner::retention_threshold() const {
  if (retention_window == 0 || !latest_written_timestamp) return std::nullopt;
  const __int128 t = static_cast<__int128>(*latest_written_timestamp) - static_cast<__int128>(retention_window);
  if (t < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(t);
}

Status DatasetInner::flush() {
  if (read_only()) return {};
  if (context && context->dirty_queue) {
    // The queued targets only name what the whole flush below covers. Without memory for them
    // some may be off the queue unsynced, so the queue is marked missed as well, for the case
    // that the flush below fails too.
    try {
      QV_TRY(flush_queued());
    } catch (const std::bad_alloc&) {
      context->dirty_queue->note_missed();
    }
    // What the background flush drained but has not reached yet, and what an earlier failed
    // flush left behind, is synchronised here too: a flush that succeeds leaves nothing of this
    // dataset unsynchronised.
    QV_TRY(segments.flush());
    QV_TRY(index.flush());
    if (queue) QV_TRY(queue->flush_all());
  } else {
    QV_TRY(segments.flush());
    QV_TRY(index.flush());
    if (queue) {
      if (auto st = queue->flush_all(); !st)
        QV_LOG(Warn, kLogTarget, "[flush] queue state flush failed: ", st.error().display());
    }
  }
  last_activity = Clock::now();
  return {};
}

Status DatasetInner::flush_queued() {
  if (closed || !context || !context->dirty_queue) return {};
  return flush_targets(context->dirty_queue->take_for(key));
}

Status DatasetInner::flush_target(const FlushTarget& target) {
  switch (target.kind()) {
    case FlushTarget::Kind::DataSegment: {
      DataSegment* seg = segments.find_open(target.file_offset());
      if (seg == nullptr || seg->clean()) return {};
      return seg->flush();
    }
    case FlushTarget::Kind::IndexSegment:
      return index.flush_segment(target.start_ts());
    case FlushTarget::Kind::ConsumerGroup:
      if (!queue) return {};
      return queue->flush_group(target.group());
  }
  return {};
}

Status DatasetInner::flush_targets(std::vector<FlushTarget> targets) {
  for (std::size_t i = 0; i < targets.size(); ++i) {
    auto st = flush_target(targets[i]);
    if (!st) {
      // The failing target and those not reached stay owed: back on the queue, so the next
      // flush retries them instead of forgetting them.
      if (context && context->dirty_queue) {
        targets.erase(targets.begin(), targets.begin() + static_cast<std::ptrdiff_t>(i));
        context->dirty_queue->put_back(key, std::move(targets));
      }
      return st;
    }
  }
  return {};
}

Status DatasetInner::close_queue() {
  std::shared_ptr<AttachedQueue> q = std::move(queue);
  queue.reset();
  if (!q) return {};
  // The groups' closing sync covers records: those reach the disk first. The groups close even
  // when that fails, and the records' failure is the one reported.
  Status records = read_only() ? Status{} : segments.flush();
  if (records) records = index.flush();
  Status closed = q->close_all(pending_wake_);
  QV_TRY(std::move(records));
  QV_TRY(std::move(closed));
  q.reset();
  queue_notifier.reset();
  return {};
}

DataSetInspectResult DatasetInner::inspect() {
  DataSetInspectResult r;
  DataSetInfo& info = r.info;
  info.name = key.name;
  info.dataset_type = key.dataset_type;
  info.base_dir = text::lossy_utf8(shown_dir.string());
  info.identifier = identifier;
  info.data_segment_size = meta.data_segment_size;
  info.index_segment_size = meta.index_segment_size;
  info.initial_data_segment_size = meta.initial_data_segment_size;
  info.initial_index_segment_size = meta.initial_index_segment_size;
  info.compress_type = meta.compress_type;
  info.compress_level = meta.compress_level;
  info.index_continuous = meta.index_continuous;
  info.retention_window = retention_window;
  info.enable_journal = meta.enable_journal != 0;
  info.create_time = meta.create_time;

  DataSetState& st = r.state;
  st.latest_written_timestamp = latest_written_timestamp;
  st.open_data_segments = cut32(segments.open_count());
  st.data_segments = cut32(segments.slots().size());
  st.total_record_count = state_file.total_record_count();
  st.total_data_size = state_file.total_data_size();
  st.total_uncompressed_size = state_file.total_uncompressed_size();
  st.total_invalid_record_count = state_file.total_invalid_record_count();
  // The state file holds every segment below its watermark; the last segment is added unless
  // an interrupted roll-over already folded it in.
  if (!segments.slots().empty()) {
    const auto& [offset, slot] = *segments.slots().rbegin();
    if (offset >= state_file.watermark()) {
      const SegmentStats last = slot.stats();
      st.total_record_count += last.record_count;
      st.total_data_size += last.data_size;
      st.total_uncompressed_size += last.uncompressed_size;
      st.total_invalid_record_count += last.invalid_record_count;
    }
  }
  std::optional<std::int64_t> state_min, state_max;
  if (state_file.min_timestamp() != DatasetStateFile::kNoMin) state_min = state_file.min_timestamp();
  if (state_file.max_timestamp() != DatasetStateFile::kNoMax) state_max = state_file.max_timestamp();
  if (auto newest = index.newest_time_range()) {
    st.min_timestamp = state_min ? std::min(*state_min, newest->first) : newest->first;
    st.max_timestamp = state_max ? std::max(*state_max, newest->second) : newest->second;
  } else {
    st.min_timestamp = state_min;
    st.max_timestamp = state_max;
  }
  st.open_index_segments = cut32(index.open_segment_count());
  st.index_segments = cut32(index.segment_count());
  st.pending_index_entries = 0;
  st.base_timestamp = index.base();
  st.read_only = read_only();
  st.has_block_cache = context.has_value() && context->block_cache != nullptr;
  st.has_journal = context.has_value() && context->journal_hook != nullptr;
  st.has_queue = queue != nullptr;
  st.queue_consumer_groups = queue ? queue->consumer_group_count() : 0;
  return r;
}

// ---- Dataset: create and open ----

Result<Dataset> Dataset::create(const DataSetKey& key, const fs::Path& dir, const DataSetConfig& config) {
  meta::Meta m = meta_of(config);
  QV_TRY(validate(m));
  // Only a meta that is certainly missing makes the rest leftovers: a meta that cannot be
  // looked at may belong to a live dataset, whose files must stay.
  if (QV_TRY(fs::exists(dir / "meta")))
    return fail(Error::already_exists(text::cat("dataset already exists at ", dir.string())));
  if (QV_TRY(has_leftovers(dir))) {
    QV_LOG(Warn, kLogTarget, "[create] removing leftovers of an earlier dataset at ", dir.string());
    QV_TRY(remove_leftovers(dir));
  }
  QV_TRY(fs::create_dir_all(dir / "data"));
  QV_TRY(fs::create_dir_all(dir / "index"));
  m.create_time = unix_millis_now();
  QV_TRY(meta::write_meta(m, dir / "meta"));
  auto segments = QV_TRY(DataSegments::create(dir, m.data_segment_size, m.initial_data_segment_size,
                                              m.compress_level, m.compress_type));
  auto index = QV_TRY(Index::create(dir / "index", m.index_segment_size, m.initial_index_segment_size,
                                    m.index_continuous != 0, m.compress_level, m.compress_type));
  auto state = QV_TRY(DatasetStateFile::open_or_create(dir));
  return Dataset(std::make_shared<Mutex<DatasetInner>>("dataset mutex", key, dir, m, std::move(segments),
                                                       std::move(index), std::move(state)));
}

Result<Dataset> Dataset::open(const DataSetKey& key, const fs::Path& dir, const fs::Path& shown_dir) {
  return open_with(key, dir, shown_dir, false);
}

Result<Dataset> Dataset::open_read_only(const DataSetKey& key, const fs::Path& dir, const fs::Path& shown_dir) {
  return open_with(key, dir, shown_dir, true);
}

Result<Dataset> Dataset::open_with(const DataSetKey& key, const fs::Path& named_dir, const fs::Path& shown_dir,
                                   bool read_only) {
  const fs::Path shown = shown_dir.empty() ? named_dir : shown_dir;
  // Every look of a read-only dataset into its directory goes through the guard.
  std::shared_ptr<GenerationGuard> generation = read_only ? std::make_shared<GenerationGuard>() : nullptr;
  const fs::Path dir(named_dir, generation);
  const fs::Path meta_path = dir / "meta";
  if (!QV_TRY(fs::exists(meta_path)))
    return fail(Error::not_found(text::cat("dataset meta not found at ", (shown / "meta").string())));
  const meta::Meta m = QV_TRY(meta::read_meta(meta_path));
  QV_TRY(validate(m));
  if (!read_only) {
    // Files a kill left before their rename (segments, the state file, the meta); the store
    // lock makes this the only writer, and it has made nothing here yet. One that cannot be
    // removed is still never read.
    for (const char* sub : {"", "data", "index"}) (void)fs::remove_temporaries(dir / sub);
  }
  auto segments = QV_TRY(DataSegments::open(dir, m.data_segment_size, m.initial_data_segment_size,
                                            m.compress_level, m.compress_type));
  auto index = QV_TRY(Index::open(dir / "index", m.index_segment_size, m.initial_index_segment_size,
                                  m.index_continuous != 0, m.compress_level, m.compress_type));
  // A mark stamped in another boot: the machine went down since, and the page cache with it.
  std::optional<Watermark> power_lost;
  if (!read_only) {
    if (auto mark = index.durable_watermark(); mark && util::is_other_boot(mark->boot)) power_lost = mark;
  }
  std::optional<DataCut> cut;
  if (power_lost) cut = QV_TRY(cut_unflushed_tail(*power_lost, segments, index, shown));
  auto state = read_only ? QV_TRY(DatasetStateFile::open_read_only(dir)) : QV_TRY(DatasetStateFile::open_or_create(dir));
  if (cut) QV_TRY(state.lower_watermark(cut->last_segment));
  if (!read_only) QV_TRY(follow_segment_files(segments, index, state, shown));
  const std::optional<std::int64_t> latest = index.read_latest_timestamp();
  auto mutex = std::make_shared<Mutex<DatasetInner>>("dataset mutex", key, dir, m, std::move(segments),
                                                     std::move(index), std::move(state));
  // Nobody else holds the new mutex yet.
  auto guard = QV_TRY(mutex->lock());
  // The cut is on the disk, and the mark stamped with this boot, before any write reuses what
  // was cut: a kill later in this boot must not cut the new records.
  if (power_lost) QV_TRY(guard->index.flush());
  if (read_only) guard->index.set_data_sync(nullptr);
  guard->latest_written_timestamp = latest;
  guard->shown_dir = shown;
  guard->generation = std::move(generation);
  guard.release();
  return Dataset(std::move(mutex));
}

Result<Dataset::Guard> Dataset::lock() const { return mutex_->lock(); }

// ---- Dataset: context, identifier, close ----

Status Dataset::attach_context(DatasetContext context) {
  auto g = QV_TRY(lock());
  std::optional<FlushNotifier> notifier;
  if (context.dirty_queue) notifier = FlushNotifier{g->key, context.dirty_queue};
  g->segments.set_notifier(notifier);
  g->index.set_notifier(notifier);
  // A read-only handle never writes the mark: a live writer beside it owns the file.
  g->index.set_data_sync(context.read_only ? nullptr : &g->segments);
  std::optional<DatasetContext> previous = std::exchange(g->context, std::move(context));
  g.release();
  return {};
}

Status Dataset::set_identifier(std::uint64_t identifier) {
  auto g = QV_TRY(lock());
  g->identifier = identifier;
  g->segments.set_cache_id(identifier);
  return {};
}

Status Dataset::guard_generation(GenerationGuard::Check still_here) {
  auto g = QV_TRY(lock());
  if (!g->generation) return {};
  g->generation->arm(std::move(still_here));
  return g->generation->confirm();
}

Status Dataset::close() {
  auto g = QV_TRY(lock());
  DatasetInner& d = *g;
  Status closed = [&]() -> Status {
    if (d.closed) return {};
    if (d.identifier != 0 && d.context && d.context->block_cache) d.context->block_cache->remove_dataset(d.identifier);
    if (!d.read_only()) {
      QV_TRY(d.close_queue());
      QV_TRY(d.flush());
      QV_TRY(d.segments.close_all());
      QV_TRY(d.index.close_segments());
    }
    d.closed = true;
    return {};
  }();
  // The queue's close took the wake callbacks out of their slots; releasing one may run user
  // code, so they are let go of once the dataset is unlocked, on failure too.
  Wake released = d.take_wake();
  const DataSetKey key = d.key;
  std::shared_ptr<OnCloseCallback> on_close = closed && d.context ? d.context->on_close : nullptr;
  std::shared_ptr<JournalHook> journal = closed && d.context ? d.context->journal_hook : nullptr;
  g.release();
  released.run();
  QV_TRY(std::move(closed));
  // What the close synced is in the journal's durable part too, as after a flush.
  Status journalled = journal ? journal->make_durable() : Status{};
  if (on_close) on_close->on_close(key, *this);
  return journalled;
}

// ---- Dataset: flushing, idle release, retention, inspection ----

Status Dataset::flush() {
  std::shared_ptr<JournalHook> journal;
  {
    auto g = QV_TRY(lock());
    QV_TRY(g->check_open());
    QV_TRY(g->flush());
    if (g->context) journal = g->context->journal_hook;
  }
  // The journal syncs other datasets first, taking their locks: this one's is released.
  return journal ? journal->make_durable() : Status{};
}

Status Dataset::flush_quietly() const {
  auto g = QV_TRY(lock());
  if (g->closed) return {};
  const Instant activity = g->last_activity;
  Status st = g->flush();
  g->last_activity = activity;
  Wake wake = g->take_wake();
  g.release();
  wake.run();
  return st;
}

Status Dataset::flush_targets(std::vector<FlushTarget> targets) {
  auto g = QV_TRY(lock());
  return g->flush_targets(std::move(targets));
}

Status Dataset::release_idle() {
  auto g = QV_TRY(lock());
  // A closed dataset holds no files; its key's queued targets belong to whoever has it now.
  if (g->closed) return {};
  QV_TRY(g->flush());
  QV_TRY(g->segments.close_all());
  return g->index.close_segments();
}

Result<std::uint64_t> Dataset::reclaim_expired() {
  {
    auto g = QV_TRY(lock());
    if (g->read_only())
      return fail(Error::invalid_data("read-only dataset cannot reclaim expired segments"));
  }
  auto g = QV_TRY(lock());
  DatasetInner& d = *g;
  QV_TRY(d.check_open());
  const std::optional<std::int64_t> cutoff = d.retention_threshold();
  if (!cutoff) return std::uint64_t{0};
  const Instant activity = d.last_activity;
  QV_TRY(d.flush());
  QV_TRY(d.segments.close_all());
  QV_TRY(d.index.close_segments());
  const std::uint64_t index_removed = d.index.retain_after(*cutoff);
  const std::vector<SegmentStats> removed = d.segments.reclaim_expired(*cutoff);
  for (const SegmentStats& s : removed)
    if (s.file_offset < d.state_file.watermark()) QV_TRY(d.state_file.subtract_reclaimed(s));
  QV_TRY(d.state_file.on_time_range(d.index.sealed_time_range()));
  d.last_activity = activity;
  return index_removed + removed.size();
}

Result<DataSetInspectResult> Dataset::inspect() {
  auto g = QV_TRY(lock());
  QV_TRY(g->check_open());
  return g->inspect();
}

// ---- Dataset: accessors that always answer ----

std::uint64_t Dataset::identifier() const {
  auto g = lock();
  return g ? (*g)->identifier : 0;
}

std::optional<std::int64_t> Dataset::latest_timestamp() const {
  auto g = lock();
  return g ? (*g)->latest_written_timestamp : std::nullopt;
}

bool Dataset::enable_journal() const {
  auto g = lock();
  return g ? (*g)->meta.enable_journal != 0 : false;
}

std::uint64_t Dataset::retention_window() const {
  auto g = lock();
  return g ? (*g)->retention_window : 0;
}

fs::Path Dataset::dir_path() const {
  auto g = lock();
  return g ? (*g)->shown_dir : fs::Path{};
}

Instant Dataset::last_activity() const {
  auto g = lock();
  return g ? (*g)->last_activity : Clock::now();
}

}  // namespace quelvane
