#include "index/segment.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "compress.h"
#include "header.h"
#include "util/bytes.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace quelvane {

namespace {

constexpr const char* kLogTarget = "quelvane::index::segment";

// The on-disk entry: delta u32 at 0, block_offset u64 at 4, in_block u16 at 12.
constexpr std::uint64_t kDeltaAt = 0;
constexpr std::uint64_t kBlockAt = 4;
constexpr std::uint64_t kInBlockAt = 12;

constexpr std::uint64_t slot_pos(std::uint64_t slot) {
  return IndexSegment::kHeaderLen + IndexSegment::kEntrySize * slot;
}

// Whole slots a file of that length holds; a trailing partial slot is never used.
constexpr std::uint64_t capacity_of(std::uint64_t file_size) {
  return file_size < IndexSegment::kHeaderLen ? 0 : (file_size - IndexSegment::kHeaderLen) / IndexSegment::kEntrySize;
}

constexpr std::uint64_t count_of(std::uint64_t entries_end) {
  return entries_end < IndexSegment::kHeaderLen ? 0
                                                : (entries_end - IndexSegment::kHeaderLen) / IndexSegment::kEntrySize;
}

// start + delta, or none when it leaves the signed 64-bit range.
std::optional<std::int64_t> add_delta(std::int64_t start, std::uint32_t delta) {
  std::int64_t ts;
  if (__builtin_add_overflow(start, static_cast<std::int64_t>(delta), &ts)) return std::nullopt;
  return ts;
}

Error delta_overflow() { return Error::invalid_data("index timestamp delta overflow"); }

Error slot_out_of_range(std::uint64_t slot, std::uint64_t count) {
  return Error::invalid_data(text::cat("entry index ", slot, " out of range [0, ", count, ")"));
}

Error closed() { return Error::mmap("index segment closed"); }

}  // namespace

std::string IndexSegment::file_name(std::int64_t start) {
  char buf[32];
  if (start < 0) {
    // The magnitude of the smallest value does not fit a signed 64-bit number.
    const std::uint64_t magnitude = ~static_cast<std::uint64_t>(start) + 1;
    std::snprintf(buf, sizeof buf, "-%019" PRIu64, magnitude);
  } else {
    std::snprintf(buf, sizeof buf, "%020" PRId64, start);
  }
  return buf;
}

IndexSegment::IndexSegment(MappedFile file, fs::Path path, std::int64_t start, std::uint64_t count,
                           std::uint64_t file_size, std::uint64_t max_file_size, std::uint64_t entries_end_pos)
    : file_(std::move(file)),
      path_(std::move(path)),
      start_(start),
      capacity_(capacity_of(file_size)),
      count_(count),
      synced_count_(count),
      file_size_(file_size),
      max_file_size_(max_file_size),
      entries_end_pos_(entries_end_pos),
      dirty_(FlushTarget::index_segment(start)) {}

IndexSegment::IndexSegment(IndexSegment&& o) noexcept
    : file_(std::move(o.file_)),
      path_(std::move(o.path_)),
      start_(o.start_),
      capacity_(o.capacity_),
      count_(o.count_),
      synced_count_(o.synced_count_),
      file_size_(o.file_size_),
      max_file_size_(o.max_file_size_),
      entries_end_pos_(o.entries_end_pos_),
      dirty_(std::move(o.dirty_)) {}

IndexSegment& IndexSegment::operator=(IndexSegment&& o) noexcept {
  if (this != &o) {
    release();
    file_ = std::move(o.file_);
    path_ = std::move(o.path_);
    start_ = o.start_;
    capacity_ = o.capacity_;
    count_ = o.count_;
    synced_count_ = o.synced_count_;
    file_size_ = o.file_size_;
    max_file_size_ = o.max_file_size_;
    entries_end_pos_ = o.entries_end_pos_;
    dirty_ = std::move(o.dirty_);
  }
  return *this;
}

IndexSegment::~IndexSegment() { release(); }

void IndexSegment::release() noexcept {
  if (!file_.mapped()) return;
  // A clean mapping holds nothing that a sync would write (the usual case after a close). The
  // failure's message may find no memory; the mapping goes either way.
  try {
    if (auto synced = dirty_.clean() ? Status{} : file_.sync(); !synced) {
      QV_LOG(Error, kLogTarget, "[IndexSegment drop] mmap flush failed: ", synced.error().payload());
    }
  } catch (...) {
  }
  file_.unmap();
}

Result<IndexSegment> IndexSegment::create(const fs::Path& dir, std::int64_t start, std::uint64_t initial_size,
                                          std::uint64_t max_size, std::uint8_t compress_level,
                                          std::uint8_t compress_type, const std::optional<Watermark>& mark) {
  QV_TRY(compress::check_compress_type(compress_type));
  if (initial_size < kHeaderLen) {
    return fail(Error::invalid_data(
        text::cat("initial index segment size ", initial_size, " is smaller than header ", kHeaderLen)));
  }
  QV_TRY(fs::create_dir_all(dir));
  fs::Path path = dir / file_name(start);
  const std::uint64_t size = slot_pos(capacity_of(initial_size));

  const header::MetaValues meta{unix_millis_now(), start, max_size, compress_level, compress_type};
  MappedFile file = QV_TRY(MappedFile::create(path, size, [&meta, &mark](MappedFile& made) {
    header::write_index_header(meta, kHeaderLen, made.mutable_bytes());
    if (mark && made.fits(0, Watermark::kEnd)) mark->write(made.mutable_bytes());
    return made.sync();
  }));
  const std::uint64_t file_size = file.size();
  return IndexSegment(std::move(file), path, start, 0, file_size, max_size,
                      header::kStateOffset + header::kEntriesEndWord);
}

Result<IndexSegment> IndexSegment::open(const fs::Path& path, std::int64_t expected_start, std::uint64_t max_size) {
  MappedFile file = QV_TRY(MappedFile::open(path, MappedFile::Access::ReadWrite));
  const header::FileHeader h = QV_TRY(header::parse_index_header(file.bytes()));
  if (h.meta.base != expected_start) {
    return fail(Error::invalid_data(text::cat("index segment header start ", h.meta.base,
                                              " does not match file name start ", expected_start)));
  }
  const std::uint64_t file_size = file.size();
  // entries_end is only a header word: entries it claims beyond the end of the file do not
  // exist, and the next append continues after the last slot the file really holds.
  const std::uint64_t count = std::min(count_of(h.entries_end), capacity_of(file_size));
  return IndexSegment(std::move(file), path, expected_start, count, file_size, max_size,
                      h.state_offset() + header::kEntriesEndWord);
}

Result<std::optional<std::int64_t>> IndexSegment::read_last_timestamp(const fs::Path& path) {
  const MappedFile file = QV_TRY(MappedFile::open(path, MappedFile::Access::ReadOnly));
  if (file.size() <= 8) return std::optional<std::int64_t>{};
  const header::FileHeader h = QV_TRY(header::parse_index_header(file.bytes()));
  const std::uint64_t count = count_of(h.entries_end);
  if (count == 0) return std::optional<std::int64_t>{};
  const std::uint64_t last = slot_pos(count - 1);
  if (!file.fits(last + kDeltaAt, 4)) return fail(Error::invalid_data("truncated last index entry"));
  auto ts = add_delta(h.meta.base, file.load<std::uint32_t>(last + kDeltaAt));
  if (!ts) return fail(delta_overflow());
  return ts;
}

std::optional<Watermark> IndexSegment::read_watermark(const fs::Path& path) {
  auto file = MappedFile::open(path, MappedFile::Access::ReadOnly);
  if (!file) return std::nullopt;
  return Watermark::read(file->bytes());
}

std::optional<Watermark> IndexSegment::watermark() const {
  if (!file_.mapped()) return std::nullopt;
  return Watermark::read(file_.bytes());
}

void IndexSegment::write_watermark(const Watermark& mark) {
  if (!file_.mapped() || !file_.fits(0, Watermark::kEnd)) return;
  mark.write(file_.mutable_bytes());
  mark_changed();
}

Status IndexSegment::truncate(std::uint64_t count) {
  if (count >= count_) return {};
  if (!file_.mapped()) return fail(closed());
  QV_TRY(check_writable(0, 0));
  set_count(count);
  synced_count_ = std::min(synced_count_, count);
  mark_changed();
  return {};
}

Status IndexSegment::ensure_mapped() {
  if (file_.mapped()) return {};
  file_ = QV_TRY(MappedFile::open(path_, MappedFile::Access::ReadWrite));
  dirty_.synced();
  return {};
}

Status IndexSegment::grow() {
  const std::uint64_t doubled =
      file_size_ > std::numeric_limits<std::uint64_t>::max() / 2 ? std::numeric_limits<std::uint64_t>::max()
                                                                 : file_size_ * 2;
  const std::uint64_t new_size = std::min(max_file_size_, doubled);
  // Also a file already beyond the ceiling: growing must never shrink it.
  if (new_size <= file_size_) {
    return fail(Error::invalid_data(text::cat("index segment already at max_file_size (", max_file_size_, ")")));
  }
  QV_TRY(ensure_mapped());
  QV_TRY(file_.grow(new_size));
  file_size_ = file_.size();
  capacity_ = capacity_of(file_size_);
  mark_changed();
  return {};
}

Result<std::uint32_t> IndexSegment::delta_of(std::int64_t ts) const {
  std::int64_t delta;
  if (__builtin_sub_overflow(ts, start_, &delta)) return fail(delta_overflow());
  if (delta < 0 || static_cast<std::uint64_t>(delta) > kMaxDelta) {
    return fail(Error::invalid_data(
        text::cat("index timestamp ", ts, " is outside u32 delta range for segment ", start_)));
  }
  return static_cast<std::uint32_t>(delta);
}

Status IndexSegment::check_writable(std::uint64_t first, std::uint64_t n) const {
  // Capacity was derived from the file length when it was mapped; a file cut short since must
  // never turn a store into a write past the mapping.
  if (!file_.fits(slot_pos(first), kEntrySize * n) || !file_.fits(entries_end_pos_, 8)) {
    return fail(Error::invalid_data(text::cat("index entry ", first + n - 1, " lies beyond the end of ",
                                              path_.string(), " (", file_.size(), " bytes)")));
  }
  return {};
}

void IndexSegment::write_slot(std::uint64_t slot, std::uint32_t delta, std::uint64_t block_offset,
                              std::uint16_t in_block) {
  const std::uint64_t at = slot_pos(slot);
  file_.store<std::uint32_t>(at + kDeltaAt, delta);
  file_.store<std::uint64_t>(at + kBlockAt, block_offset);
  file_.store<std::uint16_t>(at + kInBlockAt, in_block);
}

void IndexSegment::set_count(std::uint64_t count) {
  count_ = count;
  file_.store<std::uint64_t>(entries_end_pos_, slot_pos(count));
}

Status IndexSegment::append(const IndexEntry& entry) {
  // Fullness first: the index answers it by growing, which also maps an unmapped segment again.
  if (count_ >= capacity_) return fail(Error::segment_full());
  if (!file_.mapped()) return fail(closed());
  const std::uint32_t delta = QV_TRY(delta_of(entry.timestamp));
  QV_TRY(check_writable(count_, 1));
  write_slot(count_, delta, entry.block_offset, entry.in_block);
  set_count(count_ + 1);
  mark_changed();
  return {};
}

Result<std::uint64_t> IndexSegment::append_sentinels(std::int64_t first, std::uint64_t n) {
  if (n == 0) return std::uint64_t{0};
  QV_ASSERT(n - 1 <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) -
                         static_cast<std::uint64_t>(first),
            "a placeholder run ends within the timestamp range");
  if (count_ >= capacity_) return fail(Error::segment_full());
  if (!file_.mapped()) return fail(closed());
  const std::uint32_t first_delta = QV_TRY(delta_of(first));
  const std::uint64_t room = std::min(n, capacity_ - count_);
  // Entries past the largest delta are refused one timestamp at a time, as single appends are.
  const std::uint64_t fits_delta = kMaxDelta - first_delta + 1;
  const std::uint64_t k = std::min(room, fits_delta);
  QV_TRY(check_writable(count_, k));
  const IndexEntry s = IndexEntry::sentinel(0);
  for (std::uint64_t i = 0; i < k; ++i) {
    write_slot(count_ + i, static_cast<std::uint32_t>(first_delta + i), s.block_offset, s.in_block);
  }
  set_count(count_ + k);
  mark_changed();
  // The written ones stay, as they would after single appends.
  if (k < room) return fail(delta_of(first + static_cast<std::int64_t>(k)).error());
  return k;
}

Status IndexSegment::overwrite(std::uint64_t slot, const IndexEntry& entry) {
  if (slot >= count_) return fail(slot_out_of_range(slot, count_));
  if (!file_.mapped()) return fail(closed());
  const std::uint32_t delta = QV_TRY(delta_of(entry.timestamp));
  QV_TRY(check_writable(slot, 1));
  write_slot(slot, delta, entry.block_offset, entry.in_block);
  mark_changed();
  return {};
}

Result<IndexEntry> IndexSegment::entry_at(std::uint64_t slot) {
  QV_TRY(ensure_mapped());
  if (slot >= count_) return fail(slot_out_of_range(slot, count_));
  const std::uint64_t at = slot_pos(slot);
  if (!file_.fits(at, kEntrySize)) {
    return fail(Error::invalid_data(
        text::cat("index entry ", slot, " lies beyond the end of ", path_.string(), " (", file_.size(), " bytes)")));
  }
  auto ts = add_delta(start_, file_.load<std::uint32_t>(at + kDeltaAt));
  if (!ts) return fail(delta_overflow());
  return IndexEntry{*ts, file_.load<std::uint64_t>(at + kBlockAt), file_.load<std::uint16_t>(at + kInBlockAt)};
}

std::optional<std::int64_t> IndexSegment::timestamp_at(std::uint64_t slot) const {
  const std::uint64_t at = slot_pos(slot);
  if (!file_.mapped() || !file_.fits(at, kEntrySize)) return std::nullopt;
  return add_delta(start_, file_.load<std::uint32_t>(at + kDeltaAt));
}

std::optional<IndexEntry> IndexSegment::read_slot(std::uint64_t slot) const {
  auto ts = timestamp_at(slot);
  if (!ts) return std::nullopt;
  const std::uint64_t at = slot_pos(slot);
  return IndexEntry{*ts, file_.load<std::uint64_t>(at + kBlockAt), file_.load<std::uint16_t>(at + kInBlockAt)};
}

std::uint64_t IndexSegment::lower_bound(std::int64_t t, bool continuous) const {
  if (continuous) {
    if (t < start_) return 0;
    const std::uint64_t d = static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(start_);
    return d < count_ ? d : count_;
  }
  return sparse_bound(t, Bound::Lower);
}

// Sparse timestamps rise strictly from slot to slot and mostly at a steady rate, so the slot
// of t is first estimated from the segment's first and last timestamps; doubling steps from
// the estimate bracket the answer and a binary search finishes inside the bracket. Over
// strictly increasing slots the first slot not below t (above t, for the upper bound) is
// unique, so this finds the slot a binary search over the whole segment finds, but a good
// estimate costs two or three reads next to each other instead of log2(count) reads spread
// over a large mapping.
std::uint64_t IndexSegment::sparse_bound(std::int64_t t, Bound bound) const {
  // below(slot): the slot lies before the answer. Unreadable slots count as above every
  // timestamp, as in every search here.
  auto below = [&](std::uint64_t slot) {
    const auto ts = timestamp_at(slot);
    return ts && (bound == Bound::Lower ? *ts < t : *ts <= t);
  };
  if (count_ == 0) return 0;
  if (!below(0)) return 0;
  const std::uint64_t last_slot = count_ - 1;
  if (below(last_slot)) return count_;
  // The answer lies in [lo, hi]: slot lo - 1 is below it, slot hi is not.
  std::uint64_t lo = 1, hi = last_slot;
  const auto first = timestamp_at(0);
  const auto last = timestamp_at(last_slot);
  if (lo < hi && last) {
    // first <= t <= last and first < last here, so both differences fit in 64 unsigned bits
    // and the share lies in [0, 1].
    const double share = static_cast<double>(static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(*first)) /
                         static_cast<double>(static_cast<std::uint64_t>(*last) - static_cast<std::uint64_t>(*first));
    const std::uint64_t guess = std::clamp(static_cast<std::uint64_t>(share * static_cast<double>(last_slot)), lo, hi);
    if (below(guess)) {
      lo = guess + 1;
      for (std::uint64_t step = 1; hi - lo > step; step *= 2) {
        const std::uint64_t probe = lo + step - 1;
        if (!below(probe)) {
          hi = probe;
          break;
        }
        lo = probe + 1;
      }
    } else {
      hi = guess;
      for (std::uint64_t step = 1; hi - lo >= step; step *= 2) {
        const std::uint64_t probe = hi - step;
        if (below(probe)) {
          lo = probe + 1;
          break;
        }
        hi = probe;
      }
    }
  }
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (below(mid)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

std::uint64_t IndexSegment::upper_bound(std::int64_t t, bool continuous) const {
  if (continuous) {
    if (t < start_) return 0;
    const std::uint64_t d = static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(start_);
    return d < count_ ? d + 1 : count_;
  }
  return sparse_bound(t, Bound::Upper);
}

std::optional<std::pair<std::uint64_t, IndexEntry>> IndexSegment::find(std::int64_t t, bool continuous) const {
  if (!file_.mapped() || count_ == 0) return std::nullopt;
  const std::uint64_t slot = lower_bound(t, continuous);
  if (slot >= count_) return std::nullopt;
  auto e = read_slot(slot);
  if (!e || e->timestamp != t) return std::nullopt;
  return std::pair{slot, *e};
}

std::optional<IndexEntry> IndexSegment::find_exact(std::int64_t t) const {
  auto hit = find(t, false);
  if (!hit) return std::nullopt;
  return hit->second;
}

std::optional<IndexEntry> IndexSegment::slot_entry(std::int64_t t) const {
  auto hit = find(t, true);
  if (!hit) return std::nullopt;
  return hit->second;
}

IndexSegment::Run IndexSegment::read_run(std::uint64_t slot, std::int64_t to, std::size_t limit,
                                         std::vector<IndexEntry>& out) const {
  Run run{slot, false};
  if (limit == 0) return run;
  if (slot >= count_ || !file_.mapped()) {
    run.ended = true;
    return run;
  }
  // Range reads pass through here for every entry, so the bounds are settled once for the
  // run: the slots wholly inside the mapping are exactly those below its capacity, and the
  // loop below only decodes. The first slot past them ends the run as an unreadable one.
  const std::uint64_t readable = std::min(count_, capacity_of(file_.size()));
  const std::uint64_t stop = slot + std::min<std::uint64_t>(limit, count_ - slot);
  const std::uint8_t* const base = file_.bytes().data();
  for (; run.next_slot < stop; ++run.next_slot) {
    if (run.next_slot >= readable) {
      run.ended = true;
      return run;
    }
    const std::uint8_t* const p = base + slot_pos(run.next_slot);
    const auto ts = add_delta(start_, bytes::load_le<std::uint32_t>(p + kDeltaAt));
    if (!ts || *ts > to) {
      run.ended = true;
      return run;
    }
    out.push_back(
        IndexEntry{*ts, bytes::load_le<std::uint64_t>(p + kBlockAt), bytes::load_le<std::uint16_t>(p + kInBlockAt)});
  }
  // The end of the segment ends the run unless the limit was reached exactly there.
  run.ended = run.next_slot - slot < limit;
  return run;
}

std::uint64_t IndexSegment::first_live(std::uint64_t slot, std::uint64_t end) const {
  // Never back before slot: a walk must always move on.
  if (!file_.mapped() || slot >= end) return slot;
  const std::uint64_t readable = std::min(count_, capacity_of(file_.size()));
  const std::uint8_t* const base = file_.bytes().data();
  for (; slot < end; ++slot) {
    if (slot >= readable) return slot;
    if (bytes::load_le<std::uint64_t>(base + slot_pos(slot) + kBlockAt) != IndexEntry::kNoBlock) return slot;
  }
  return end;
}

std::optional<std::uint64_t> IndexSegment::last_live(std::uint64_t slot, std::uint64_t low) const {
  if (!file_.mapped()) return slot;
  const std::uint64_t readable = std::min(count_, capacity_of(file_.size()));
  const std::uint8_t* const base = file_.bytes().data();
  for (; slot >= low; --slot) {
    if (slot >= readable) return slot;
    if (bytes::load_le<std::uint64_t>(base + slot_pos(slot) + kBlockAt) != IndexEntry::kNoBlock) return slot;
    if (slot == 0) break;
  }
  return std::nullopt;
}

std::vector<IndexEntry> IndexSegment::collect_range(std::int64_t from, std::int64_t to, bool continuous) const {
  std::vector<IndexEntry> out;
  read_run(lower_bound(from, continuous), to, std::numeric_limits<std::size_t>::max(), out);
  return out;
}

std::optional<std::int64_t> IndexSegment::last_timestamp() const {
  if (count_ == 0) return std::nullopt;
  return timestamp_at(count_ - 1);
}

void IndexSegment::set_notifier(std::optional<FlushNotifier> notifier) { dirty_.set_notifier(std::move(notifier)); }

void IndexSegment::mark_changed() { dirty_.changed(); }

Status IndexSegment::sync() {
  // A clean mapping holds nothing a sync would write: flushes, roll-overs and closes that meet
  // it cost no system call.
  if (file_.mapped() && !dirty_.clean()) QV_TRY(file_.sync());
  dirty_.synced();
  synced_count_ = count_;
  return {};
}

}  // namespace quelvane
