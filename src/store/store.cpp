// The store's data directory: the writer lock, the identifier files, the scan of the dataset
// directories, and opening and tearing down a store.
#include "store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <limits>
#include <string_view>
#include <system_error>

#include "../util/log.h"
#include "../util/text.h"

namespace quelvane {

namespace {

constexpr const char* kLogTarget = "quelvane::store";

// The Unicode White_Space characters, as UTF-8.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85",      // U+0085
    "\xC2\xA0",      // U+00A0
    "\xE1\x9A\x80",  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000-U+200A
    "\xE2\x80\xA8",  // U+2028
    "\xE2\x80\xA9",  // U+2029
    "\xE2\x80\xAF",  // U+202F
    "\xE2\x81\x9F",  // U+205F
    "\xE3\x80\x80",  // U+3000
};

std::string_view trim_white_space(std::string_view s) {
  for (bool again = true; again;) {
    again = false;
    for (std::string_view ws : kWhiteSpace) {
      if (s.starts_with(ws)) {
        s.remove_prefix(ws.size());
        again = true;
      }
      if (s.ends_with(ws)) {
        s.remove_suffix(ws.size());
        again = true;
      }
    }
  }
  return s;
}

// A small whole file, or none when it is missing. Anything but a regular file (a FIFO, a
// device) is refused, and the read is bounded, so a hostile file can neither hang the caller nor
// exhaust its memory.
Result<std::optional<std::string>> read_small_file(const fs::Path& path) {
  auto bytes = fs::read_bounded(path, store::kMaxIdentifierFileLen + 1);
  if (!bytes) {
    if (bytes.error().os_code() == ENOENT) return std::optional<std::string>();
    return fail(std::move(bytes).error());
  }
  if (bytes->size() > store::kMaxIdentifierFileLen) return fail(Error::io(path.string() + " is too large"));
  return std::optional<std::string>(std::string(bytes->begin(), bytes->end()));
}

Result<std::optional<std::string>> read_text_file(const fs::Path& path) {
  auto text = QV_TRY(read_small_file(path));
  if (text && text::lossy_utf8(*text) != *text) return fail(Error::io("stream did not contain valid UTF-8"));
  return text;
}

std::vector<std::uint8_t> digits_of(std::uint64_t value) {
  const std::string s = text::cat(value);
  return {s.begin(), s.end()};
}

// The entries of dir that are directories (following symbolic links) named by the key rule.
// An entry that vanished or cannot be looked at is not a dataset directory. With sweep, the
// staging names among them are removed.
Result<std::vector<std::string>> key_dirs(const fs::Path& dir, bool sweep) {
  std::vector<std::string> names = QV_TRY(fs::list_dir(dir));
  std::erase_if(names, [&](const std::string& n) {
    if (sweep && (n == store::kCreatingName || n == store::kDroppingName)) {
      // Left by a create or drop a kill cut short; a failure only delays this to the next scan.
      if (auto removed = fs::remove_tree(dir / n); !removed)
        QV_LOG(Warn, kLogTarget, "[store] cannot remove ", (dir / n).string(), ": ", removed.error().display());
      return true;
    }
    if (!store::valid_key_part(n)) return true;
    auto d = fs::is_dir(dir / n);
    return !d || !*d;
  });
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

namespace store {

Result<std::optional<fs::FileDescriptor>> try_lock_dir(const fs::Path& data_dir) {
  const fs::Path path = data_dir / kLockFileName;
  QV_TRY(fs::check_path(path));
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_errno();
  fs::FileDescriptor owned(fd);
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EWOULDBLOCK) return std::optional<fs::FileDescriptor>();
    return fail_errno();
  }
  return std::optional<fs::FileDescriptor>(std::move(owned));
}

Result<std::uint64_t> parse_identifier(std::string_view label, std::string_view text, bool zero_allowed) {
  const std::string_view digits = trim_white_space(text);
  const bool decimal =
      !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!decimal) return fail(Error::invalid_data(text::cat(label, " must be a decimal u64 string")));
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : digits) {
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - d) / 10)
      return fail(Error::invalid_data(text::cat(label, " exceeds maximum u64 identifier value")));
    value = value * 10 + d;
  }
  if (value == 0 && !zero_allowed) return fail(Error::invalid_data(text::cat(label, " must be > 0")));
  return value;
}

Result<std::uint64_t> read_max_identifier(const fs::Path& data_dir) {
  const auto text = QV_TRY(read_text_file(data_dir / kMaxIdentifierFileName));
  if (!text) return std::uint64_t{0};
  return parse_identifier(kMaxIdentifierFileName, *text, true);
}

Result<std::uint64_t> read_or_mend_max_identifier(const fs::Path& data_dir, bool writable) {
  const auto text = QV_TRY(read_text_file(data_dir / kMaxIdentifierFileName));
  if (!text || !trim_white_space(*text).empty()) return read_max_identifier(data_dir);
  std::uint64_t largest = 0;
  for (const ScannedDataset& d : QV_TRY(scan_datasets(data_dir, false))) {
    // A dataset whose identifier cannot be read is reported when it is opened.
    if (auto id = read_identifier_file(d.dir); id) largest = std::max(largest, *id);
  }
  QV_LOG(Warn, kLogTarget, "[store] ", (data_dir / kMaxIdentifierFileName).string(),
         " is empty; mended from the datasets' identifiers as ", largest);
  if (writable) QV_TRY(write_max_identifier(data_dir, largest));
  return largest;
}

Result<std::uint64_t> read_identifier_file(const fs::Path& dataset_dir, const fs::Path& shown_dir) {
  const auto text = QV_TRY(read_text_file(dataset_dir / kIdentifierFileName));
  if (!text) {
    const fs::Path shown = (shown_dir.empty() ? dataset_dir : shown_dir) / kIdentifierFileName;
    return fail(Error::not_found(text::cat("dataset identifier not found at ", shown.string())));
  }
  return parse_identifier(kIdentifierFileName, *text, false);
}

Status write_identifier_file(const fs::Path& path, std::uint64_t value) {
  return fs::write_file_whole(path, digits_of(value), fs::Sync::Durable);
}

Status write_max_identifier(const fs::Path& data_dir, std::uint64_t value) {
  const fs::Path path = data_dir / kMaxIdentifierFileName;
  const std::vector<std::uint8_t> digits = digits_of(value);
  auto old = fs::open(path, fs::OpenMode::ReadWrite);
  if (!old) {
    if (old.error().os_code() != ENOENT) return fail(std::move(old).error());
    return fs::overwrite_file(path, digits, fs::Sync::Durable);
  }
  // Digits written over a longer old text would leave its tail after them ("43" over "   42"
  // reads "43 42") until the cut: spaces cover the tail instead.
  std::vector<std::uint8_t> padded = digits;
  padded.resize(std::max<std::uint64_t>(digits.size(), QV_TRY(fs::length(*old))), ' ');
  // Durable before the dataset it numbers is put in place: a power loss never leaves a dataset
  // whose identifier lies above it. The cut after may be lost: spaces read as nothing.
  QV_TRY(fs::overwrite_file(path, padded, fs::Sync::Durable));
  step_done("max_identifier: padded");
  if (padded.size() == digits.size()) return {};
  return fs::set_length(*old, digits.size());
}

namespace {
std::atomic<StepObserver> step_observer{nullptr};
}  // namespace

void set_step_observer(StepObserver observer) { step_observer.store(observer); }

void step_done(std::string_view step) {
  if (StepObserver observer = step_observer.load(std::memory_order_relaxed)) observer(step);
}

Result<std::vector<ScannedDataset>> scan_datasets(const fs::Path& data_dir, bool sweep) {
  std::vector<ScannedDataset> out;
  for (const std::string& name : QV_TRY(key_dirs(data_dir, false))) {
    for (std::string& type : QV_TRY(key_dirs(data_dir / name, sweep))) {
      fs::Path dir = data_dir / name / type;
      out.push_back({name, std::move(type), std::move(dir)});
    }
  }
  return out;
}

Result<std::vector<std::string>> scan_types(const fs::Path& data_dir, std::string_view name, bool sweep) {
  const fs::Path dir = data_dir / name;
  if (auto d = fs::is_dir(dir); d && *d) return key_dirs(dir, sweep);
  // The scan skips a name that is no directory, but fails when the data directory itself is not one.
  if (!QV_TRY(fs::is_dir(data_dir))) return fail(Error::os(ENOTDIR));
  return std::vector<std::string>{};
}

}  // namespace store

// ---- open and teardown ----

Result<std::unique_ptr<Store>> Store::open(fs::Path data_dir, StoreConfig config) {
  return open(std::move(data_dir), std::move(config), bg::Clocks::system());
}

Result<std::unique_ptr<Store>> Store::open(fs::Path data_dir, StoreConfig config, bg::Clocks clocks) {
  QV_TRY(config.validate());
  QV_TRY(fs::check_path(data_dir));
  if (data_dir.empty()) return fail(Error::os(ENOENT));

  // Every failure from here on releases what was taken through the destructor, the lock last.
  std::unique_ptr<Store> s(new Store());
  std::error_code ec;
  s->io_dir_ = std::filesystem::absolute(data_dir, ec);
  if (ec) return fail(Error::os(ec.value()));
  s->data_dir_ = std::move(data_dir);
  s->config_ = config;

  if (config.read_only != true) {
    QV_TRY(fs::create_dir_all(s->io_dir_, fs::Sync::Durable));
    auto fd = QV_TRY(store::try_lock_dir(s->io_dir_));
    if (fd) {
      s->writer_lock_ = std::make_shared<const WriterLock>(std::move(*fd));
    } else if (config.read_only == false) {
      return fail(Error::invalid_data("store is already locked for writing"));
    }
  }
  s->read_only_ = s->writer_lock_ == nullptr;

  s->block_cache_ = std::make_shared<BlockCache>(config.cache_max_memory);
  std::shared_ptr<DirtyQueue> dirty = s->read_only_ ? nullptr : std::make_shared<DirtyQueue>();
  s->journal_ = s->read_only_ ? QV_TRY(Journal::open_read_only(s->io_dir_, config))
                              : QV_TRY(Journal::open(s->io_dir_, config, s->data_dir_));
  s->max_identifier_ = QV_TRY(store::read_or_mend_max_identifier(s->io_dir_, !s->read_only_));
  s->open_datasets_ = std::make_shared<OpenDatasets>();
  s->journal_->sync_datasets_with([registry = std::weak_ptr<OpenDatasets>(s->open_datasets_)](
                                      const OwedDatasets& owed) { return store::sync_owed_datasets(registry, owed); });

  if (s->read_only_) {
    QV_LOG(Info, kLogTarget, "[store] opened in read-only mode, background tasks disabled");
    return s;
  }
  bg::Handles handles{s->open_datasets_, std::move(dirty), s->block_cache_,
                      [journal = s->journal_] { return journal->flush(); }};
  if (config.enable_background_thread) {
    try {
      s->bg_tasks_ = BackgroundTasks::spawn(std::move(handles), bg::Settings::of(config), std::move(clocks));
    } catch (const std::system_error& e) {
      // No memory or mapping left for the worker's stack: the open's own error.
      return fail(Error::os(e.code().value()));
    }
  } else {
    s->bg_tasks_ = BackgroundTasks::new_manual(std::move(handles), bg::Settings::of(config), std::move(clocks));
    QV_LOG(Info, kLogTarget, "[store] background thread disabled, manual tick required");
  }
  return s;
}

void Store::shutdown_background() {
  std::unique_ptr<BackgroundTasks> tasks = std::move(bg_tasks_);
  if (tasks) tasks->shutdown();
}

Store::~Store() {
  shutdown_background();
  // Nothing may leave a destructor: a flush that runs out of memory is given up like one that fails.
  try {
    if (journal_) (void)journal_->flush();
  } catch (...) {
  }
  data_dir_.clear();
  io_dir_.clear();
  open_datasets_.reset();
  block_cache_.reset();
  journal_.reset();
  identifiers_.clear();
  // Last: whatever the store released above could still write until now.
  writer_lock_.reset();
}

}  // namespace quelvane
