#include "segment/mod.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <string_view>

#include "header.h"
#include "util/log.h"
#include "util/mapped_file.h"
#include "util/text.h"

namespace quelvane {

namespace {

constexpr const char* kLog = "quelvane::segment";

std::unexpected<Error> invalid(std::string message) { return fail(Error::invalid_data(std::move(message))); }

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// A segment file name: an unsigned 64-bit decimal number, optionally after one '+'.
std::optional<std::uint64_t> parse_file_offset(std::string_view name) {
  if (!name.empty() && name.front() == '+') name.remove_prefix(1);
  if (name.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), value);
  if (ec != std::errc() || end != name.data() + name.size()) return std::nullopt;
  return value;
}

// Two names of one offset ("5" and "+5"): the canonical name wins, else the smaller one, so
// that the choice never depends on the directory order.
bool preferred_name(const std::string& candidate, const std::string& current, std::uint64_t offset) {
  const std::string canonical = DataSegments::file_name(offset);
  if (candidate == canonical) return true;
  if (current == canonical) return false;
  return candidate < current;
}

// Reads only the header, through a temporary read-only mapping. A file that cannot be read
// keeps the empty values; it is reported when the segment is opened.
DataSegmentSummary summarise(fs::Path path, std::uint64_t file_offset, std::uint64_t length) {
  DataSegmentSummary s;
  s.path = std::move(path);
  s.file_offset = file_offset;
  s.file_size = length;
  if (length < header::kPrefixSize) return s;
  auto file = MappedFile::open(s.path, MappedFile::Access::ReadOnly);
  if (!file || file->size() < header::kPrefixSize) return s;
  auto h = header::parse_data_header(file->bytes());
  if (!h) return s;
  const header::DataTotals& t = h->data.totals;
  s.min_ts = t.min_ts;
  s.max_ts = t.max_ts;
  s.record_count = t.record_count;
  s.data_size = t.write_position > h->header_len ? t.write_position - h->header_len : 0;
  s.uncompressed_size = t.uncompressed_size;
  s.invalid_record_count = h->data.invalid_record_count;
  return s;
}

// A create of an earlier version, which made the file under its own name, cut short leaves it
// empty, or zero-filled with at most a header lacking its magic (the magic was stored last).
// Nothing of such a file can be lost by creating it again.
bool never_written(const fs::Path& path) {
  auto file = MappedFile::open(path, MappedFile::Access::ReadOnly);
  if (!file) return false;
  const auto bytes = file->bytes();
  const auto zero = [](std::uint8_t b) { return b == 0; };
  const std::size_t magic = std::min<std::size_t>(bytes.size(), header::kMagic.size());
  const std::size_t blocks = std::min<std::size_t>(bytes.size(), header::kDataHeaderSize);
  return std::all_of(bytes.begin(), bytes.begin() + magic, zero) &&
         std::all_of(bytes.begin() + blocks, bytes.end(), zero);
}

bool is_content_error(const Error& e) {
  return e.kind() == ErrorKind::InvalidData || e.kind() == ErrorKind::InvalidMagic ||
         e.kind() == ErrorKind::UnsupportedVersion;
}

}  // namespace

// ---- summaries and slots -------------------------------------------------------------------

SegmentStats DataSegmentSummary::stats() const {
  return {file_offset, record_count, data_size, uncompressed_size, invalid_record_count, min_ts, max_ts};
}

DataSegmentSummary DataSegmentSummary::of(const DataSegment& segment) {
  return {
      .path = segment.path(),
      .file_offset = segment.file_offset(),
      .file_size = segment.file_size(),
      .min_ts = segment.min_ts(),
      .max_ts = segment.max_ts(),
      .record_count = segment.record_count(),
      .data_size = segment.used(),
      .uncompressed_size = segment.uncompressed_size(),
      .invalid_record_count = segment.invalid_record_count(),
  };
}

const fs::Path& DataSegmentSlot::path() const {
  if (const DataSegment* s = segment()) return s->path();
  return summary()->path;
}

SegmentStats DataSegmentSlot::stats() const {
  if (const DataSegment* s = segment()) return s->stats();
  return summary()->stats();
}

void DataSegmentSlot::close_to_summary() {
  DataSegment* open = segment();
  if (open == nullptr) return;
  DataSegmentSummary closed = DataSegmentSummary::of(*open);
  open->release_mapping();
  value_ = std::move(closed);
}

// ---- create and open -----------------------------------------------------------------------

std::string DataSegments::file_name(std::uint64_t file_offset) {
  std::string digits = text::cat(file_offset);
  return std::string(20 - digits.size(), '0') + digits;
}

Result<DataSegments> DataSegments::create(const fs::Path& dataset_dir, std::uint64_t data_segment_size,
                                          std::uint64_t initial_data_segment_size, std::uint8_t compress_level,
                                          std::uint8_t compress_type) {
  DataSegments set(dataset_dir / "data", data_segment_size, initial_data_segment_size, compress_level, compress_type);
  QV_TRY(fs::create_dir_all(set.data_dir_));
  set.durable_mark_ = DataMark{};
  return set;
}

Result<DataSegments> DataSegments::open(const fs::Path& dataset_dir, std::uint64_t data_segment_size,
                                        std::uint64_t initial_data_segment_size, std::uint8_t compress_level,
                                        std::uint8_t compress_type) {
  DataSegments set(dataset_dir / "data", data_segment_size, initial_data_segment_size, compress_level, compress_type);
  // Only a directory that is certainly missing is an empty set: one that cannot be looked at
  // may hold segments, which a write would then create anew over the existing files.
  if (!QV_TRY(fs::exists(set.data_dir_))) return set;
  QV_TRY(set.scan_from(0));
  return set;
}

Status DataSegments::scan_from(std::uint64_t from) {
  const std::vector<std::string> names = QV_TRY(fs::list_dir(data_dir_));
  struct Found {
    std::string name;
    std::uint64_t length;
  };
  std::map<std::uint64_t, Found> found;
  for (const std::string& name : names) {
    const std::optional<std::uint64_t> offset = parse_file_offset(name);
    if (!offset || *offset < from || slots_.contains(*offset)) continue;
    const fs::Path path = data_dir_ / name;
    if (auto dir = fs::is_dir(path); dir && *dir) continue;
    const std::uint64_t length = QV_TRY(fs::length(path));
    auto [it, fresh] = found.try_emplace(*offset, Found{name, length});
    if (!fresh && preferred_name(name, it->second.name, *offset)) it->second = Found{name, length};
  }
  for (const auto& [offset, file] : found)
    slots_.emplace(offset, DataSegmentSlot(summarise(data_dir_ / file.name, offset, file.length)));
  if (!slots_.empty()) {
    // Offsets are kept on the segment grid even when a stray file name is not: a segment off
    // the grid would hold records that no position leads back to.
    const std::uint64_t greatest = slots_.rbegin()->first;
    next_file_offset_ =
        std::max(next_file_offset_, saturating_add(greatest - greatest % data_segment_size_, data_segment_size_));
  }
  return {};
}

// ---- lookups -------------------------------------------------------------------------------

std::uint64_t DataSegments::latest_file_offset() const {
  if (next_file_offset_ == 0) return 0;
  const std::uint64_t last = next_file_offset_ - 1;
  return last - last % data_segment_size_;
}

std::size_t DataSegments::open_count() const {
  std::size_t n = 0;
  for (const auto& [offset, slot] : slots_) n += slot.is_open() ? 1 : 0;
  return n;
}

DataSegment* DataSegments::find_open(std::uint64_t file_offset) {
  auto it = slots_.find(file_offset);
  return it == slots_.end() ? nullptr : it->second.segment();
}

Result<DataSegment*> DataSegments::get_or_reopen(std::uint64_t file_offset) {
  auto it = slots_.find(file_offset);
  if (it == slots_.end()) return fail(Error::not_found(text::cat("no segment at offset ", file_offset)));
  if (DataSegment* open = it->second.segment()) {
    QV_TRY(open->reopen());
    return open;
  }
  DataSegment segment = QV_TRY(DataSegment::open(it->second.summary()->path, file_offset, data_segment_size_));
  segment.set_notifier(notifier_);
  it->second = DataSegmentSlot(std::move(segment));
  return it->second.segment();
}

Result<DataSegment*> DataSegments::locate(std::uint64_t position) {
  const std::uint64_t file_offset = segment_offset_of(position);
  // Beside a live writer (a read-only store), the index follows the writer's files and may name
  // a segment the writer created after this set's scan: the segments past the last one known
  // are looked for before the position counts as lost. A writer's own set knows every segment
  // it made, and finds nothing new.
  if (file_offset >= next_file_offset_) scan_for_new();
  auto found = get_or_reopen(file_offset);
  if (found) return *found;
  // A set whose directory another dataset took over reports that, not a lost position.
  if (const auto& guard = data_dir_.guard()) QV_TRY(guard->confirm());
  // A segment that is there but cannot be opened (damaged, unmappable, not a file) is an error
  // of its own, never a record that is gone. Only a position no segment covers is not found,
  // and so is one whose file a live writer elsewhere has since removed (retention).
  if (found.error().kind() != ErrorKind::NotFound && found.error().os_code() != ENOENT) return fail(found.error());
  return fail(Error::not_found(text::cat("no segment contains offset ", position)));
}

void DataSegments::scan_for_new() {
  // A listing costs time linear in the files, and a position past the last file stays past it
  // on every read of a dataset whose last segment file is gone.
  auto stamp = fs::dir_stamp(data_dir_);
  if (stamp && fruitless_scan_ == *stamp) return;
  const std::size_t known = slots_.size();
  const bool scanned = scan_from(next_file_offset_).has_value();
  if (scanned && stamp && stamp->settled && slots_.size() == known) fruitless_scan_ = *stamp;
  else fruitless_scan_.reset();
}

Result<std::uint32_t> DataSegments::entry_record_len(const IndexEntry& entry, BlockCache* cache) {
  DataSegment* segment = QV_TRY(locate(entry.block_offset));
  IndexEntry relative = entry;
  relative.block_offset -= segment->file_offset();
  return segment->record_len(cache_id_, relative, cache);
}

// ---- writes --------------------------------------------------------------------------------

Result<WritePlace> DataSegments::write(std::int64_t timestamp, std::span<const std::uint8_t> data,
                                       SegmentStatsHook* hook) {
  if (data.size() > DataSegment::kMaxRecordLen) return invalid("record data_len exceeds 4MiB limit");
  // A record that even an empty segment of data_segment_size could not hold is refused before
  // any file is touched, so a refused write never leaves an empty segment behind. A large
  // record is compressed here once, for every attempt below.
  CompressedRecord compressed;
  std::uint64_t need = DataSegment::kPendingBlockOverhead + data.size();
  if (data.size() > DataSegment::kMaxSharedRecordLen) {
    QV_TRY(compressed.prepare(timestamp, data, compress_level_, compress_type_));
    need = util::kBlockHeaderSize + compressed.bytes.size();
  }
  if (data_segment_size_ < header::kDataHeaderSize || need > data_segment_size_ - header::kDataHeaderSize) {
    // Writing would have ended at the creation of a segment that cannot even hold its header.
    QV_TRY(DataSegment::check_initial_size(initial_data_segment_size_));
    return fail(Error::segment_full());
  }

  DataSegment* segment = QV_TRY(write_target(hook));
  bool rolled_over = false;
  for (;;) {
    auto placed = segment->append_record(timestamp, data, compress_level_, &compressed);
    if (placed) return WritePlace{segment->file_offset(), placed->block_offset, placed->in_block};
    if (placed.error().kind() != ErrorKind::SegmentFull) return fail(placed.error());
    auto grown = segment->grow();
    if (grown) continue;
    // Rolling away from a segment without a single block would only leave another empty file
    // behind; the record fits an empty segment, so what failed is the growth itself.
    if (segment->used() == 0 || rolled_over) {
      if (segment->file_size() >= segment->max_file_size()) return fail(Error::segment_full());
      return fail(grown.error());
    }
    QV_TRY(segment->flush());
    DataSegment* left_behind = segment;
    segment = QV_TRY(open_new_segment(next_file_offset_, hook));
    left_behind->deactivate();
    rolled_over = true;
  }
}

Result<DataSegment*> DataSegments::write_target(SegmentStatsHook* hook) {
  const std::uint64_t latest = latest_file_offset();
  if (auto it = slots_.find(latest); it != slots_.end()) {
    auto opened = get_or_reopen(latest);
    if (opened) {
      DataSegment* segment = *opened;
      if (segment->active() && segment->used() + DataSegment::kPendingBlockOverhead <= data_segment_size_)
        return segment;
    } else {
      if (!is_content_error(opened.error())) return fail(opened.error());
      const fs::Path path = it->second.path();
      if (never_written(path)) {
        QV_LOG(Warn, kLog, "[DataSegments] recreating data segment ", path.native(),
               " left unwritten by an interrupted create");
        return open_new_segment(latest, hook);
      }
      // The file stays as it is; new records go to a fresh segment.
      QV_LOG(Warn, kLog, "[DataSegments] data segment ", path.native(), " cannot be opened (",
             opened.error().display(), "); new records go to a new segment");
    }
  }
  QV_TRY(settle_last_segment());
  return open_new_segment(next_file_offset_, hook);
}

Status DataSegments::settle_last_segment() {
  if (slots_.empty()) return {};
  if (DataSegment* last = slots_.rbegin()->second.segment()) QV_TRY(last->flush());
  return {};
}

Result<DataSegment*> DataSegments::open_new_segment(std::uint64_t file_offset, SegmentStatsHook* hook) {
  QV_TRY(fold_sealed_stats(hook, file_offset));
  // A set opened without its directory (lost by hand, or by an older drop cut short) makes it
  // again rather than refusing every write.
  if (slots_.empty()) QV_TRY(fs::create_dir_all(data_dir_));
  DataSegment segment = QV_TRY(DataSegment::create(data_dir_ / file_name(file_offset), file_offset,
                                                   initial_data_segment_size_, data_segment_size_, compress_level_,
                                                   compress_type_));
  segment.set_notifier(notifier_);
  slots_.erase(file_offset);
  auto [it, inserted] = slots_.emplace(file_offset, DataSegmentSlot(std::move(segment)));
  next_file_offset_ = std::max(next_file_offset_, saturating_add(file_offset, data_segment_size_));
  return it->second.segment();
}

Status DataSegments::fold_sealed_stats(SegmentStatsHook* hook, std::uint64_t new_file_offset) {
  if (hook == nullptr) return {};
  const std::uint64_t watermark = hook->watermark();
  if (watermark >= new_file_offset) return {};
  std::vector<SegmentStats> sealed;
  for (auto it = slots_.lower_bound(watermark); it != slots_.end() && it->first < new_file_offset; ++it)
    sealed.push_back(it->second.stats());
  return hook->on_append(new_file_offset, sealed);
}

Result<std::uint32_t> DataSegments::append_to_record(std::uint64_t position, std::uint16_t in_block,
                                                     std::span<const std::uint8_t> bytes) {
  const std::uint64_t latest = latest_file_offset();
  if (segment_offset_of(position) != latest) return invalid("append: target block is not in the latest segment");
  DataSegment* segment = QV_TRY(get_or_reopen(latest));
  if (position < segment->file_offset() || position - segment->file_offset() >= segment->used())
    return invalid("append: block_offset is outside latest segment data");
  return segment->append_to_record(position - segment->file_offset(), in_block, bytes);
}

Status DataSegments::correction_write(std::uint64_t position, std::uint16_t in_block,
                                      std::span<const std::uint8_t> data) {
  if (next_file_offset_ == 0) return invalid("no segment available for correction write");
  const std::uint64_t latest = latest_file_offset();
  if (segment_offset_of(position) != latest)
    return invalid(
        text::cat("correction write: block_offset ", position, " is not in the latest segment ", latest));
  DataSegment* segment = QV_TRY(get_or_reopen(latest));
  const std::uint64_t start = segment->file_offset();
  if (position < start || position - start >= segment->used())
    return invalid(text::cat("correction write: block_offset ", position, " is not in the latest segment [", start,
                             ", ", start + segment->used(), ")"));
  return segment->correction_write(position - start, in_block, data);
}

Status DataSegments::invalidate(std::uint64_t position) {
  auto it = slots_.find(segment_offset_of(position));
  if (it == slots_.end()) return fail(Error::not_found(text::cat("no segment contains offset ", position)));
  if (DataSegment* open = it->second.segment()) return open->invalidate();
  // A closed segment stays closed: it is opened just for the one word and synchronised at once.
  DataSegmentSummary summary = *it->second.summary();
  DataSegment segment = QV_TRY(DataSegment::open(summary.path, it->first, data_segment_size_));
  QV_TRY(segment.invalidate());
  summary.invalid_record_count = segment.invalid_record_count();
  it->second = DataSegmentSlot(std::move(summary));
  QV_TRY(segment.flush());
  segment.release_mapping();
  return {};
}

// ---- flushing, closing, retention ----------------------------------------------------------

Status DataSegments::flush() {
  for (auto& [offset, slot] : slots_) {
    if (DataSegment* open = slot.segment()) QV_TRY(open->flush());
  }
  return {};
}

Result<DataMark> DataSegments::sync_data() {
  QV_TRY(flush());
  durable_mark_ = mark();
  return *durable_mark_;
}

DataMark DataSegments::mark() const {
  if (slots_.empty()) return {};
  const auto& [offset, slot] = *slots_.rbegin();
  const SegmentStats stats = slot.stats();
  return {true, offset, stats.data_size, stats.record_count};
}

Result<DataCut> DataSegments::cut_to(const DataMark& mark, const std::optional<IndexEntry>& named) {
  // The last segment kept: the mark's, or a later one holding the record a covered entry names.
  std::optional<std::uint64_t> last;
  if (mark.has_data) last = mark.file_offset;
  DataSegment::TailKeep keep{mark.records, {}, 0};
  if (named) {
    auto holder = locate(named->block_offset);
    if (!holder) return fail(holder.error());
    const std::uint64_t offset = (*holder)->file_offset();
    if (!last || offset > *last) {
      last = offset;
      keep.records = 0;
    }
    if (offset == *last) {
      keep.block = named->block_offset - offset;
      keep.in_block = named->in_block;
    }
  }
  for (auto it = slots_.begin(); it != slots_.end();) {
    if (last && it->first <= *last) {
      ++it;
      continue;
    }
    // Made after the last flush: nothing in it was covered.
    QV_LOG(Warn, kLog, "[power loss] removing data segment ", it->second.path().native(),
           " written after the last flush");
    QV_TRY(fs::remove_file(it->second.path()));
    it = slots_.erase(it);
  }
  next_file_offset_ = 0;
  if (!last) return DataCut{};
  auto it = slots_.find(*last);
  if (it == slots_.end()) return fail(Error::not_found(text::cat("data segment ", *last,
                                                                 " named by the flush watermark is missing")));
  const fs::Path path = it->second.path();
  // The kept segment's mapping must go before its file is rewritten under it.
  slots_.clear();
  const std::uint64_t used = QV_TRY(DataSegment::cut_tail(path, keep));
  QV_TRY(scan_from(0));
  durable_mark_ = this->mark();
  return DataCut{*last, *last + used};
}

bool DataSegments::holds_record(const IndexEntry& entry, std::uint64_t end) {
  if (entry.block_offset >= end) return false;
  auto segment = locate(entry.block_offset);
  if (!segment) return false;
  IndexEntry relative = entry;
  relative.block_offset -= (*segment)->file_offset();
  auto record = (*segment)->read_record(0, relative, nullptr);
  return record && record->first == entry.timestamp;
}

Status DataSegments::close_all() {
  for (auto& [offset, slot] : slots_) {
    if (DataSegment* open = slot.segment()) {
      QV_TRY(open->flush());
      slot.close_to_summary();
    }
  }
  return {};
}

std::vector<SegmentStats> DataSegments::reclaim_expired(std::int64_t cutoff) {
  std::vector<SegmentStats> removed;
  for (auto it = slots_.begin(); it != slots_.end();) {
    const DataSegmentSummary* closed = it->second.summary();
    if (closed != nullptr && closed->max_ts != std::numeric_limits<std::int64_t>::min() && closed->max_ts < cutoff) {
      (void)fs::remove_file(closed->path);
      QV_LOG(Info, kLog, "[retention] deleted data segment: ", closed->path.native());
      removed.push_back(closed->stats());
      it = slots_.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

void DataSegments::set_notifier(std::optional<FlushNotifier> notifier) {
  notifier_ = std::move(notifier);
  for (auto& [offset, slot] : slots_) {
    if (DataSegment* open = slot.segment()) open->set_notifier(notifier_);
  }
}

}  // namespace quelvane
