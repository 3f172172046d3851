// The POSIX file and directory calls the core makes. Failures are Error::Io with the
// system's C-locale message and the errno, never an exception text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../error.h"

namespace quelvane::fs {

// What the holder of files named by path in a directory that a writer elsewhere may remove and
// make again under the same name checks after reaching one of them by its name: that the name
// still led to the holder's own files and not to a successor's.
class PathGuard {
 public:
  virtual ~PathGuard() = default;
  // Success while the names lead to the holder's files; otherwise the error to report instead
  // of whatever the look through the name found.
  virtual Status confirm() const = 0;
};

// A path as std::filesystem spells it, with an optional guard that every call of this file
// confirms after it looked through the path, on success and on failure alike. A path made from
// a guarded one by / or parent_path() keeps its guard.
class Path : public std::filesystem::path {
 public:
  using std::filesystem::path::path;
  Path() = default;
  Path(std::filesystem::path p) : std::filesystem::path(std::move(p)) {}
  Path(std::filesystem::path p, std::shared_ptr<const PathGuard> guard)
      : std::filesystem::path(std::move(p)), guard_(std::move(guard)) {}

  const std::shared_ptr<const PathGuard>& guard() const { return guard_; }
  Path parent_path() const { return Path(std::filesystem::path::parent_path(), guard_); }
  Path& operator/=(const std::filesystem::path& p) {
    std::filesystem::path::operator/=(p);
    return *this;
  }
  friend Path operator/(Path l, const std::filesystem::path& r) {
    l /= r;
    return l;
  }

 private:
  std::shared_ptr<const PathGuard> guard_;
};

// Owns one open descriptor and closes it exactly once.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& o) noexcept : fd_(o.release()) {}
  FileDescriptor& operator=(FileDescriptor&& o) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

enum class OpenMode {
  ReadOnly,       // existing file
  ReadWrite,      // existing file
  CreateTruncate  // read-write, created when missing (mode 0o666), emptied when present
};

Result<FileDescriptor> open(const Path& path, OpenMode mode);
Result<std::uint64_t> length(const FileDescriptor& fd);
// The length the metadata of what path names gives (following symbolic links).
Result<std::uint64_t> length(const Path& path);
// Sets the length exactly (shrinking or extending with zeros).
Status set_length(const FileDescriptor& fd, std::uint64_t len);
// Extends the file to at least len bytes with the blocks allocated, so that a full disk is
// reported here and not as a fault when the mapping is written. Falls back to set_length
// only where the file system cannot allocate ahead.
Status reserve(const FileDescriptor& fd, std::uint64_t len);

// Reads a small file whole for its reader to parse in memory (meta, consumer-group state,
// identifier files). Only a regular file is read: anything else at the path (a FIFO, a device,
// a directory, following symbolic links) is refused with Error::Io before a byte is read, so it
// can neither block the caller nor stream without end. At most max_len bytes are returned, the
// first ones of a longer file: callers pass the most their format can use.
Result<std::vector<std::uint8_t>> read_bounded(const Path& path, std::uint64_t max_len);
// read_bounded without a bound, for files whose size the caller controls.
Result<std::vector<std::uint8_t>> read_file(const Path& path);
// Creates (mode 0o666) or truncates, then writes everything; no sync.
Status write_file(const Path& path, std::span<const std::uint8_t> data);
// Whether a write returns only once what it wrote is on the disk, so that a power loss keeps it.
enum class Sync { No, Durable };

// Writes data at offset 0 without truncating first, then sets the length: a crash never
// leaves the file empty. Durable: the data synced before the call returns, and, when the call
// made the file, its directory entry too.
Status overwrite_file(const Path& path, std::span<const std::uint8_t> data, Sync sync = Sync::No);

// Writes data at offset into an open file, all of it; no sync.
Status write_at(const FileDescriptor& fd, std::uint64_t offset, std::span<const std::uint8_t> data);

// Writes a file whole so that a kill at any instant leaves it either absent or complete: the
// data goes to a temporary name in the same directory, which then replaces path. Durable: the
// temporary file is synced before the rename (a power loss never leaves the name over a file
// whose data did not reach the disk) and the directory after it.
Status write_file_whole(const Path& path, std::span<const std::uint8_t> data, Sync sync = Sync::No);
// fdatasync: the file's data and what is needed to read it back are on the disk.
Status sync_data(const FileDescriptor& fd);
// fsync of a directory: the entries made, renamed or removed in it are on the disk.
Status sync_dir(const Path& dir);
// The name beside path under which a file that replaces it is made first: path's name with
// ".tmp" after it, or, where that would pass the longest name a directory entry may have, a
// shortened name that keeps a hash of the whole one.
Path temporary_beside(const Path& path);
// Whether a directory entry's name is one temporary_beside makes: a file under such a name is
// not the store's file yet, only one a kill may have left between its creation and its rename.
bool is_temporary_name(std::string_view name);
// Removes the regular files of dir that have temporary names. A missing directory has none.
Status remove_temporaries(const Path& dir);
// Moves from to to in one step, replacing what to names (an empty directory, for a directory).
Status rename(const Path& from, const Path& to);

// stat succeeds (the path names something).
bool path_exists(const Path& path);
// Whether path names something. Only a missing entry (ENOENT) is false; any other failure to
// look is Error::Io, so that a caller never takes an unreadable file for an absent one.
Result<bool> exists(const Path& path);
Result<bool> is_dir(const Path& path);
// mkdir -p with mode 0o777. Durable: each directory it makes has its entry synced (its parent
// fsynced) before the call returns; nothing is synced when all of them exist.
Status create_dir_all(const Path& path, Sync sync = Sync::No);
Status remove_file(const Path& path);
// rm -r; a missing path is success.
Status remove_tree(const Path& path);
// Entry names of a directory, without "." and "..", in no particular order.
Result<std::vector<std::string>> list_dir(const Path& path);
// How many listings list_dir has made in this process: what a test of a listing's cost counts.
std::uint64_t listings_made();
// A test's stand-in for a listing that raced other processes' renames: while set, it sees each
// listing's names (and may take some out, or act in between) before list_dir returns them.
using ListingFilter = void (*)(const Path& dir, std::vector<std::string>& names);
void set_listing_filter(ListingFilter filter);

// What moves when an entry of a directory is made, removed or renamed: the directory's identity
// and modification time. A modification time as recent as the clock's coarse tick does not vouch
// for the listing: an entry made in the same tick leaves it unchanged, so such a stamp is not
// settled.
struct DirStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t modified_ns = 0;
  bool settled = false;

  bool operator==(const DirStamp&) const = default;
};
Result<DirStamp> dir_stamp(const Path& dir);

// A NUL inside a path would silently cut it short at the system call.
Status check_path(const Path& path);

}  // namespace quelvane::fs
