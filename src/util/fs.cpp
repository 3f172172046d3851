#include "fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

namespace quelvane::fs {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

Status check_path(const Path& path) {
  if (path.native().find('\0') != std::string::npos)
    return fail(Error::io("file name contained an unexpected NUL byte"));
  return {};
}

namespace {

// A look through a guarded path stands only once its guard confirmed that the path still led
// to the holder's files; the guard's error replaces whatever the look found otherwise.
template <class T>
Result<T> confirmed(const Path& path, Result<T> looked) {
  if (const auto& guard = path.guard()) QV_TRY(guard->confirm());
  return looked;
}

Result<FileDescriptor> open_by_name(const Path& path, OpenMode mode) {
  QV_TRY(check_path(path));
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::ReadOnly: flags |= O_RDONLY; break;
    case OpenMode::ReadWrite: flags |= O_RDWR; break;
    case OpenMode::CreateTruncate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_errno();
  return FileDescriptor(fd);
}

Result<struct stat> stat_by_name(const Path& path) {
  QV_TRY(check_path(path));
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return fail_errno();
  return st;
}

}  // namespace

Result<FileDescriptor> open(const Path& path, OpenMode mode) { return confirmed(path, open_by_name(path, mode)); }

Result<std::uint64_t> length(const FileDescriptor& fd) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail_errno();
  return static_cast<std::uint64_t>(st.st_size);
}

Status set_length(const FileDescriptor& fd, std::uint64_t len) {
  if (len > static_cast<std::uint64_t>(INT64_MAX)) return fail(Error::os(EFBIG));
  int rc;
  do {
    rc = ::ftruncate(fd.get(), static_cast<off_t>(len));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail_errno();
  return {};
}

Status reserve(const FileDescriptor& fd, std::uint64_t len) {
  if (len > static_cast<std::uint64_t>(INT64_MAX)) return fail(Error::os(EFBIG));
  if (len == 0) return {};
  int rc;
  do {
    rc = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(len));
  } while (rc == EINTR);
  if (rc == EOPNOTSUPP || rc == EINVAL) {
    auto current = QV_TRY(length(fd));
    return current >= len ? Status{} : set_length(fd, len);
  }
  if (rc != 0) return fail(Error::os(rc));
  return {};
}

Result<std::uint64_t> length(const Path& path) {
  auto st = stat_by_name(path);
  if (!st) return confirmed<std::uint64_t>(path, fail(std::move(st).error()));
  return confirmed<std::uint64_t>(path, static_cast<std::uint64_t>(st->st_size));
}

namespace {

Result<std::vector<std::uint8_t>> read_by_name(const Path& path, std::uint64_t max_len) {
  QV_TRY(check_path(path));
  auto not_regular = [&](mode_t mode) {
    if (S_ISDIR(mode)) return fail(Error::os(EISDIR));
    return fail(Error::io(path.native() + " is not a regular file"));
  };
  // Refused before it is opened: opening a FIFO would wait for a writer, and opening some
  // devices acts on them.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return fail_errno();
  if (!S_ISREG(st.st_mode)) return not_regular(st.st_mode);
  // Non-blocking, in case a FIFO took the file's place since.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_errno();
  FileDescriptor owned(fd);
  if (::fstat(fd, &st) != 0) return fail_errno();
  if (!S_ISREG(st.st_mode)) return not_regular(st.st_mode);

  std::vector<std::uint8_t> out(std::min<std::uint64_t>(max_len, static_cast<std::uint64_t>(st.st_size)));
  std::uint64_t got = 0;
  for (;;) {
    // The file may have grown since it was measured: read on up to the bound.
    if (got == out.size()) {
      if (got >= max_len) break;
      out.resize(std::min<std::uint64_t>(max_len, std::max<std::uint64_t>(got * 2, 4096)));
    }
    ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_errno();
    }
    if (n == 0) break;
    got += static_cast<std::uint64_t>(n);
  }
  out.resize(got);
  return out;
}

}  // namespace

Result<std::vector<std::uint8_t>> read_bounded(const Path& path, std::uint64_t max_len) {
  return confirmed(path, read_by_name(path, max_len));
}

Result<std::vector<std::uint8_t>> read_file(const Path& path) {
  return read_bounded(path, std::numeric_limits<std::uint64_t>::max());
}

namespace {

Status write_all(const FileDescriptor& fd, std::span<const std::uint8_t> data) { return write_at(fd, 0, data); }

}  // namespace

Status write_at(const FileDescriptor& fd, std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX) - data.size()) return fail(Error::os(EFBIG));
  std::uint64_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pwrite(fd.get(), data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_errno();
    }
    done += static_cast<std::uint64_t>(n);
  }
  return {};
}

Status write_file(const Path& path, std::span<const std::uint8_t> data) {
  FileDescriptor fd = QV_TRY(open(path, OpenMode::CreateTruncate));
  return write_all(fd, data);
}

Status overwrite_file(const Path& path, std::span<const std::uint8_t> data, Sync sync) {
  QV_TRY(check_path(path));
  const bool made = sync == Sync::Durable && !path_exists(path);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_errno();
  FileDescriptor owned(fd);
  QV_TRY(write_all(owned, data));
  QV_TRY(set_length(owned, data.size()));
  if (sync == Sync::No) return {};
  QV_TRY(sync_data(owned));
  if (made) QV_TRY(sync_dir(path.parent_path()));
  return {};
}

Status write_file_whole(const Path& path, std::span<const std::uint8_t> data, Sync sync) {
  const Path temporary = temporary_beside(path);
  Status written = [&]() -> Status {
    FileDescriptor fd = QV_TRY(open(temporary, OpenMode::CreateTruncate));
    QV_TRY(write_all(fd, data));
    if (sync == Sync::Durable) QV_TRY(sync_data(fd));
    return {};
  }();
  if (written) written = fs::rename(temporary, path);
  if (!written) (void)remove_file(temporary);
  if (written && sync == Sync::Durable) written = sync_dir(path.parent_path());
  return written;
}

namespace {

// fsync or fdatasync of fd, again when a signal interrupted it.
Status sync_descriptor(int (*sync_call)(int), int fd) {
  int rc;
  do {
    rc = sync_call(fd);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail_errno();
  return {};
}

}  // namespace

Status sync_data(const FileDescriptor& fd) { return sync_descriptor(::fdatasync, fd.get()); }

Status sync_dir(const Path& dir) {
  const Path at = dir.empty() ? Path(".") : dir;
  QV_TRY(check_path(at));
  int fd;
  do {
    fd = ::open(at.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_errno();
  FileDescriptor owned(fd);
  return sync_descriptor(::fsync, owned.get());
}

namespace {

constexpr std::string_view kTemporarySuffix = ".tmp";
// NAME_MAX of the file systems the store runs on.
constexpr std::size_t kLongestName = 255;

}  // namespace

Path temporary_beside(const Path& path) {
  std::string name = path.filename().native();
  if (name.size() + kTemporarySuffix.size() > kLongestName) {
    // Two long names that share their start still get different temporaries (FNV-1a).
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : name) hash = (hash ^ static_cast<std::uint8_t>(c)) * 0x100000001b3ull;
    char digits[18];
    std::snprintf(digits, sizeof digits, "~%016llx", static_cast<unsigned long long>(hash));
    name.resize(kLongestName - kTemporarySuffix.size() - (sizeof digits - 1));
    name += digits;
  }
  name += kTemporarySuffix;
  return path.parent_path() / name;
}

bool is_temporary_name(std::string_view name) { return name.ends_with(kTemporarySuffix); }

Status remove_temporaries(const Path& dir) {
  auto names = list_dir(dir);
  if (!names) {
    if (names.error().os_code() == ENOENT) return {};
    return fail(std::move(names).error());
  }
  for (const std::string& name : *names) {
    if (!is_temporary_name(name)) continue;
    const Path path = dir / name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      return fail_errno();
    }
    if (!S_ISREG(st.st_mode)) continue;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail_errno();
  }
  return {};
}

Status rename(const Path& from, const Path& to) {
  QV_TRY(check_path(from));
  QV_TRY(check_path(to));
  if (::rename(from.c_str(), to.c_str()) != 0) return fail_errno();
  return {};
}

Result<bool> exists(const Path& path) {
  auto st = stat_by_name(path);
  if (!st && st.error().os_code() != ENOENT) return confirmed<bool>(path, fail(std::move(st).error()));
  return confirmed<bool>(path, st.has_value());
}

bool path_exists(const Path& path) { return exists(path).value_or(false); }

Result<bool> is_dir(const Path& path) {
  auto st = stat_by_name(path);
  if (!st) return confirmed<bool>(path, fail(std::move(st).error()));
  return confirmed<bool>(path, S_ISDIR(st->st_mode));
}

Status create_dir_all(const Path& path, Sync sync) {
  QV_TRY(check_path(path));
  if (path.empty()) return {};
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return fail(Error::os(EEXIST));
  }
  Path parent = path.parent_path();
  if (!parent.empty() && parent != path) QV_TRY(create_dir_all(parent, sync));
  if (::mkdir(path.c_str(), 0777) != 0) {
    if (errno != EEXIST) return fail_errno();
  }
  // Made here, or by a racing caller that may not sync it: the entry is synced either way.
  if (sync == Sync::Durable) QV_TRY(sync_dir(parent));
  return {};
}

Status remove_file(const Path& path) {
  QV_TRY(check_path(path));
  if (::unlink(path.c_str()) != 0) return fail_errno();
  return {};
}

Status remove_tree(const Path& path) {
  QV_TRY(check_path(path));
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return fail_errno();
  }
  if (S_ISDIR(st.st_mode)) {
    auto names = QV_TRY(list_dir(path));
    for (const auto& name : names) QV_TRY(remove_tree(path / name));
    if (::rmdir(path.c_str()) != 0 && errno != ENOENT) return fail_errno();
    return {};
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail_errno();
  return {};
}

namespace {

std::atomic<std::uint64_t> listings{0};
std::atomic<ListingFilter> listing_filter{nullptr};

Result<std::vector<std::string>> list_by_name(const Path& path) {
  QV_TRY(check_path(path));
  listings.fetch_add(1, std::memory_order_relaxed);
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return fail_errno();
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    dirent* ent = ::readdir(dir);
    if (ent == nullptr) {
      int err = errno;
      ::closedir(dir);
      if (err != 0) return fail(Error::os(err));
      if (ListingFilter filter = listing_filter.load(std::memory_order_relaxed)) [[unlikely]]
        filter(path, names);
      return names;
    }
    std::string_view name = ent->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
}

}  // namespace

Result<std::vector<std::string>> list_dir(const Path& path) { return confirmed(path, list_by_name(path)); }

std::uint64_t listings_made() { return listings.load(std::memory_order_relaxed); }

void set_listing_filter(ListingFilter filter) { listing_filter.store(filter, std::memory_order_relaxed); }

namespace {

// Far more than any file system's timestamp tick.
constexpr std::int64_t kSettleNs = 1'000'000'000;

std::int64_t nanoseconds(const timespec& t) { return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; }

}  // namespace

Result<DirStamp> dir_stamp(const Path& dir) {
  // The clock is read before the stat: a modification after it cannot pass for settled.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  auto st = stat_by_name(dir);
  if (!st) return confirmed<DirStamp>(dir, fail(std::move(st).error()));
  const std::int64_t modified = nanoseconds(st->st_mtim);
  return confirmed<DirStamp>(dir, DirStamp{
                                      .device = static_cast<std::uint64_t>(st->st_dev),
                                      .inode = static_cast<std::uint64_t>(st->st_ino),
                                      .modified_ns = modified,
                                      .settled = modified < nanoseconds(now) - kSettleNs,
                                  });
}

}  // namespace quelvane::fs
