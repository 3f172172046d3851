// The registry of open datasets and the store's operations on datasets: create, open (by key
// or by identifier), drop, inspect and list.
#include "registry.h"


#include <algorithm>
#include <cerrno>
#include <limits>

#include "../meta.h"
#include "../util/log.h"
#include "../util/text.h"
#include "store.h"

namespace quelvane {

namespace {

constexpr const char* kLogTarget = "quelvane::store";

Status check_part(std::string_view what, std::string_view part) {
  if (store::valid_key_part(part)) return {};
  return fail(Error::invalid_data(
      text::cat(what, ", must match ^[0-9A-Za-z_-]+$ and be at most ", store::kMaxKeyPartLen, " bytes")));
}

[[noreturn]] void registry_poisoned() { internal_failure("open datasets lock poisoned"); }

Error duplicate(std::uint64_t identifier, const DataSetKey& first, const DataSetKey& second) {
  return Error::invalid_data(
      text::cat("duplicate dataset identifier ", identifier, ": ", first.debug(), " and ", second.debug()));
}

// Takes dir off its name in one step, so that no listing ever shows it half removed, then
// removes it. What a failed or killed removal leaves under the staging name goes at the next
// sweep; the name is free either way.
Status remove_dataset_dir(const fs::Path& dir) {
  const fs::Path away = dir.parent_path() / store::kDroppingName;
  QV_TRY(fs::remove_tree(away));
  QV_TRY(fs::rename(dir, away));
  // The drop is durable when it returns; the removal below need not be: a dropping directory a
  // power loss brings back is swept.
  QV_TRY(fs::sync_dir(dir.parent_path()));
  store::step_done("drop: moved away");
  if (auto removed = fs::remove_tree(away); !removed)
    QV_LOG(Warn, kLogTarget, "[store] cannot remove ", away.string(), ": ", removed.error().display());
  store::step_done("drop: removed");
  return {};
}

Error dropped(const DataSetKey& key) {
  return Error::not_found(text::cat("dataset ", key.name, "/", key.dataset_type, " was dropped"));
}

// Whether dir still holds the dataset of identifier. Identifiers are never given out twice, so
// a dataset that was dropped, and any other made under its name since, fails the test.
Status still_current(const fs::Path& dir, const DataSetKey& key, std::uint64_t identifier) {
  auto now = store::read_identifier_file(dir);
  if (now && *now == identifier) return {};
  if (!now && now.error().kind() != ErrorKind::NotFound && now.error().kind() != ErrorKind::InvalidData)
    return fail(std::move(now).error());
  return fail(dropped(key));
}

// A directory at a dataset's name that is not a whole dataset: left by a create or drop of an
// earlier version cut short, or made by hand. Nothing can open it, so it may go.
Result<bool> holds_leftovers(const fs::Path& dir) {
  if (!QV_TRY(fs::exists(dir)) || !QV_TRY(fs::is_dir(dir))) return false;
  return !QV_TRY(fs::exists(dir / "meta")) || !QV_TRY(fs::exists(dir / store::kIdentifierFileName));
}

}  // namespace

// ---- key rule ----

namespace store {

bool valid_key_part(std::string_view part) {
  if (part.empty() || part.size() > kMaxKeyPartLen) return false;
  return std::all_of(part.begin(), part.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
  });
}

Status check_name(std::string_view name) { return check_part("dataset name", name); }

Status check_key(const DataSetKey& key) {
  QV_TRY(check_name(key.name));
  return check_part("dataset type", key.dataset_type);
}

}  // namespace store

// ---- registry, callback, context ----

std::optional<Dataset> OpenDatasets::find(const DataSetKey& key, bool* poisoned) const {
  auto found = read([&](const Map& m) -> std::optional<Dataset> {
    auto it = m.find(key);
    if (it == m.end()) return std::nullopt;
    return it->second;
  });
  if (poisoned != nullptr) *poisoned = !found.has_value();
  return found ? *found : std::nullopt;
}

std::optional<std::vector<std::pair<DataSetKey, Dataset>>> OpenDatasets::snapshot() const {
  return read([](const Map& m) { return std::vector<std::pair<DataSetKey, Dataset>>(m.begin(), m.end()); });
}

void store::remove_open_dataset(const std::weak_ptr<OpenDatasets>& registry, const DataSetKey& key,
                                const Dataset& closing) {
  std::shared_ptr<OpenDatasets> reg = registry.lock();
  if (!reg) return;
  std::optional<Dataset> removed;
  reg->write([&](OpenDatasets::Map& m) {
    auto it = m.find(key);
    if (it != m.end() && it->second.same_as(closing)) {
      removed = std::move(it->second);
      m.erase(it);
    }
    return true;
  });
}

Status store::sync_owed_datasets(const std::weak_ptr<OpenDatasets>& registry, const OwedDatasets& owed) {
  std::shared_ptr<OpenDatasets> reg = registry.lock();
  if (!reg) return {};
  auto snapshot = reg->snapshot();
  if (!snapshot) return fail(Error::invalid_data("open datasets lock poisoned"));
  reg.reset();
  Status first;
  for (const auto& [key, ds] : *snapshot) {
    if (!owed.owes(ds.identifier())) continue;
    if (Status st = ds.flush_quietly(); !st && first) first = std::move(st);
  }
  return first;
}

void RegistryCloseCallback::on_close(const DataSetKey& key, const Dataset& closing) {
  store::remove_open_dataset(registry_, key, closing);
  WriterLockToken released;
  std::lock_guard lock(token_mutex_);
  released = std::move(writer_lock_);
}

Result<DatasetContext> store::make_context(const ContextParts& parts, bool enable_journal) {
  DatasetContext ctx;
  if (enable_journal && !parts.read_only) ctx.journal_hook = parts.journal;
  if (!parts.read_only) {
    if (!parts.dirty_queue) return fail(Error::invalid_data("bg_tasks not initialised"));
    ctx.dirty_queue = parts.dirty_queue;
  }
  ctx.block_cache = parts.block_cache;
  ctx.on_close = std::make_shared<RegistryCloseCallback>(parts.registry, parts.read_only ? nullptr : parts.writer_lock);
  ctx.read_only = parts.read_only;
  return ctx;
}

// ---- the store's dataset operations ----

std::optional<Dataset> Store::registered(const DataSetKey& key) const {
  bool poisoned = false;
  std::optional<Dataset> ds = open_datasets_->find(key, &poisoned);
  if (poisoned) registry_poisoned();
  return ds;
}

std::optional<Dataset> Store::registered_current(const DataSetKey& key) const {
  std::optional<Dataset> ds = registered(key);
  if (ds && read_only_ && !still_current(dataset_dir(key), key, ds->identifier())) return std::nullopt;
  return ds;
}

void Store::register_dataset(const DataSetKey& key, const Dataset& ds) {
  std::optional<Dataset> previous;  // released after the lock
  auto done = open_datasets_->write([&](OpenDatasets::Map& m) {
    auto [it, inserted] = m.try_emplace(key, ds);
    if (!inserted) previous = std::exchange(it->second, ds);
    return true;
  });
  if (!done) registry_poisoned();
}

bool Store::journalled(bool dataset_enable_journal) const {
  return dataset_enable_journal && journal_->mode() != Journal::Mode::Disabled;
}

Status Store::attach(Dataset& ds, bool enable_journal) {
  store::ContextParts parts{
      .block_cache = block_cache_,
      .journal = journal_->mode() == Journal::Mode::Disabled ? nullptr : journal_,
      .dirty_queue = bg_tasks_ ? bg_tasks_->dirty_queue() : nullptr,
      .registry = open_datasets_,
      .writer_lock = writer_lock_,
      .read_only = read_only_,
  };
  return ds.attach_context(QV_TRY(store::make_context(parts, enable_journal)));
}

Error Store::above_max(const DataSetKey& key, std::uint64_t identifier) const {
  return Error::invalid_data(text::cat("dataset ", key.debug(), " identifier ", identifier,
                                       " exceeds authoritative max_identifier ", max_identifier_));
}

Result<std::uint64_t> Store::checked_identifier(const DataSetKey& key, const fs::Path& dir) {
  const std::uint64_t id = QV_TRY(store::read_identifier_file(dir, shown_dir(key)));
  if (id > max_identifier_ && read_only_) {
    // A live writer may have created the dataset since this store read the file.
    if (auto now = store::read_max_identifier(io_dir_); now) max_identifier_ = std::max(max_identifier_, *now);
  }
  if (id > max_identifier_ && !read_only_) {
    // A writer that did not make max_identifier durable before putting the dataset in place,
    // followed by a power loss, leaves it behind a dataset on disk: raised, the next create
    // cannot hand that identifier out again and the dataset stays reachable.
    QV_LOG(Warn, kLogTarget, "[store] dataset ", key.debug(), " identifier ", id, " is above max_identifier ",
           max_identifier_, "; max_identifier raised to it");
    QV_TRY(store::write_max_identifier(io_dir_, id));
    max_identifier_ = id;
  }
  if (id > max_identifier_) return fail(above_max(key, id));
  return id;
}

Result<Dataset> Store::open_unregistered(const DataSetKey& key, const fs::Path& dir, std::uint64_t identifier) {
  const fs::Path shown = shown_dir(key);
  auto opened = read_only_ ? Dataset::open_read_only(key, dir, shown) : Dataset::open(key, dir, shown);
  // A live writer elsewhere that drops the dataset in the middle of the open takes its files
  // away under it: the failure then reads as the drop it is.
  if (!opened && read_only_) QV_TRY(still_current(dir, key, identifier));
  Dataset ds = QV_TRY(std::move(opened));
  QV_TRY(ds.set_identifier(identifier));
  // The identifier was read before the open, and is read again here: the same both times, the
  // open read one dataset's files. From here on each later look does the same.
  QV_TRY(ds.guard_generation([dir = fs::Path(dir.native()), key, identifier] {
    return still_current(dir, key, identifier);
  }));
  QV_TRY(attach(ds, ds.enable_journal()));
  return ds;
}

Result<Dataset> Store::create_dataset(std::string_view name, std::string_view dataset_type,
                                      std::optional<DataSetConfigBuilder> options) {
  if (read_only_) return fail(Error::invalid_data("read-only store cannot create dataset"));
  const DataSetKey key = key_of(name, dataset_type);
  if (key == store::kJournalKey) return fail(Error::invalid_data("journal dataset is reserved"));
  QV_TRY(store::check_key(key));
  if (registered(key))
    return fail(Error::already_exists(text::cat("dataset ", key.name, "/", key.dataset_type, " is already open")));
  const fs::Path dir = dataset_dir(key);
  // A meta without identifier was never handed out (the identifier comes with the dataset's
  // files), so only the two together are a dataset; anything else at the name is replaced.
  if (fs::path_exists(dir / "meta") && QV_TRY(fs::exists(dir / store::kIdentifierFileName)))
    return fail(Error::already_exists(text::cat("dataset already exists at ", shown_dir(key).string())));

  if (!options) {
    DataSetConfigBuilder b(false);
    b.data_segment_size = config_.data_segment_size;
    b.index_segment_size = config_.index_segment_size;
    b.initial_data_segment_size = config_.initial_data_segment_size;
    b.initial_index_segment_size = config_.initial_index_segment_size;
    b.set_compress_level(config_.compress_level);
    b.compress_type = config_.compress_type;
    b.retention_window = 0;
    b.set_index_continuous(false);
    options = b;
  }
  const DataSetConfig resolved = QV_TRY(options->build());
  if (max_identifier_ == std::numeric_limits<std::uint64_t>::max())
    return fail(Error::invalid_data("dataset identifier overflow"));
  const std::uint64_t id = max_identifier_ + 1;
  const bool journal = journalled(resolved.enable_journal);
  if (journal) QV_TRY(journal::record::validate_dataset_fields(id, key, meta::kFileSize - meta::kPrefixSize));
  // A create whose record the journal cannot take is refused before anything of it is made.
  JournalRoom room;
  if (journal) {
    room = QV_TRY(journal_->room_for(JournalEntry::create_dataset(
        id, key, std::vector<std::uint8_t>(meta::kFileSize - meta::kPrefixSize))));
  }

  // From the rewrite of max_identifier on, the identifier is used up whatever follows.
  QV_TRY(store::write_max_identifier(io_dir_, id));
  max_identifier_ = id;
  store::step_done("create: identifier used up");
  if (QV_TRY(fs::exists(dir))) {
    if (!QV_TRY(fs::is_dir(dir))) return fail(Error::os(EEXIST));
    QV_LOG(Warn, kLogTarget, "[create] removing what an earlier dataset left at ", shown_dir(key).string());
    QV_TRY(remove_dataset_dir(dir));
  }
  // Built whole under a name no listing shows, then put in place in one step.
  const fs::Path staging = dir.parent_path() / store::kCreatingName;
  QV_TRY(fs::remove_tree(staging));
  // A name's directory made here has its entry in the data directory synced.
  QV_TRY(fs::create_dir_all(dir.parent_path(), fs::Sync::Durable));
  {
    Dataset built = QV_TRY(Dataset::create(key, staging, resolved));
    QV_TRY(built.close());
  }
  // The staged files' entries; the identifier's durable write below syncs the staging
  // directory's own.
  for (const char* sub : {"data", "index"}) {
    if (QV_TRY(fs::exists(staging / sub))) QV_TRY(fs::sync_dir(staging / sub));
  }
  store::step_done("create: files staged");
  QV_TRY(store::write_identifier_file(staging / store::kIdentifierFileName, id));
  store::step_done("create: identifier staged");
  QV_TRY(fs::rename(staging, dir));
  QV_TRY(fs::sync_dir(dir.parent_path()));
  store::step_done("create: in place");
  Dataset ds = QV_TRY(open_unregistered(key, dir, id));
  register_dataset(key, ds);
  identifiers_[id] = key;
  const std::vector<std::uint8_t> metadata = QV_TRY(meta::read_meta_payload(dir / "meta"));
  if (journal) {
    Wake wake;
    auto recorded = journal_->record_create_dataset(std::move(room), id, key, metadata, wake);
    wake.run();
    if (!recorded) return fail(std::move(recorded).error());
  }
  return ds;
}

Result<Dataset> Store::open_dataset(std::string_view name, std::string_view dataset_type) {
  const DataSetKey key = key_of(name, dataset_type);
  if (key == store::kJournalKey) return fail(Error::not_found("journal is not exposed as a dataset handle"));
  QV_TRY(store::check_key(key));
  if (auto ds = registered_current(key)) return *ds;
  return open_and_register(key);
}

Result<Dataset> Store::open_and_register(const DataSetKey& key) {
  const fs::Path dir = dataset_dir(key);
  // A writer elsewhere that replaced the dataset during the open is met by a second open; a
  // third attempt is not made for a name replaced over and over.
  for (int attempt = 0;; ++attempt) {
    const std::uint64_t id = QV_TRY(checked_identifier(key, dir));
    // Two open datasets under one identifier would share each other's cached blocks, so every
    // path that registers a dataset checks and records its identifier.
    if (auto it = identifiers_.find(id); it != identifiers_.end() && it->second != key)
      return fail(duplicate(id, it->second, key));
    auto opened = open_unregistered(key, dir, id);
    if (!opened && attempt == 0 && opened.error() == dropped(key)) continue;
    Dataset ds = QV_TRY(std::move(opened));
    register_dataset(key, ds);
    // An earlier generation's identifier no longer leads to this name.
    std::erase_if(identifiers_, [&](const auto& entry) { return entry.second == key && entry.first != id; });
    identifiers_[id] = key;
    return ds;
  }
}

Result<Dataset> Store::open_dataset_by_identifier(std::uint64_t identifier) {
  if (identifier == 0) return fail(Error::invalid_data("dataset identifier must be > 0"));
  if (auto it = identifiers_.find(identifier); it != identifiers_.end()) {
    const DataSetKey key = it->second;
    Dataset ds = QV_TRY(open_dataset(key.name, key.dataset_type));
    // A read-only store's dataset may have been dropped and made again under the same name.
    if (ds.identifier() == identifier) return ds;
    identifiers_.erase(identifier);
  }
  std::optional<DataSetKey> found;
  for (const store::ScannedDataset& d : QV_TRY(store::scan_datasets(io_dir_, !read_only_))) {
    if (!fs::path_exists(d.dir / "meta") || !fs::path_exists(d.dir / store::kIdentifierFileName)) continue;
    DataSetKey key{d.name, d.dataset_type};
    // A bad identifier anywhere ends the walk, even in a directory not sought.
    const std::uint64_t id = QV_TRY(checked_identifier(key, d.dir));
    if (id != identifier) continue;
    if (found) return fail(duplicate(identifier, *found, key));
    found = std::move(key);
  }
  if (!found) return fail(Error::not_found(text::cat("dataset identifier ", identifier)));
  identifiers_[identifier] = *found;
  return open_dataset(found->name, found->dataset_type);
}

Status Store::drop_dataset(std::string_view name, std::string_view dataset_type) {
  if (read_only_) return fail(Error::invalid_data("read-only store cannot drop dataset"));
  const DataSetKey key = key_of(name, dataset_type);
  if (key == store::kJournalKey) return fail(Error::invalid_data("journal dataset is reserved"));
  QV_TRY(store::check_key(key));
  const fs::Path dir = dataset_dir(key);
  if (!registered(key) && QV_TRY(holds_leftovers(dir))) {
    QV_LOG(Warn, kLogTarget, "[store] dropping a directory that holds no whole dataset: ", shown_dir(key).string());
    QV_TRY(remove_dataset_dir(dir));
    std::erase_if(identifiers_, [&](const auto& entry) { return entry.second == key; });
    QV_LOG(Info, kLogTarget, "[store] dropped dataset: ", key.name, "/", key.dataset_type);
    return {};
  }
  std::uint64_t id = 0;
  std::vector<std::uint8_t> metadata;
  bool journal = false;
  {
    Dataset ds = QV_TRY(open_dataset(name, dataset_type));
    id = ds.identifier();
    metadata = QV_TRY(meta::read_meta_payload(dir / "meta"));
    journal = journalled(ds.enable_journal());
    if (journal) QV_TRY(journal::record::validate_dataset_fields(id, key, metadata.size()));
    QV_TRY(ds.close());
  }
  store::step_done("drop: closed");
  // Made once the dataset's own mutex is let go, as a writer of it holds that mutex while it
  // waits for room. A drop whose record the journal cannot take leaves the dataset in place.
  JournalRoom room;
  if (journal) room = QV_TRY(journal_->room_for(JournalEntry::drop_dataset(id, key, metadata)));
  QV_TRY(remove_dataset_dir(dir));
  std::erase_if(identifiers_, [&](const auto& entry) { return entry.second == key; });
  if (journal) {
    Wake wake;
    auto recorded = journal_->record_drop_dataset(std::move(room), id, key, metadata, wake);
    wake.run();
    if (!recorded) return fail(std::move(recorded).error());
  }
  QV_LOG(Info, kLogTarget, "[store] dropped dataset: ", key.name, "/", key.dataset_type);
  return {};
}

Result<DataSetInspectResult> Store::inspect_dataset(std::string_view name, std::string_view dataset_type) {
  const DataSetKey key = key_of(name, dataset_type);
  QV_TRY(store::check_key(key));
  // The handle is taken under the registry's lock and inspected after it, so no dataset's
  // mutex is ever waited for while the registry is held.
  if (auto ds = registered_current(key)) return ds->inspect();
  Dataset ds = QV_TRY(open_and_register(key));
  return ds.inspect();
}

Result<std::vector<std::string>> Store::get_dataset_names() {
  std::vector<std::string> names;
  for (store::ScannedDataset& d : QV_TRY(store::scan_datasets(io_dir_, !read_only_)))
    if (names.empty() || names.back() != d.name) names.push_back(std::move(d.name));
  return names;
}

Result<std::vector<std::string>> Store::get_dataset_types(std::string_view name) {
  QV_TRY(store::check_name(name));
  return store::scan_types(io_dir_, name, !read_only_);
}

// ---- journal and background forwards ----

Result<std::optional<JournalRecordData>> Store::journal_read(std::int64_t sequence) { return journal_->read(sequence); }

Result<std::vector<JournalRecordData>> Store::journal_query(std::int64_t start, std::int64_t end) {
  return journal_->query(start, end);
}

Result<std::optional<std::int64_t>> Store::journal_latest_sequence() { return journal_->latest_sequence(); }

Result<std::shared_ptr<JournalQueue>> Store::open_journal_queue() {
  if (read_only_) return fail(Error::invalid_data("read-only store cannot open journal queue"));
  return journal_->open_queue(writer_lock_);
}

Status Store::close_journal() { return journal_ ? journal_->close() : Status{}; }

Result<Duration> Store::next_background_delay() {
  if (read_only_) return fail(Error::invalid_data("read-only store has no background tasks"));
  if (!bg_tasks_) return fail(Error::invalid_data("bg_tasks not initialised"));
  return bg_tasks_->next_delay_snapshot();
}

Result<bg::Tick> Store::tick_background_tasks() {
  if (read_only_) return fail(Error::invalid_data("read-only store has no background tasks"));
  if (!bg_tasks_) return fail(Error::invalid_data("bg_tasks not initialised"));
  return bg_tasks_->run_due_tasks();
}

}  // namespace quelvane
