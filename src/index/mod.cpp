#include "index/mod.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include "header.h"
#include "util/log.h"
#include "util/mapped_file.h"
#include "util/text.h"

namespace quelvane {

namespace {

constexpr const char* kLogTarget = "quelvane::index";
constexpr std::int64_t kMaxTs = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinTs = std::numeric_limits<std::int64_t>::min();

// t - start for t >= start, exact over the whole signed range.
constexpr std::uint64_t offset_of(std::int64_t t, std::int64_t start) {
  return static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(start);
}

// A signed decimal file name: an optional sign, then digits only (leading zeros allowed).
std::optional<std::int64_t> parse_start(std::string_view name) {
  std::size_t i = 0;
  bool negative = false;
  if (!name.empty() && (name[0] == '+' || name[0] == '-')) {
    negative = name[0] == '-';
    i = 1;
  }
  if (i == name.size()) return std::nullopt;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : static_cast<std::uint64_t>(kMaxTs);
  std::uint64_t v = 0;
  for (; i < name.size(); ++i) {
    const char c = name[i];
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (limit - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  if (!negative) return static_cast<std::int64_t>(v);
  return v == (std::uint64_t{1} << 63) ? kMinTs : -static_cast<std::int64_t>(v);
}

// A file whose header was never written: a create that was interrupted before its header
// reached the file. It holds no entry. Creates write the header before any entry, so a zero
// header with anything behind it is damage, which reads must report, not an unfinished create.
bool unfinished_create(const MappedFile& file) {
  const auto bytes = file.bytes();
  const auto zero = [](std::uint8_t b) { return b == 0; };
  if (bytes.size() < header::kPrefixSize) return true;
  if (!std::all_of(bytes.begin(), bytes.begin() + header::kPrefixSize, zero)) return false;
  return bytes.size() <= IndexSegment::kHeaderLen ||
         std::all_of(bytes.begin() + IndexSegment::kHeaderLen, bytes.end(), zero);
}

struct Candidate {
  std::string name;
  IndexSegmentSummary summary;
};

// The summary of one segment file found on disk; none for an unfinished create.
std::optional<IndexSegmentSummary> summarise(const fs::Path& path, std::int64_t start, std::uint64_t length) {
  IndexSegmentSummary s;
  s.path = path;
  s.start = start;
  s.capacity = length < IndexSegment::kHeaderLen ? 0 : (length - IndexSegment::kHeaderLen) / IndexSegment::kEntrySize;
  auto file = MappedFile::open(path, MappedFile::Access::ReadOnly);
  if (!file) return s;
  if (unfinished_create(*file)) return std::nullopt;
  auto h = header::parse_index_header(file->bytes());
  if (!h) return s;
  const std::uint64_t claimed = h->entries_end < h->header_len ? 0 : (h->entries_end - h->header_len) / IndexSegment::kEntrySize;
  // As an opened segment counts them: only the entries the file really holds.
  const std::uint64_t held =
      file->size() < h->header_len ? 0 : (file->size() - h->header_len) / IndexSegment::kEntrySize;
  s.count = std::min({claimed, held, s.capacity});
  s.header_len = h->header_len;
  if (s.count > 0) {
    const std::uint64_t at = h->header_len + IndexSegment::kEntrySize * (s.count - 1);
    const std::uint32_t delta = file->load<std::uint32_t>(at);
    std::int64_t ts;
    if (!__builtin_add_overflow(h->meta.base, static_cast<std::int64_t>(delta), &ts)) s.last_timestamp = ts;
  }
  return s;
}

// What a segment whose file cannot be read as one reports: damage that stays, unlike a failure
// of the system (I/O, mapping) that the next attempt may not meet.
bool damage(const Error& e) {
  return e.kind() == ErrorKind::InvalidMagic || e.kind() == ErrorKind::UnsupportedVersion ||
         e.kind() == ErrorKind::InvalidData;
}

Error before_base(std::int64_t t, std::int64_t base) {
  return Error::not_found(text::cat("timestamp ", t, " is before continuous index base ", base));
}

}  // namespace

// ---- construction ----------------------------------------------------------------------

Index::Index(fs::Path dir, std::uint64_t index_segment_size, std::uint64_t initial_index_segment_size,
             bool continuous, std::uint8_t compress_level, std::uint8_t compress_type)
    : dir_(std::move(dir)),
      index_segment_size_(index_segment_size),
      initial_index_segment_size_(initial_index_segment_size),
      continuous_(continuous),
      compress_level_(compress_level),
      compress_type_(compress_type) {}

Index::~Index() {
  // A dataset dropped without a close still has its index synced as a flush does, the data
  // first, so that what the drop made durable counts as covered. The segments sync themselves
  // as they go either way; the failure's message may find no memory. Only a segment still
  // mapped and changed is synced: a closed dataset's index (its files perhaps dropped since) is
  // never mapped again here, nor its data segments reopened and queued for a flush.
  if (data_sync_ == nullptr) return;
  try {
    for (auto& [start, slot] : segments_) {
      auto* seg = std::get_if<IndexSegment>(&slot);
      if (seg == nullptr || seg->clean()) continue;
      if (auto synced = sync_segment(*seg); !synced) {
        QV_LOG(Error, kLogTarget, "[Index drop] flush failed: ", synced.error().display());
        return;
      }
    }
  } catch (...) {
  }
}

Result<Index> Index::create(const fs::Path& dir, std::uint64_t index_segment_size,
                            std::uint64_t initial_index_segment_size, bool continuous, std::uint8_t compress_level,
                            std::uint8_t compress_type) {
  QV_TRY(fs::create_dir_all(dir));
  return Index(dir, index_segment_size, initial_index_segment_size, continuous, compress_level, compress_type);
}

Result<Index> Index::open(const fs::Path& dir, std::uint64_t index_segment_size,
                          std::uint64_t initial_index_segment_size, bool continuous, std::uint8_t compress_level,
                          std::uint8_t compress_type) {
  Index index(dir, index_segment_size, initial_index_segment_size, continuous, compress_level, compress_type);
  // Only a directory that is certainly missing is an empty index: one that cannot be looked
  // at may hold segments, which a write would then create anew over the existing files.
  if (!QV_TRY(fs::exists(dir))) return index;
  const std::vector<std::string> names = QV_TRY(fs::list_dir(dir));
  struct stat st;

  std::vector<Candidate> found;
  for (const std::string& name : names) {
    auto start = parse_start(name);
    if (!start) continue;
    const fs::Path path = dir / name;
    if (::lstat(path.c_str(), &st) != 0) return fail_errno();
    if (!S_ISREG(st.st_mode)) continue;
    auto summary = summarise(path, *start, static_cast<std::uint64_t>(st.st_size));
    if (summary) found.push_back({name, std::move(*summary)});
  }
  // "5" and "00000000000000000005" name the same start: the name this index writes wins,
  // otherwise the byte-wise smallest, never the directory order.
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    if (a.summary.start != b.summary.start) return a.summary.start < b.summary.start;
    const bool a_canonical = a.name == IndexSegment::file_name(a.summary.start);
    const bool b_canonical = b.name == IndexSegment::file_name(b.summary.start);
    if (a_canonical != b_canonical) return a_canonical;
    return a.name < b.name;
  });
  for (Candidate& c : found) {
    const std::int64_t start = c.summary.start;
    index.segments_.try_emplace(start, std::in_place_type<IndexSegmentSummary>, std::move(c.summary));
  }
  if (!index.segments_.empty()) {
    index.header_len_ = std::get<IndexSegmentSummary>(index.segments_.begin()->second).header_len;
    // The grid comes from the first segment that holds an entry. Segments without one (a first
    // write killed between the file's create and its entry) set no base, as a first write
    // that fails in process leaves none.
    if (continuous) {
      for (const auto& [start, slot] : index.segments_) {
        if (std::get<IndexSegmentSummary>(slot).count > 0) {
          index.base_ = start;
          break;
        }
      }
    }
  }
  index.refresh_latest();
  return index;
}

void Index::set_notifier(std::optional<FlushNotifier> notifier) {
  notifier_ = std::move(notifier);
  for (auto& [start, slot] : segments_) {
    if (auto* seg = std::get_if<IndexSegment>(&slot)) seg->set_notifier(notifier_);
  }
}

// ---- continuous geometry ---------------------------------------------------------------

Status Index::check_segment_size() const {
  if (index_segment_size_ <= header_len_) {
    return fail(Error::invalid_data(text::cat("index segment size ", index_segment_size_, " is too small")));
  }
  if (index_segment_size_ - header_len_ < IndexSegment::kEntrySize) {
    return fail(
        Error::invalid_data(text::cat("index segment size ", index_segment_size_, " cannot hold an index entry")));
  }
  return {};
}

std::uint64_t Index::entries_per_segment() const {
  return (index_segment_size_ - header_len_) / IndexSegment::kEntrySize;
}

Result<std::int64_t> Index::continuous_segment_start(std::int64_t t) const {
  if (!base_) return fail(Error::not_found("continuous index base timestamp missing"));
  if (t < *base_) return fail(before_base(t, *base_));
  QV_TRY(check_segment_size());
  // The remainder is below entries_per_segment (< 2^61) and at most t - base.
  const std::uint64_t rem = offset_of(t, *base_) % entries_per_segment();
  return t - static_cast<std::int64_t>(rem);
}

std::int64_t Index::segment_end(std::int64_t start) const {
  const std::uint64_t span = entries_per_segment() - 1;
  return span <= offset_of(kMaxTs, start) ? static_cast<std::int64_t>(static_cast<std::uint64_t>(start) + span)
                                          : kMaxTs;
}

Result<std::optional<std::int64_t>> Index::locate(std::int64_t t) const {
  if (continuous_) return std::optional<std::int64_t>{QV_TRY(continuous_segment_start(t))};
  auto it = segments_.upper_bound(t);
  if (it == segments_.begin()) return std::optional<std::int64_t>{};
  return std::optional<std::int64_t>{std::prev(it)->first};
}

// ---- segment access --------------------------------------------------------------------

Result<IndexSegment*> Index::segment_at(std::int64_t start) {
  auto it = segments_.find(start);
  if (it == segments_.end()) return fail(Error::not_found(text::cat("no index segment at ", start)));
  if (auto* seg = std::get_if<IndexSegment>(&it->second)) {
    // A segment is unmapped only after a failed re-map; searching it unmapped would report
    // its entries as absent.
    if (!seg->mapped()) {
      QV_TRY(seg->ensure_mapped());
      refresh_latest();
    }
    return seg;
  }
  const auto& summary = std::get<IndexSegmentSummary>(it->second);
  // The latest timestamp needs a full recount only when the mapping disagrees with the scan.
  const bool had_last = summary.count > 0 && summary.last_timestamp.has_value();
  const std::int64_t summary_last = had_last ? *summary.last_timestamp : 0;
  IndexSegment opened = QV_TRY(IndexSegment::open(summary.path, start, index_segment_size_));
  if (notifier_) opened.set_notifier(notifier_);
  IndexSegment& seg = it->second.emplace<IndexSegment>(std::move(opened));
  const auto last = seg.last_timestamp();
  if (last.has_value() != had_last || (had_last && *last != summary_last)) refresh_latest();
  return &seg;
}

Result<IndexSegment*> Index::segment_for(std::int64_t start, TimeRangeHook* hook) {
  if (segments_.contains(start)) return segment_at(start);
  // Appends leave unsynchronised entries only in the newest segment.
  std::optional<DataMark> data;
  if (!segments_.empty()) {
    if (auto* newest = std::get_if<IndexSegment>(&segments_.rbegin()->second)) data = QV_TRY(sync_segment(*newest));
  }
  // The first segment needs no sync: the mark of the last one, when this process made one,
  // names only what is durable.
  if (!data && data_sync_ != nullptr) {
    data = data_sync_->durable_mark();
    if (!data) data = QV_TRY(data_sync_->sync_data());
  }
  if (hook) QV_TRY(hook->on_time_range(time_range(segments_.cbegin(), segments_.cend())));
  // The new newest segment carries the mark from its create on; none of its entries is covered.
  std::optional<Watermark> mark;
  if (data) mark = mark_for(*data, 0);
  IndexSegment created = QV_TRY(IndexSegment::create(dir_, start, initial_index_segment_size_, index_segment_size_,
                                                     compress_level_, compress_type_, mark));
  if (notifier_) created.set_notifier(notifier_);
  auto [it, inserted] = segments_.try_emplace(start, std::in_place_type<IndexSegment>, std::move(created));
  QV_ASSERT(inserted, "a new index segment takes a free start");
  return &std::get<IndexSegment>(it->second);
}

// ---- appends ---------------------------------------------------------------------------

Status Index::append_growing(IndexSegment& seg, const IndexEntry& entry) {
  while (true) {
    auto appended = seg.append(entry);
    if (appended || appended.error().kind() != ErrorKind::SegmentFull) return appended;
    if (seg.file_size() < seg.max_file_size()) {
      QV_TRY(seg.grow());
      continue;
    }
    QV_TRY(sync_segment(seg));
    return appended;
  }
}

Result<bool> Index::newest_is_damaged(std::int64_t ts) {
  const std::optional<std::int64_t> start = QV_TRY(new_latest_segment(ts));
  if (!start) return false;
  auto it = segments_.find(*start);
  if (it == segments_.end() || std::holds_alternative<IndexSegment>(it->second)) return false;
  auto opened = segment_at(*start);
  if (opened || !damage(opened.error())) return false;
  // A sparse entry above the damaged segment's start begins a segment of its own; at or below
  // it, or in a continuous segment's own slots, it could only go into that file.
  if (!continuous_ && ts > *start) return true;
  return fail(Error::invalid_data(text::cat("cannot index timestamp ", ts, ": index segment ",
                                            std::get<IndexSegmentSummary>(it->second).path.string(),
                                            " cannot be read: ", opened.error().display())));
}

Result<std::optional<std::int64_t>> Index::new_latest_segment(std::int64_t ts) const {
  if (continuous_) {
    if (!base_ || ts < *base_) return std::optional<std::int64_t>{};
    return std::optional<std::int64_t>{QV_TRY(continuous_segment_start(ts))};
  }
  if (segments_.empty()) return std::optional<std::int64_t>{};
  return std::optional<std::int64_t>{segments_.rbegin()->first};
}

Status Index::check_new_latest(std::int64_t ts) {
  QV_TRY(newest_is_damaged(ts));
  return {};
}

Status Index::make_room_after(std::optional<std::int64_t> previous, std::int64_t ts, TimeRangeHook* hook) {
  if (!continuous_ || !base_ || ts < *base_) return {};
  const std::int64_t f = QV_TRY(continuous_segment_start(ts));
  // As append_after fills: the rest of previous's segment, then the head of ts's.
  if (previous && *previous < ts && *previous >= *base_) {
    const std::int64_t d = QV_TRY(continuous_segment_start(*previous));
    if (d != f) QV_TRY(make_room_in(d, entries_per_segment(), hook));
  }
  return make_room_in(f, offset_of(ts, f) + 1, hook);
}

Status Index::make_room_in(std::int64_t start, std::uint64_t slots, TimeRangeHook* hook) {
  IndexSegment* seg = QV_TRY(segment_for(start, hook));
  while (seg->capacity() < slots && seg->file_size() < seg->max_file_size()) QV_TRY(seg->grow());
  return {};
}

Status Index::append_sparse(const IndexEntry& entry, TimeRangeHook* hook) {
  // A segment that can never hold an entry would be found full again under the same start.
  // A size below the header is left to the segment's create, which names the initial size.
  if (index_segment_size_ >= IndexSegment::kHeaderLen) QV_TRY(check_segment_size());
  if (latest_ && entry.timestamp <= *latest_) {
    return fail(Error::invalid_data(text::cat("non-continuous index append timestamp ", entry.timestamp,
                                              " must be greater than latest ", *latest_)));
  }
  while (true) {
    IndexSegment* target = nullptr;
    // A newest segment that cannot be read is kept for its reads; the entry starts a new one.
    const bool damaged = QV_TRY(newest_is_damaged(entry.timestamp));
    if (!damaged) QV_TRY(drop_empty_above(entry.timestamp));
    if (!damaged && !segments_.empty()) {
      const std::int64_t start = segments_.rbegin()->first;
      IndexSegment* newest = QV_TRY(segment_at(start));
      const bool room = newest->count() < newest->capacity() || newest->file_size() < newest->max_file_size();
      if (room && entry.timestamp >= start && offset_of(entry.timestamp, start) <= IndexSegment::kMaxDelta) {
        target = newest;
      }
    }
    const bool fresh = target == nullptr;
    if (fresh) target = QV_TRY(segment_for(entry.timestamp, hook));
    auto appended = append_growing(*target, entry);
    if (appended) {
      note_latest(entry.timestamp);
      return {};
    }
    // A full newest segment no longer qualifies on the next round; a segment chosen for this
    // very timestamp would be chosen again.
    if (appended.error().kind() != ErrorKind::SegmentFull || fresh) return appended;
  }
}

Status Index::drop_empty_above(std::int64_t ts) {
  while (!segments_.empty() && segments_.rbegin()->first > ts) {
    const std::int64_t start = segments_.rbegin()->first;
    IndexSegment* newest = QV_TRY(segment_at(start));
    if (newest->count() != 0) return {};
    discard_empty(std::prev(segments_.end()));
  }
  return {};
}

Index::Segments::iterator Index::discard_empty(Segments::iterator it) {
  const auto* seg = std::get_if<IndexSegment>(&it->second);
  const fs::Path path = seg ? seg->path() : std::get<IndexSegmentSummary>(it->second).path;
  it = segments_.erase(it);
  // A file that stays is found empty again at the next open, where it holds nothing either.
  if (auto removed = fs::remove_file(path); !removed) {
    QV_LOG(Warn, kLogTarget, "failed to remove empty index segment ", path.string(), ": ", removed.error().display());
  }
  return it;
}

Status Index::append_continuous(const IndexEntry& entry, TimeRangeHook* hook) {
  const std::int64_t start = QV_TRY(continuous_segment_start(entry.timestamp));
  const std::uint64_t slot = offset_of(entry.timestamp, start);
  QV_TRY(newest_is_damaged(entry.timestamp));
  IndexSegment* seg = QV_TRY(segment_for(start, hook));
  if (slot != seg->count()) {
    return fail(Error::invalid_data(
        text::cat("continuous index append expected entry_index ", slot, ", got wrote_count ", seg->count())));
  }
  auto appended = append_growing(*seg, entry);
  if (!appended) {
    if (appended.error().kind() == ErrorKind::SegmentFull) {
      return fail(Error::invalid_data(
          text::cat("continuous index segment ", start, " is full before timestamp ", entry.timestamp)));
    }
    return appended;
  }
  note_latest(entry.timestamp);
  return {};
}

Status Index::fill_segment(IndexSegment& seg, std::int64_t first, std::uint64_t n) {
  while (n > 0) {
    auto written = seg.append_sentinels(first, n);
    note_latest(seg.last_timestamp());
    if (written) {
      n -= *written;
      if (n > 0) first += static_cast<std::int64_t>(*written);
      continue;
    }
    if (written.error().kind() != ErrorKind::SegmentFull) return fail(std::move(written).error());
    if (seg.file_size() < seg.max_file_size()) {
      QV_TRY(seg.grow());
      continue;
    }
    QV_TRY(sync_segment(seg));
    return fail(Error::invalid_data(
        text::cat("continuous index segment ", seg.start(), " is full before timestamp ", first)));
  }
  return {};
}

Status Index::fill_placeholders(std::int64_t from, std::int64_t to) {
  if (to < from) return {};
  QV_ASSERT(continuous_, "placeholders belong to continuous indexes");
  if (!base_) base_ = from;
  if (from < *base_) return fail(before_base(from, *base_));
  std::int64_t t = from;
  while (true) {
    const std::int64_t start = QV_TRY(continuous_segment_start(t));
    const std::int64_t last = std::min(to, segment_end(start));
    IndexSegment* seg = QV_TRY(segment_for(start, nullptr));
    // Slots that an earlier, failed fill already wrote are kept: filling resumes after them,
    // so a retry or the next write completes the run instead of finding the segment out of step.
    const std::uint64_t wanted = offset_of(t, start);
    if (wanted > seg->count()) {
      return fail(Error::invalid_data(
          text::cat("continuous index append expected entry_index ", wanted, ", got wrote_count ", seg->count())));
    }
    const std::uint64_t span = offset_of(last, start);  // slots up to and including last
    if (seg->count() <= span) {
      const std::int64_t first = static_cast<std::int64_t>(static_cast<std::uint64_t>(start) + seg->count());
      QV_TRY(fill_segment(*seg, first, span - seg->count() + 1));
    }
    if (last == to) return {};
    t = last + 1;
  }
}

template <class Append>
Status Index::with_base(std::int64_t ts, Append&& append) {
  if (base_ && ts < *base_) return fail(before_base(ts, *base_));
  const bool had_base = base_.has_value();
  if (!had_base) {
    // Without a base no segment holds an entry: what is registered is left by a first write
    // that failed or was killed, and lies on no grid. The new base lays its own. A file that
    // does not open as a segment is left as it is.
    for (auto it = segments_.begin(); it != segments_.end();) {
      auto seg = segment_at(it->first);
      it = seg && (*seg)->count() == 0 ? discard_empty(it) : std::next(it);
    }
    base_ = ts;
  }
  auto done = append();
  if (!done && !had_base && !holds_entries()) base_.reset();
  return done;
}

Status Index::append(std::int64_t ts, std::uint64_t block_offset, std::uint16_t in_block, TimeRangeHook* hook) {
  const IndexEntry entry{ts, block_offset, in_block};
  if (!continuous_) return append_sparse(entry, hook);
  return with_base(ts, [&] { return append_continuous(entry, hook); });
}

Status Index::append_after(std::optional<std::int64_t> previous, std::int64_t ts, std::uint64_t block_offset,
                           std::uint16_t in_block, TimeRangeHook* hook) {
  const IndexEntry entry{ts, block_offset, in_block};
  if (!continuous_) return append_sparse(entry, hook);
  return with_base(ts, [&]() -> Status {
    if (previous && *previous < ts) {
      const std::int64_t p = *previous;
      const std::int64_t d = QV_TRY(continuous_segment_start(p));
      const std::int64_t f = QV_TRY(continuous_segment_start(ts));
      if (d == f) {
        QV_TRY(fill_placeholders(p + 1, ts - 1));
      } else {
        // Only the rest of p's segment and the head of ts's; grid segments wholly between
        // them get no file.
        QV_TRY(fill_placeholders(p + 1, segment_end(d)));
        if (f < ts) QV_TRY(fill_placeholders(f, ts - 1));
      }
    } else if (!previous) {
      // Nothing written yet, but a segment may already be there: one whose first entry a kill
      // or a failed growth kept out. Its slots are filled from what it holds, so the append
      // finds it in step.
      QV_TRY(fill_up_to(ts));
    }
    return append_continuous(entry, hook);
  });
}

// ---- lookups, corrections, deletes -----------------------------------------------------

Result<std::optional<IndexEntry>> Index::lookup(std::int64_t ts) {
  auto start = locate(ts);
  if (!start) {
    if (start.error().kind() == ErrorKind::NotFound) return std::optional<IndexEntry>{};
    return fail(std::move(start).error());
  }
  if (!*start) return std::optional<IndexEntry>{};
  auto seg = segment_at(**start);
  if (!seg) {
    if (seg.error().kind() == ErrorKind::NotFound) return std::optional<IndexEntry>{};
    return fail(std::move(seg).error());
  }
  return continuous_ ? (*seg)->slot_entry(ts) : (*seg)->find_exact(ts);
}

Result<IndexEntry> Index::correct_entry(std::int64_t ts, std::uint64_t block_offset, std::uint16_t in_block,
                                        TimeRangeHook* hook) {
  const IndexEntry entry{ts, block_offset, in_block};
  const std::optional<std::int64_t> start = QV_TRY(locate(ts));
  if (start) {
    auto seg = segment_at(*start);
    if (seg) {
      if (auto hit = (*seg)->find(ts, continuous_)) {
        QV_TRY((*seg)->overwrite(hit->first, entry));
        return hit->second;
      }
    } else if (seg.error().kind() != ErrorKind::NotFound) {
      return fail(std::move(seg).error());
    }
  }
  return insert_out_of_order(entry, hook);
}

Result<bool> Index::fill_up_to(std::int64_t ts) {
  const std::int64_t start = QV_TRY(continuous_segment_start(ts));
  std::uint64_t n = 0;
  if (auto it = segments_.find(start); it != segments_.end()) {
    if (auto* seg = std::get_if<IndexSegment>(&it->second)) {
      n = seg->count();
    } else {
      n = std::get<IndexSegmentSummary>(it->second).count;
    }
  }
  const std::uint64_t slot = offset_of(ts, start);
  if (slot < n) return false;
  // A segment of the grid that was skipped entirely gets its file here, filled from its start.
  if (slot > n) {
    QV_TRY(fill_placeholders(static_cast<std::int64_t>(static_cast<std::uint64_t>(start) + n), ts - 1));
  }
  return true;
}

Result<IndexEntry> Index::insert_out_of_order(const IndexEntry& entry, TimeRangeHook* hook) {
  const std::int64_t ts = entry.timestamp;
  if (!continuous_) {
    return fail(Error::not_found(
        text::cat("no index entry at timestamp ", ts, " (required for out-of-order write)")));
  }
  if (!QV_TRY(fill_up_to(ts))) {
    return fail(Error::invalid_data(text::cat("continuous index hole invariant violated at timestamp ", ts)));
  }
  QV_TRY(append_continuous(entry, hook));
  return IndexEntry::sentinel(ts);
}

Result<IndexEntry> Index::delete_entry(std::int64_t ts) {
  auto no_entry = [ts] { return Error::not_found(text::cat("no entry at timestamp ", ts, " to delete")); };
  const std::optional<std::int64_t> start = QV_TRY(locate(ts));
  if (!start) return fail(no_entry());
  auto seg = segment_at(*start);
  if (!seg) {
    if (seg.error().kind() == ErrorKind::NotFound) return fail(no_entry());
    return fail(std::move(seg).error());
  }
  auto hit = (*seg)->find(ts, continuous_);
  if (!hit) return fail(no_entry());
  if (hit->second == IndexEntry::sentinel(ts)) {
    return fail(Error::not_found(text::cat("no real data at timestamp ", ts, " (filler)")));
  }
  QV_TRY((*seg)->overwrite(hit->first, IndexEntry::sentinel(ts)));
  return hit->second;
}

// ---- range steps -----------------------------------------------------------------------

Result<std::optional<IndexHit>> Index::next_in_range(std::int64_t from, std::int64_t to,
                                                     std::optional<IndexCursor> cursor, bool live_only) {
  if (to < from) return std::optional<IndexHit>{};
  Segments::iterator it;
  if (cursor) {
    it = segments_.find(cursor->segment_start);
    if (it == segments_.end()) it = segments_.upper_bound(cursor->segment_start);
  } else {
    // The segment holding from, else the first one starting inside the range.
    it = segments_.lower_bound(from);
    if (it != segments_.begin()) --it;
  }
  for (; it != segments_.end() && it->first <= to; ++it) {
    const std::int64_t start = it->first;
    IndexSegment* seg = QV_TRY(segment_at(start));
    const bool at_cursor =
        cursor && cursor->segment_start == start && cursor->slot < std::numeric_limits<std::uint64_t>::max();
    std::uint64_t slot = 0;
    // A cursor's step: timestamps rise from slot to slot, so the slot after the cursor's is the
    // first not below from whenever it is not below from itself (retention can move from
    // further); no search is needed.
    std::optional<IndexEntry> after;
    if (at_cursor && cursor->slot + 1 < seg->count()) {
      if (Result<IndexEntry> e = seg->entry_at(cursor->slot + 1)) after = *e;
    }
    if (after && after->timestamp >= from) {
      slot = cursor->slot + 1;
    } else {
      after.reset();
      slot = seg->lower_bound(from, continuous_);
      if (at_cursor) slot = std::max(slot, cursor->slot + 1);
    }
    // Sentinels are passed over only up to the slots beyond to, which end the step; that end is
    // looked up only when a sentinel is met.
    std::optional<std::uint64_t> live_end;
    for (; slot < seg->count(); ++slot) {
      // The slot after the cursor's was read above already.
      IndexEntry e = after ? *std::exchange(after, std::nullopt) : QV_TRY(seg->entry_at(slot));
      if (live_only && !e.live()) {
        if (!live_end) live_end = seg->upper_bound(to, continuous_);
        slot = seg->first_live(slot, *live_end);
        if (slot >= seg->count()) break;
        e = QV_TRY(seg->entry_at(slot));
      }
      if (e.timestamp < from) continue;
      if (e.timestamp > to) return std::optional<IndexHit>{};
      if (live_only && !e.live()) continue;
      return std::optional<IndexHit>{IndexHit{start, slot, e}};
    }
  }
  return std::optional<IndexHit>{};
}

Result<std::optional<IndexHit>> Index::prev_in_range(std::int64_t from, std::int64_t to,
                                                     std::optional<IndexCursor> cursor, bool live_only) {
  if (to < from) return std::optional<IndexHit>{};
  Segments::iterator it;
  if (cursor && segments_.contains(cursor->segment_start)) {
    it = segments_.find(cursor->segment_start);
  } else {
    // Without a usable cursor: the last segment starting below the cursor's, or at or below to.
    it = cursor ? segments_.lower_bound(cursor->segment_start) : segments_.upper_bound(to);
    if (it == segments_.begin()) return std::optional<IndexHit>{};
    --it;
  }
  while (true) {
    const std::int64_t start = it->first;
    IndexSegment* seg = QV_TRY(segment_at(start));
    const std::uint64_t v = seg->lower_bound(from, continuous_);
    const std::uint64_t w = seg->upper_bound(to, continuous_);
    if (v < w) {
      std::uint64_t slot = w - 1;
      if (cursor && cursor->segment_start == start && cursor->slot > 0) slot = std::min(slot, cursor->slot - 1);
      for (; slot >= v; --slot) {
        if (live_only) {
          const std::optional<std::uint64_t> found = seg->last_live(slot, v);
          if (!found) break;
          slot = *found;
        }
        const IndexEntry e = QV_TRY(seg->entry_at(slot));
        if (e.timestamp < from) return std::optional<IndexHit>{};
        if (e.timestamp <= to && (!live_only || e.live())) return std::optional<IndexHit>{IndexHit{start, slot, e}};
        if (slot == 0) break;
      }
    }
    if (it == segments_.begin()) return std::optional<IndexHit>{};
    --it;
  }
}

Index::RangeReader Index::read_range(std::int64_t from, std::int64_t to) { return RangeReader(*this, from, to); }

Result<std::vector<IndexEntry>> Index::entries_in_range(std::int64_t from, std::int64_t to) {
  std::vector<IndexEntry> out;
  RangeReader reader = read_range(from, to);
  while (auto e = QV_TRY(reader.next())) out.push_back(*e);
  return out;
}

std::uint64_t Index::entries_hint(std::int64_t from, std::int64_t to) const {
  if (continuous_ || to < from) return 0;
  auto it = segments_.upper_bound(from);
  if (it != segments_.begin()) --it;
  std::uint64_t n = 0;
  std::uint64_t present = 0;
  for (; it != segments_.end() && it->first <= to; ++it) {
    if (const auto* seg = std::get_if<IndexSegment>(&it->second)) {
      present += seg->count();
      if (!seg->mapped()) continue;
      // On a damaged segment whose timestamps are out of order the two searches may cross.
      const std::uint64_t lower = seg->lower_bound(from, false);
      const std::uint64_t upper = seg->upper_bound(to, false);
      if (upper > lower) n += upper - lower;
    } else {
      const auto& summary = std::get<IndexSegmentSummary>(it->second);
      present += summary.count;
      if (summary.start >= from && summary.last_timestamp && *summary.last_timestamp <= to) n += summary.count;
    }
  }
  n = std::min(n, present);
  // Sparse timestamps are distinct, so the range's width bounds the count as well.
  const std::uint64_t width = static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
  return width < n ? width + 1 : n;
}

Status Index::RangeReader::refill() {
  batch_.clear();
  pos_ = 0;
  Segments& segs = index_->segments_;
  while (!done_ && batch_.empty()) {
    Segments::iterator it;
    if (!started_) {
      // The segment holding from, then every segment starting inside the range.
      it = segs.lower_bound(from_);
      if (it != segs.begin()) --it;
      started_ = true;
    } else {
      it = segs.find(segment_);
      if (it == segs.end()) {
        it = segs.upper_bound(segment_);
        positioned_ = false;
      }
    }
    if (it == segs.end() || it->first > to_) {
      done_ = true;
      break;
    }
    segment_ = it->first;
    IndexSegment* seg = QV_TRY(index_->segment_at(segment_));
    if (!positioned_) {
      slot_ = seg->lower_bound(from_, index_->continuous_);
      positioned_ = true;
    }
    const IndexSegment::Run run = seg->read_run(slot_, to_, kBatch, batch_);
    slot_ = run.next_slot;
    if (run.ended) {
      auto next = std::next(it);
      if (next == segs.end()) {
        done_ = true;
      } else {
        segment_ = next->first;
        positioned_ = false;
      }
    }
  }
  return {};
}

Result<std::span<const IndexEntry>> Index::RangeReader::next_batch() {
  if (pos_ == batch_.size()) {
    if (done_) return std::span<const IndexEntry>{};
    QV_TRY(refill());
  }
  const std::span<const IndexEntry> rest = std::span<const IndexEntry>(batch_).subspan(pos_);
  pos_ = batch_.size();
  return rest;
}

Result<std::optional<IndexEntry>> Index::RangeReader::next() {
  if (pos_ == batch_.size()) {
    if (done_) return std::optional<IndexEntry>{};
    QV_TRY(refill());
    if (pos_ == batch_.size()) return std::optional<IndexEntry>{};
  }
  return std::optional<IndexEntry>{batch_[pos_++]};
}

// ---- time ranges and the latest timestamp ----------------------------------------------

std::optional<TimeRange> Index::contribution(const IndexSegmentSlot& slot) {
  if (const auto* seg = std::get_if<IndexSegment>(&slot)) {
    if (!seg->mapped()) return std::nullopt;
    auto last = seg->last_timestamp();
    if (!last) return std::nullopt;
    return TimeRange{seg->start(), *last};
  }
  const auto& s = std::get<IndexSegmentSummary>(slot);
  if (s.count == 0 || !s.last_timestamp) return std::nullopt;
  return TimeRange{s.start, *s.last_timestamp};
}

std::optional<TimeRange> Index::time_range(Segments::const_iterator first, Segments::const_iterator last) {
  std::optional<TimeRange> range;
  for (; first != last; ++first) {
    auto c = contribution(first->second);
    if (!c) continue;
    if (!range) {
      range = c;
    } else {
      range->first = std::min(range->first, c->first);
      range->second = std::max(range->second, c->second);
    }
  }
  return range;
}

std::optional<TimeRange> Index::sealed_time_range() const {
  if (segments_.empty()) return std::nullopt;
  return time_range(segments_.cbegin(), std::prev(segments_.cend()));
}

std::optional<TimeRange> Index::newest_time_range() const {
  if (segments_.empty()) return std::nullopt;
  return contribution(segments_.rbegin()->second);
}

bool Index::holds_entries() const {
  return std::any_of(segments_.begin(), segments_.end(), [](const auto& kv) {
    if (const auto* seg = std::get_if<IndexSegment>(&kv.second)) return seg->count() > 0;
    return std::get<IndexSegmentSummary>(kv.second).count > 0;
  });
}

void Index::refresh_latest() {
  auto range = time_range(segments_.cbegin(), segments_.cend());
  latest_ = range ? std::optional<std::int64_t>{range->second} : std::nullopt;
}

void Index::note_latest(std::optional<std::int64_t> ts) {
  if (ts && (!latest_ || *ts > *latest_)) latest_ = ts;
}

std::optional<std::int64_t> Index::read_latest_timestamp() const {
  const IndexSegmentSummary* newest_closed = nullptr;
  const IndexSegment* newest_open = nullptr;
  for (const auto& [start, slot] : segments_) {
    if (const auto* seg = std::get_if<IndexSegment>(&slot)) {
      if (seg->count() > 0) newest_open = seg;
    } else if (const auto& s = std::get<IndexSegmentSummary>(slot); s.count > 0) {
      newest_closed = &s;
    }
  }
  std::optional<std::int64_t> latest;
  if (newest_closed) {
    if (auto last = IndexSegment::read_last_timestamp(newest_closed->path); last && *last) latest = **last;
  }
  if (newest_open) {
    if (auto last = newest_open->last_timestamp(); last && (!latest || *last > *latest)) latest = last;
  }
  return latest;
}

// ---- flush, close, retention -----------------------------------------------------------

std::size_t Index::open_segment_count() const {
  return static_cast<std::size_t>(std::count_if(segments_.begin(), segments_.end(), [](const auto& kv) {
    return std::holds_alternative<IndexSegment>(kv.second);
  }));
}

Watermark Index::mark_for(const DataMark& data, std::uint64_t entries) const {
  Watermark w;
  if (auto boot = util::current_boot_id()) w.boot = *boot;
  w.data = data;
  w.entries = entries;
  return w;
}

Result<std::optional<DataMark>> Index::sync_segment(IndexSegment& seg) {
  if (data_sync_ == nullptr) {
    QV_TRY(seg.sync());
    return std::optional<DataMark>{};
  }
  const DataMark data = QV_TRY(data_sync_->sync_data());
  if (!segments_.empty() && std::get_if<IndexSegment>(&segments_.rbegin()->second) == &seg) {
    const Watermark mark = mark_for(data, seg.count());
    if (seg.watermark() != mark) seg.write_watermark(mark);
  }
  QV_TRY(seg.sync());
  return std::optional<DataMark>{data};
}

std::optional<Watermark> Index::durable_watermark() const {
  if (segments_.empty()) return std::nullopt;
  const IndexSegmentSlot& newest = segments_.rbegin()->second;
  if (const auto* seg = std::get_if<IndexSegment>(&newest)) return seg->watermark();
  return IndexSegment::read_watermark(std::get<IndexSegmentSummary>(newest).path);
}

Status Index::flush() {
  for (auto& [start, slot] : segments_) {
    if (auto* seg = std::get_if<IndexSegment>(&slot)) QV_TRY(sync_segment(*seg));
  }
  // A closed newest segment still takes a new mark when the data moved without a new entry
  // (an append to the latest record), or when this boot has not stamped it yet.
  if (data_sync_ != nullptr && !segments_.empty() &&
      std::holds_alternative<IndexSegmentSummary>(segments_.rbegin()->second)) {
    const auto& summary = std::get<IndexSegmentSummary>(segments_.rbegin()->second);
    const DataMark data = QV_TRY(data_sync_->sync_data());
    if (IndexSegment::read_watermark(summary.path) != mark_for(data, summary.count)) {
      // A newest file that cannot be opened keeps the mark it has; its reads report it.
      auto seg = segment_at(segments_.rbegin()->first);
      if (seg) QV_TRY(sync_segment(**seg));
    }
  }
  return {};
}

Status Index::flush_segment(std::int64_t start) {
  auto it = segments_.find(start);
  if (it == segments_.end()) return {};
  auto* seg = std::get_if<IndexSegment>(&it->second);
  if (!seg || seg->clean()) return {};
  QV_TRY(sync_segment(*seg));
  return {};
}

Result<std::uint64_t> Index::cut_unconfirmed(std::uint64_t trusted,
                                             const std::function<bool(const IndexEntry&)>& holds) {
  if (segments_.empty()) return std::uint64_t{0};
  const std::int64_t start = segments_.rbegin()->first;
  IndexSegment* seg = QV_TRY(segment_at(start));
  const std::uint64_t count = seg->count();
  std::optional<std::int64_t> previous;
  if (trusted > 0 && trusted <= count) previous = QV_TRY(seg->entry_at(trusted - 1)).timestamp;
  std::uint64_t slot = std::min(trusted, count);
  for (; slot < count; ++slot) {
    const IndexEntry e = QV_TRY(seg->entry_at(slot));
    // An entry never reached the disk reads as zeros or as an older file's bytes: out of order
    // with its neighbour, or naming a record that is not there.
    const bool in_order = continuous_ ? e.timestamp == start + static_cast<std::int64_t>(slot)
                                      : !previous || e.timestamp > *previous;
    if (!in_order || (e.live() && !holds(e))) break;
    previous = e.timestamp;
  }
  QV_TRY(seg->truncate(slot));
  refresh_latest();
  return count - slot;
}

Result<std::vector<IndexEntry>> Index::covered_entries_from(std::uint64_t trusted, std::uint64_t from) {
  std::vector<IndexEntry> out;
  if (segments_.empty()) return out;
  const std::int64_t newest = segments_.rbegin()->first;
  std::vector<std::int64_t> starts;
  for (const auto& [start, slot] : segments_) starts.push_back(start);
  for (const std::int64_t start : starts) {
    IndexSegment* seg = QV_TRY(segment_at(start));
    const std::uint64_t count = start == newest ? std::min(trusted, seg->count()) : seg->count();
    for (std::uint64_t slot = 0; slot < count; ++slot) {
      const IndexEntry e = QV_TRY(seg->entry_at(slot));
      if (e.live() && e.block_offset >= from) out.push_back(e);
    }
  }
  return out;
}

bool Index::entry_durable(std::int64_t ts) const {
  auto start = locate(ts);
  if (!start || !*start) return false;
  auto it = segments_.find(**start);
  if (it == segments_.end()) return false;
  const auto* seg = std::get_if<IndexSegment>(&it->second);
  if (seg == nullptr) return true;
  const auto hit = seg->find(ts, continuous_);
  return hit && hit->first < seg->synced_count();
}

Status Index::close_segments() {
  Status result;
  for (auto& [start, slot] : segments_) {
    auto* seg = std::get_if<IndexSegment>(&slot);
    if (!seg) continue;
    std::optional<std::int64_t> last;
    if (seg->count() > 0) {
      if (auto e = seg->entry_at(seg->count() - 1)) last = e->timestamp;
    }
    // A segment whose sync failed stays open: its unsynchronised entries must not be
    // forgotten, and a continuous append into its range must find it rather than create its
    // file anew over it.
    if (auto synced = sync_segment(*seg); !synced) {
      result = fail(synced.error());
      break;
    }
    IndexSegmentSummary summary{last, seg->path(), start, seg->capacity(), seg->count(), seg->header_len()};
    slot.emplace<IndexSegmentSummary>(std::move(summary));
  }
  refresh_latest();
  return result;
}

std::uint64_t Index::retain_after(std::int64_t cutoff) {
  std::uint64_t removed = 0;
  for (auto it = segments_.begin(); it != segments_.end();) {
    const auto* summary = std::get_if<IndexSegmentSummary>(&it->second);
    if (!summary) {
      ++it;
      continue;
    }
    const std::string path = summary->path.string();
    auto last = IndexSegment::read_last_timestamp(summary->path);
    if (!last) {
      QV_LOG(Warn, kLogTarget, "[retention] failed to read ", path, ": ", last.error().display(), " (keeping)");
      ++it;
      continue;
    }
    if (*last && **last >= cutoff) {
      ++it;
      continue;
    }
    (void)fs::remove_file(summary->path);
    if (*last) {
      QV_LOG(Info, kLogTarget, "[retention] deleted index segment: ", path);
    } else {
      QV_LOG(Info, kLogTarget, "[retention] deleted empty index segment: ", path);
    }
    it = segments_.erase(it);
    ++removed;
  }
  refresh_latest();
  return removed;
}

}  // namespace quelvane
