#include "mapped_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace quelvane {

namespace {

Result<std::uint8_t*> map_whole(const fs::FileDescriptor& fd, std::uint64_t size, MappedFile::Access access) {
  if (size == 0) return nullptr;
  if (size > static_cast<std::uint64_t>(SIZE_MAX)) return fail(Error::os(ENOMEM));
  int prot = access == MappedFile::Access::ReadWrite ? PROT_READ | PROT_WRITE : PROT_READ;
  void* p = ::mmap(nullptr, static_cast<std::size_t>(size), prot, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return fail_errno();
  return static_cast<std::uint8_t*>(p);
}

fs::OpenMode open_mode(MappedFile::Access access) {
  return access == MappedFile::Access::ReadWrite ? fs::OpenMode::ReadWrite : fs::OpenMode::ReadOnly;
}

}  // namespace

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    unmap();
    swap(o);
  }
  return *this;
}

void MappedFile::swap(MappedFile& o) noexcept {
  std::swap(path_, o.path_);
  std::swap(data_, o.data_);
  std::swap(size_, o.size_);
  std::swap(access_, o.access_);
  std::swap(mapped_, o.mapped_);
  std::swap(entry_unsynced_, o.entry_unsynced_);
}

Result<MappedFile> MappedFile::create(const fs::Path& path, std::uint64_t size, const Fill& fill) {
  // Made at the final name, a new file would be found by the next open while it is still empty
  // or zero-filled (a full disk at its reservation, a kill before its header); an existing file
  // emptied in place would leave a mapping of it past the end of the file, a SIGBUS at its next
  // touch.
  const fs::Path temporary = fs::temporary_beside(path);
  auto made = create_at(temporary, path, size);
  if (made && fill) {
    if (auto filled = fill(*made); !filled) made = fail(std::move(filled).error());
  }
  if (made) {
    if (auto moved = fs::rename(temporary, path); !moved) made = fail(std::move(moved).error());
  }
  if (made) made->entry_unsynced_ = true;
  if (!made) (void)fs::remove_file(temporary);
  return made;
}

// Creates (or empties) the file at `at` with size bytes reserved and maps it as the file
// `path` names once in place.
Result<MappedFile> MappedFile::create_at(const fs::Path& at, const fs::Path& path, std::uint64_t size) {
  fs::FileDescriptor fd = QV_TRY(fs::open(at, fs::OpenMode::CreateTruncate));
  QV_TRY(fs::reserve(fd, size));
  std::uint64_t measured = QV_TRY(fs::length(fd));
  MappedFile f;
  f.data_ = QV_TRY(map_whole(fd, measured, Access::ReadWrite));
  f.path_ = path;
  f.size_ = measured;
  f.access_ = Access::ReadWrite;
  f.mapped_ = true;
  return f;
}

Result<MappedFile> MappedFile::open(const fs::Path& path, Access access) {
  fs::FileDescriptor fd = QV_TRY(fs::open(path, open_mode(access)));
  std::uint64_t measured = QV_TRY(fs::length(fd));
  MappedFile f;
  f.data_ = QV_TRY(map_whole(fd, measured, access));
  f.path_ = path;
  f.size_ = measured;
  f.access_ = access;
  f.mapped_ = true;
  return f;
}

std::span<std::uint8_t> MappedFile::mutable_bytes() {
  QV_ASSERT(access_ == Access::ReadWrite, "write through a read-only mapping");
  return {data_, static_cast<std::size_t>(size_)};
}

Status MappedFile::grow(std::uint64_t new_size) {
  QV_ASSERT(mapped_ && access_ == Access::ReadWrite, "growing an unmapped or read-only file");
  if (new_size <= size_) return {};
  if (new_size > static_cast<std::uint64_t>(SIZE_MAX)) return fail(Error::os(ENOMEM));
  fs::FileDescriptor fd = QV_TRY(fs::open(path_, fs::OpenMode::ReadWrite));
  if (auto reserved = fs::reserve(fd, new_size); !reserved) {
    // Give back whatever the failed reservation added, so the file matches the mapping.
    (void)fs::set_length(fd, size_);
    return reserved;
  }
  void* p;
  if (size_ == 0) {
    p = ::mmap(nullptr, static_cast<std::size_t>(new_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  } else {
    p = ::mremap(data_, static_cast<std::size_t>(size_), static_cast<std::size_t>(new_size), MREMAP_MAYMOVE);
  }
  if (p == MAP_FAILED) {
    int err = errno;
    (void)fs::set_length(fd, size_);
    return fail(Error::os(err));
  }
  data_ = static_cast<std::uint8_t*>(p);
  size_ = new_size;
  return {};
}

Status MappedFile::remap_if_grown() {
  QV_ASSERT(mapped_, "remapping an unmapped file");
  fs::FileDescriptor fd = QV_TRY(fs::open(path_, open_mode(access_)));
  const std::uint64_t measured = QV_TRY(fs::length(fd));
  if (measured <= size_) return {};
  std::uint8_t* data = QV_TRY(map_whole(fd, measured, access_));
  unmap();
  data_ = data;
  size_ = measured;
  mapped_ = true;
  return {};
}

Status MappedFile::sync() const {
  if (!mapped_ || size_ == 0) return {};
  if (::msync(data_, static_cast<std::size_t>(size_), MS_SYNC) != 0) return fail_errno();
  return sync_entry();
}

Status MappedFile::sync_entry() const {
  if (!entry_unsynced_) return {};
  // A directory gone since (the dataset dropped, a staging name renamed) holds no entry to keep.
  if (auto synced = fs::sync_dir(path_.parent_path()); !synced && synced.error().os_code() != ENOENT) return synced;
  entry_unsynced_ = false;
  return {};
}

Status MappedFile::sync_range(std::uint64_t off, std::uint64_t len) const {
  if (!mapped_ || off >= size_ || len == 0) return {};
  // msync wants a page-aligned start; the mapping itself starts on a page.
  static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t start = off - off % page;
  const std::uint64_t end = std::min(size_, len > size_ - off ? size_ : off + len);
  if (::msync(data_ + start, static_cast<std::size_t>(end - start), MS_SYNC) != 0) return fail_errno();
  return sync_entry();
}

void MappedFile::unmap() {
  if (mapped_ && size_ > 0) ::munmap(data_, static_cast<std::size_t>(size_));
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
}

}  // namespace quelvane
