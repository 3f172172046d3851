#include "log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "../util/bytes.h"
#include "../util/log.h"
#include "../util/text.h"
#include "queue.h"

namespace quelvane {

namespace {

constexpr const char* kLogTarget = "quelvane::journal::log";

Error disabled_error() { return Error::not_found("journal is disabled"); }
Error closed_error() { return Error::invalid_data("journal is closed"); }

// A directory entry that is a regular file, following symbolic links; an entry that cannot be
// looked at (a dangling link, a file removed meanwhile) is not one.
bool regular_file(const fs::Path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

// ---- names ----

fs::Path journal::journal_dir(const fs::Path& data_dir) { return data_dir / ".journal" / "logs"; }

std::optional<std::int64_t> journal::parse_segment_file_name(const fs::Path& path) {
  const std::string name = path.filename().string();
  if (name.size() != 20) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (v > (static_cast<std::uint64_t>(INT64_MAX) - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  if (v == 0) return std::nullopt;
  return static_cast<std::int64_t>(v);
}

std::string journal::segment_file_name(std::int64_t base) {
  std::string digits = text::cat(base);
  return std::string(20 - std::min<std::size_t>(20, digits.size()), '0') + digits;
}

// ---- JournalLog ----

JournalLog::Settings JournalLog::Settings::of(const StoreConfig& config) {
  return {.segment_size = config.data_segment_size,
          .initial_segment_size = config.initial_data_segment_size,
          .compress_level = config.compress_level,
          .compress_type = config.compress_type};
}

Result<JournalLog> JournalLog::open(fs::Path data_dir, Settings settings, bool read_only) {
  JournalLog log(std::move(data_dir), settings, read_only);
  // Its one allocation up front: marking a segment as used then allocates nothing.
  log.mapped_sealed_.reserve(kMappedSealedSegments + 1);
  // Takes the listed segments based at up_to or below.
  const auto take = [&log](const std::vector<std::string>& names, std::int64_t up_to) -> Status {
    for (const std::string& name : names) {
      // A segment not yet in place; a writable open removes it.
      if (fs::is_temporary_name(name)) continue;
      fs::Path path = log.data_dir_ / name;
      if (!regular_file(path)) continue;
      const std::optional<std::int64_t> base = journal::parse_segment_file_name(path);
      if (!base) {
        QV_LOG(Warn, kLogTarget, "[journal] skipping invalid segment filename: ", text::debug_quoted(path.string()));
        continue;
      }
      if (*base > up_to) continue;
      if (!QV_TRY(JournalSegment::check_header(path, *base))) {
        QV_LOG(Warn, kLogTarget, "[journal] skipping unwritten segment file: ", text::debug_quoted(path.string()));
        continue;
      }
      log.segments_.insert_or_assign(*base, Slot{std::move(path), std::nullopt});
    }
    return {};
  };
  std::vector<std::string> names = QV_TRY(fs::list_dir(log.data_dir_));
  QV_TRY(take(names, INT64_MAX));
  if (read_only && !log.segments_.empty()) {
    // A live writer that rolls over twice during the listing can have it show the later segment
    // and not the earlier one, a hole below the last. Every segment up to the last one taken was
    // in place before a second listing starts, so that one shows them all; only what the first
    // left out is taken from it, each name looked at once.
    std::ranges::sort(names);
    std::vector<std::string> again = QV_TRY(fs::list_dir(log.data_dir_));
    std::erase_if(again, [&](const std::string& name) { return std::ranges::binary_search(names, name); });
    QV_TRY(take(again, log.segments_.rbegin()->first));
  }
  const fs::Path mark_path = journal::durable_path(log.data_dir_.parent_path());
  const std::optional<journal::Watermark> mark = QV_TRY(journal::read_watermark(mark_path));
  // Stamped by another boot: the machine went down since the journal's last flush, and every
  // page written after it may be old, new or torn. The same boot (a kill keeps the page cache)
  // or no stamp keeps everything.
  const bool lost = mark && util::is_other_boot(mark->boot);
  if (lost) QV_TRY(log.cut_above(mark->sequence));
  QV_TRY(log.find_next_sequence());
  if (lost && log.next_sequence_ <= mark->sequence)
    QV_LOG(Warn, kLogTarget, "[journal] journal ends at sequence ", log.next_sequence_ - 1,
           " below its durable sequence ", mark->sequence, ": records a flush covered are damaged");
  if (!read_only) QV_TRY(log.settle_watermark(mark_path, mark, lost));
  return log;
}

Status JournalLog::find_next_sequence() {
  next_sequence_ = 1;
  if (segments_.empty()) return {};
  auto& [base, slot] = *segments_.rbegin();
  JournalSegment* last = QV_TRY(opened(base, slot));
  if (last->record_count() > static_cast<std::uint64_t>(INT64_MAX))
    return fail(Error::invalid_data("journal segment record_count exceeds i64"));
  const auto count = static_cast<std::int64_t>(last->record_count());
  if (base > INT64_MAX - count) return fail(Error::invalid_data("journal next_sequence overflow"));
  next_sequence_ = base + count;
  if (durable_cap_ && next_sequence_ > *durable_cap_ + 1) next_sequence_ = *durable_cap_ + 1;
  return {};
}

Status JournalLog::cut_above(std::int64_t sequence) {
  std::uint64_t removed = 0;
  // Whole segments above the watermark hold nothing a flush covered.
  while (!segments_.empty() && segments_.rbegin()->first > sequence) {
    auto last = std::prev(segments_.end());
    if (!read_only_) QV_TRY(fs::remove_file(last->second.path));
    std::erase(mapped_sealed_, last->first);
    segments_.erase(last);
    ++removed;
  }
  std::int64_t cut = 0;
  if (!segments_.empty()) {
    auto& [base, slot] = *segments_.rbegin();
    JournalSegment* last = QV_TRY(opened(base, slot));
    cut = std::max<std::int64_t>(0, last->next_sequence() - 1 - sequence);
    // A read-only log cannot change the file: it serves nothing above the watermark.
    if (read_only_) durable_cap_ = sequence;
    else QV_TRY(last->cut_after(sequence));
  }
  if (removed > 0 || cut > 0)
    QV_LOG(Warn, kLogTarget, "[journal] power loss: dropped ", removed, " segments and ", cut,
           " records above durable sequence ", sequence);
  if (removed > 0 && !read_only_) dir_unsynced_ = true;
  return {};
}

Status JournalLog::settle_watermark(const fs::Path& path, const std::optional<journal::Watermark>& found, bool lost) {
  if (found && !lost) {
    durable_ = QV_TRY(journal::DurableWatermark::open(path, *found));
    return {};
  }
  // The cut, or what a journal older than the watermark holds, is made durable before the
  // watermark says so, and before any new record takes a cut sequence.
  QV_TRY(flush());
  const std::int64_t covered = next_sequence_ - 1;
  if (found) {
    durable_ = QV_TRY(journal::DurableWatermark::open(path, *found));
    return durable_->stamp(covered);
  }
  durable_ = QV_TRY(journal::DurableWatermark::create(path, covered));
  return {};
}

std::optional<std::int64_t> JournalLog::latest_sequence() const {
  if (next_sequence_ > 1) return next_sequence_ - 1;
  return std::nullopt;
}

std::size_t JournalLog::opened_segment_count() const {
  std::size_t n = 0;
  for (const auto& [base, slot] : segments_) n += slot.segment.has_value();
  return n;
}

Result<JournalSegment*> JournalLog::opened(std::int64_t base, Slot& slot) {
  if (!slot.segment) {
    slot.segment = QV_TRY(read_only_ ? JournalSegment::open_read_only(slot.path, base, settings_.segment_size)
                                     : JournalSegment::open(slot.path, base, settings_.segment_size));
  }
  // The last segment keeps its mapping; a sealed one is mapped again when it was let go.
  if (base != segments_.rbegin()->first) keep_mapped(base);
  return &*slot.segment;
}

void JournalLog::keep_mapped(std::int64_t base) {
  std::erase(mapped_sealed_, base);
  mapped_sealed_.push_back(base);
  // A segment that cannot let go (its sync failed) stays mapped and in the set, to be tried
  // again at the next use of another.
  for (std::size_t i = 0; i < mapped_sealed_.size() && mapped_sealed_.size() > kMappedSealedSegments;) {
    const std::int64_t old = mapped_sealed_[i];
    auto it = segments_.find(old);
    Status released = it != segments_.end() && it->second.segment ? it->second.segment->unmap() : Status{};
    if (released) {
      mapped_sealed_.erase(mapped_sealed_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      QV_LOG(Warn, kLogTarget, "[journal] keeping segment mapped after a failed sync: ",
             text::debug_quoted(it->second.path.string()), ": ", released.error().payload());
      ++i;
    }
  }
}

Result<JournalSegment*> JournalLog::segment_for(std::int64_t sequence) {
  if (sequence <= 0 || sequence >= next_sequence_ || segments_.empty()) return nullptr;
  auto it = segments_.upper_bound(sequence);
  if (it == segments_.begin()) return nullptr;
  --it;
  JournalSegment* seg = QV_TRY(opened(it->first, it->second));
  if (sequence >= seg->next_sequence()) return nullptr;
  return seg;
}

Result<JournalSegment*> JournalLog::last_segment() {
  QV_ASSERT(!segments_.empty(), "journal append without a segment");
  auto& [base, slot] = *segments_.rbegin();
  return opened(base, slot);
}

Status JournalLog::rollover(std::int64_t base) {
  fs::Path path = data_dir_ / journal::segment_file_name(base);
  JournalSegment seg = QV_TRY(JournalSegment::create(path, base,
                                                     std::min(settings_.segment_size, settings_.initial_segment_size),
                                                     settings_.segment_size, settings_.compress_level,
                                                     settings_.compress_type));
  const bool follows = !segments_.empty() && segments_.rbegin()->first != base;
  const std::int64_t previous = follows ? segments_.rbegin()->first : 0;
  segments_.insert_or_assign(base, Slot{std::move(path), std::move(seg)});
  // The segment it follows is sealed now, and mapped as one of those used last.
  if (follows) keep_mapped(previous);
  return {};
}

Status JournalLog::check_appendable() const {
  if (read_only_) return fail(Error::invalid_data("read-only journal cannot append records"));
  if (next_sequence_ < 1 || next_sequence_ > journal::kMaxSequence)
    return fail(Error::invalid_data("journal sequence overflow"));
  return {};
}

template <class Step>
Status JournalLog::in_last_segment(Step&& step) {
  QV_TRY(check_appendable());
  const std::int64_t sequence = next_sequence_;
  if (segments_.empty()) QV_TRY(rollover(sequence));
  JournalSegment* last = QV_TRY(last_segment());
  Status done = step(*last);
  if (!done) {
    if (done.error().kind() != ErrorKind::SegmentFull) return fail(std::move(done).error());
    // The full segment is made durable before the journal moves past it.
    QV_TRY(last->flush());
    QV_TRY(rollover(sequence));
    last = QV_TRY(last_segment());
    QV_TRY(step(*last));
  }
  return {};
}

Status JournalLog::make_room(std::uint64_t len) {
  return in_last_segment([len](JournalSegment& seg) { return seg.make_room(len); });
}

Result<std::int64_t> JournalLog::append(std::span<const std::uint8_t> record) {
  const std::int64_t sequence = next_sequence_;
  QV_TRY(in_last_segment([&](JournalSegment& seg) { return seg.append(sequence, record); }));
  next_sequence_ = sequence + 1;
  return sequence;
}

Result<std::optional<JournalRecordData>> JournalLog::read(std::int64_t sequence) {
  JournalSegment* seg = QV_TRY(segment_for(sequence));
  if (seg == nullptr) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> data = QV_TRY(seg->read(sequence));
  if (!data) return std::nullopt;
  return JournalRecordData{sequence, std::move(*data)};
}

Result<std::vector<JournalRecordData>> JournalLog::query(std::int64_t start, std::int64_t end) {
  std::vector<JournalRecordData> out;
  if (end < start) return out;
  end = std::min(end, next_sequence_ - 1);
  start = std::max<std::int64_t>(start, 1);
  if (end < start || segments_.empty()) return out;
  // The segment holding start, or the first one above it, and every later one up to end.
  auto it = segments_.upper_bound(start);
  if (it != segments_.begin()) --it;
  const JournalSegment::Visitor collect = [&](std::int64_t seq, std::span<const std::uint8_t> data) {
    out.emplace_back(seq, std::vector<std::uint8_t>(data.begin(), data.end()));
  };
  for (; it != segments_.end() && it->first <= end; ++it) {
    JournalSegment* seg = QV_TRY(opened(it->first, it->second));
    if (seg->next_sequence() <= start) continue;
    QV_TRY(seg->visit(start, end, collect));
  }
  return out;
}

Result<std::optional<std::int64_t>> JournalLog::first_present_from(std::int64_t from) {
  from = std::max<std::int64_t>(from, 1);
  if (from >= next_sequence_ || segments_.empty()) return std::nullopt;
  auto it = segments_.upper_bound(from);
  if (it != segments_.begin()) --it;
  for (; it != segments_.end(); ++it) {
    JournalSegment* seg = QV_TRY(opened(it->first, it->second));
    const std::int64_t at = std::max(from, seg->base_sequence());
    if (at < seg->next_sequence()) return at < next_sequence_ ? std::optional<std::int64_t>(at) : std::nullopt;
  }
  return std::nullopt;
}

Status JournalLog::flush() {
  for (auto& [base, slot] : segments_) {
    if (slot.segment) QV_TRY(slot.segment->flush());
  }
  if (dir_unsynced_ && !read_only_) {
    QV_TRY(fs::sync_dir(data_dir_));
    dir_unsynced_ = false;
  }
  return {};
}

Status JournalLog::mark_durable(std::int64_t sequence) {
  if (!durable_) return {};
  return durable_->advance(sequence);
}

// ---- OwedDatasets ----

bool OwedDatasets::owes(std::uint64_t identifier) const {
  return all || std::find(identifiers.begin(), identifiers.end(), identifier) != identifiers.end();
}

void OwedDatasets::note(std::uint64_t identifier) noexcept {
  // Most flush intervals see one dataset or a few: the last one noted is looked at first.
  if (all || (!identifiers.empty() && identifiers.back() == identifier) || owes(identifier)) return;
  try {
    identifiers.push_back(identifier);
  } catch (const std::bad_alloc&) {
    all = true;
  }
}

void OwedDatasets::merge(const OwedDatasets& other) noexcept {
  all = all || other.all;
  for (std::uint64_t id : other.identifiers) note(id);
}

// ---- Journal ----

Journal::Journal(Mode mode, SharedJournalLog log, fs::Path queue_dir, fs::Path shown_queue_dir)
    : mode_(mode),
      log_(std::move(log)),
      queue_dir_(std::move(queue_dir)),
      shown_queue_dir_(std::move(shown_queue_dir)),
      queue_slot_("journal queue mutex") {}

Journal::~Journal() = default;

std::shared_ptr<Journal> Journal::disabled() { return std::make_shared<Journal>(Mode::Disabled); }

Result<std::shared_ptr<Journal>> Journal::open(const fs::Path& data_dir, const StoreConfig& config,
                                               const fs::Path& shown_data_dir) {
  if (!config.enable_journal) return disabled();
  const fs::Path dir = journal::journal_dir(data_dir);
  // The directories' entries are durable before a watermark inside them can be.
  QV_TRY(fs::create_dir_all(dir / "data", fs::Sync::Durable));
  const fs::Path marker = dir / "meta";
  if (!fs::path_exists(marker)) QV_TRY(fs::write_file(marker, bytes::as_bytes(journal::kMarkerText)));
  // Segment and group state files a kill left before their rename; this store is the only
  // writer, and it has made nothing yet. One that cannot be removed is still never read.
  (void)fs::remove_temporaries(dir / "data");
  (void)fs::remove_temporaries(dir / "queue");
  JournalLog log = QV_TRY(JournalLog::open(dir / "data", JournalLog::Settings::of(config), false));
  auto shared = std::make_shared<Mutex<JournalLog>>("journal log mutex", std::move(log));
  const fs::Path shown_queue_dir =
      shown_data_dir.empty() ? fs::Path{} : journal::journal_dir(shown_data_dir) / "queue";
  return std::make_shared<Journal>(Mode::Writable, std::move(shared), dir / "queue", shown_queue_dir);
}

Result<std::shared_ptr<Journal>> Journal::open_read_only(const fs::Path& data_dir, const StoreConfig& config) {
  if (!config.enable_journal) return disabled();
  const fs::Path dir = journal::journal_dir(data_dir);
  if (!fs::path_exists(dir) || !fs::path_exists(dir / "data")) return std::make_shared<Journal>(Mode::ReadOnly);
  JournalLog log = QV_TRY(JournalLog::open(dir / "data", JournalLog::Settings::of(config), true));
  auto shared = std::make_shared<Mutex<JournalLog>>("journal log mutex", std::move(log));
  return std::make_shared<Journal>(Mode::ReadOnly, std::move(shared));
}

Result<JournalRoom> Journal::room_for(const JournalEntry& like) {
  if (mode_ == Mode::ReadOnly) return fail(Error::invalid_data("read-only journal cannot append records"));
  if (mode_ == Mode::Disabled) return JournalRoom{};
  TakenRoom room(room_);
  {
    auto log = QV_TRY(log_->lock());
    // Looked at under the log's lock, and a close waits for the room: a change either lands
    // before the final flush of a close or is refused before it is made.
    if (closed()) return fail(closed_error());
    QV_TRY(log->make_room(journal::record::encoded_size(like)));
  }
  room.keep();
  return JournalRoom(*this);
}

void Journal::give_back_room() noexcept { room_.give_back(); }

void Journal::RoomToken::take() {
  std::unique_lock lock(mu_);
  free_.wait(lock, [this] { return !taken_; });
  taken_ = true;
}

void Journal::RoomToken::give_back() noexcept {
  {
    std::lock_guard lock(mu_);
    taken_ = false;
  }
  free_.notify_one();
}

Result<std::optional<std::int64_t>> Journal::append(JournalRoom room, const JournalEntry& entry, Wake& wake) {
  return append_entry(std::move(room), entry, 0, wake);
}

Result<std::optional<std::int64_t>> Journal::append_entry(JournalRoom room, const JournalEntry& entry,
                                                          std::uint64_t dataset, Wake& wake) {
  if (mode_ == Mode::ReadOnly) return fail(Error::invalid_data("read-only journal cannot append records"));
  if (mode_ == Mode::Disabled) return std::nullopt;
  if (!room.held()) room = QV_TRY(room_for(entry));
  const std::vector<std::uint8_t> record = QV_TRY(journal::record::encode(entry));
  std::int64_t sequence;
  {
    auto log = QV_TRY(log_->lock());
    sequence = QV_TRY(log->append(record));
    if (dataset != 0) log->owed().note(dataset);
  }
  room.release();
  // The queue is taken out of its slot and woken with no journal lock held.
  std::shared_ptr<JournalQueue> queue;
  {
    auto slot = QV_TRY(queue_slot_.lock());
    queue = *slot;
  }
  if (queue) wake.absorb(queue->notify_all());
  return sequence;
}

Result<std::optional<std::int64_t>> Journal::append(const JournalEntry& entry, Wake& wake) {
  return append(JournalRoom{}, entry, wake);
}

Result<std::optional<std::int64_t>> Journal::append(const JournalEntry& entry) {
  Wake wake;
  auto sequence = append(entry, wake);
  wake.run();
  return sequence;
}

Result<std::optional<std::int64_t>> Journal::record_create_dataset(JournalRoom room, std::uint64_t identifier,
                                                                   const DataSetKey& key,
                                                                   std::span<const std::uint8_t> metadata,
                                                                   Wake& wake) {
  return append(std::move(room), JournalEntry::create_dataset(identifier, key, {metadata.begin(), metadata.end()}),
                wake);
}

Result<std::optional<std::int64_t>> Journal::record_drop_dataset(JournalRoom room, std::uint64_t identifier,
                                                                 const DataSetKey& key,
                                                                 std::span<const std::uint8_t> metadata, Wake& wake) {
  return append(std::move(room), JournalEntry::drop_dataset(identifier, key, {metadata.begin(), metadata.end()}),
                wake);
}

Result<JournalRoom> Journal::make_room(Change change, std::uint64_t identifier) {
  // Records of one kind are as long whatever the index entry holds.
  switch (change) {
    case Change::Write:
      return room_for(JournalEntry::write(identifier, {}));
    case Change::Delete:
      return room_for(JournalEntry::remove(identifier, {}));
    case Change::Append:
      return room_for(JournalEntry::append(identifier, {}, 0, 0));
  }
  internal_failure("journal change of an unknown kind");
}

Status Journal::on_write(JournalRoom room, std::uint64_t identifier, const IndexEntry& entry, Wake& wake) {
  QV_TRY(append_entry(std::move(room), JournalEntry::write(identifier, entry), identifier, wake));
  return {};
}

Status Journal::on_delete(JournalRoom room, std::uint64_t identifier, const IndexEntry& entry, Wake& wake) {
  QV_TRY(append_entry(std::move(room), JournalEntry::remove(identifier, entry), identifier, wake));
  return {};
}

Status Journal::on_append(JournalRoom room, std::uint64_t identifier, const IndexEntry& entry,
                          std::uint32_t previous_len, std::uint32_t appended_len, Wake& wake) {
  QV_TRY(append_entry(std::move(room), JournalEntry::append(identifier, entry, previous_len, appended_len), identifier,
                      wake));
  return {};
}

Result<std::optional<std::int64_t>> Journal::latest_sequence() {
  if (mode_ == Mode::Disabled) return fail(disabled_error());
  if (!log_) return std::nullopt;
  auto log = QV_TRY(log_->lock());
  return log->latest_sequence();
}

Result<std::optional<JournalRecordData>> Journal::read(std::int64_t sequence) {
  if (mode_ == Mode::Disabled) return fail(disabled_error());
  if (!log_) return std::nullopt;
  auto log = QV_TRY(log_->lock());
  return log->read(sequence);
}

Result<std::vector<JournalRecordData>> Journal::query(std::int64_t start, std::int64_t end) {
  if (mode_ == Mode::Disabled) return fail(disabled_error());
  if (!log_) return std::vector<JournalRecordData>{};
  auto log = QV_TRY(log_->lock());
  return log->query(start, end);
}

Status Journal::flush() {
  if (mode_ != Mode::Writable || closed()) return {};
  QV_TRY(sync_log());
  auto slot = QV_TRY(queue_slot_.lock());
  if (*slot) QV_TRY((*slot)->flush_groups());
  return {};
}

Status Journal::make_durable() {
  if (mode_ != Mode::Writable || closed()) return {};
  return sync_log();
}

// What the watermark will cover and the datasets it owes are taken under the log's lock; the
// datasets are synced with it released, since a writer holds its dataset's lock while it
// appends here. Records appended meanwhile reach the disk with the segments but stay above
// the watermark until a later flush has synced their datasets.
Status Journal::sync_log() {
  std::int64_t covered = 0;
  OwedDatasets owed;
  {
    auto log = QV_TRY(log_->lock());
    covered = log->next_sequence() - 1;
    std::swap(owed, log->owed());
  }
  if (!owed.empty() && sync_datasets_) {
    if (Status synced = sync_datasets_(owed); !synced) {
      if (auto log = log_->lock()) (*log)->owed().merge(owed);
      return synced;
    }
  }
  auto log = QV_TRY(log_->lock());
  QV_TRY(log->flush());
  return log->mark_durable(covered);
}

Result<std::shared_ptr<JournalQueue>> Journal::open_queue(std::shared_ptr<const void> writer_token) {
  if (mode_ == Mode::ReadOnly) return fail(Error::invalid_data("journal queue is not available in read-only store"));
  if (mode_ == Mode::Disabled) return fail(disabled_error());
  auto slot = QV_TRY(queue_slot_.lock());
  if (closed()) return fail(closed_error());
  if (!*slot) {
    *slot = std::make_shared<JournalQueue>(log_, queue_dir_, system_unix_clock(), shown_queue_dir_);
    (*slot)->hold_writer_lock(std::move(writer_token));
  }
  return *slot;
}

Status Journal::close() {
  if (mode_ != Mode::Writable) return {};
  Status flushed = flush();
  std::shared_ptr<JournalQueue> queue;
  {
    // A change that holds room is waited for: its record lands before the final flush below.
    TakenRoom room(room_);
    auto slot = QV_TRY(queue_slot_.lock());
    // Set under the slot: no queue can be opened after this.
    if (closed_.exchange(true)) return {};
    queue = *slot;
  }
  Status queue_closed = queue ? queue->close() : Status{};
  // Whatever was appended between the flush above and the flag reaches the disk too.
  QV_TRY(sync_log());
  QV_TRY(std::move(flushed));
  return queue_closed;
}

}  // namespace quelvane
