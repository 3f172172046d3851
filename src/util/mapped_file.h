// One whole file mapped shared into memory. Every mapped file of the store (data, index and
// journal segments, state files) is one of these; the descriptor is closed once mapped.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "bytes.h"
#include "fs.h"

namespace quelvane {

class MappedFile {
 public:
  enum class Access { ReadOnly, ReadWrite };

  // Writes a new file's first contents (its header, synchronised where the owner wants it on
  // disk) through the mapping while the file has no name a reader looks for.
  using Fill = std::function<Status(MappedFile&)>;

  // Creates the file (mode 0o666) with size bytes reserved on disk, so that a full disk is an
  // Error::Io here and never a SIGBUS when the mapping is written. The file is made under its
  // temporary name (fs::temporary_beside), mapped, filled, and only then renamed to path, so
  // that a failure or a kill at any instant leaves path as it was: absent, or the old file
  // whole (a mapping of it included). A failure removes the temporary file; a kill may leave
  // it, under a name no reader takes for a store file.
  static Result<MappedFile> create(const fs::Path& path, std::uint64_t size, const Fill& fill = {});
  // Maps an existing file whole. A zero-length file gives an empty, valid mapping.
  static Result<MappedFile> open(const fs::Path& path, Access access);

  MappedFile() = default;
  MappedFile(MappedFile&& o) noexcept { swap(o); }
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  // Unmaps without synchronising: the owner decides whether a final sync is due.
  ~MappedFile() { unmap(); }

  bool mapped() const { return mapped_; }
  bool writable() const { return access_ == Access::ReadWrite; }
  std::uint64_t size() const { return size_; }
  const fs::Path& path() const { return path_; }

  std::span<const std::uint8_t> bytes() const { return {data_, static_cast<std::size_t>(size_)}; }
  // Write access; a read-only mapping has none.
  std::span<std::uint8_t> mutable_bytes();

  bool fits(std::uint64_t off, std::uint64_t len) const { return bytes::fits(size_, off, len); }
  template <class T>
  T load(std::uint64_t off) const {
    return bytes::get<T>(bytes(), off);
  }
  template <class T>
  void store(std::uint64_t off, T v) {
    bytes::put<T>(mutable_bytes(), off, v);
  }
  void write(std::uint64_t off, std::span<const std::uint8_t> src) {
    bytes::copy_in(mutable_bytes(), off, src);
  }

  // Extends the file to new_size (reserved like create) and the mapping with it. On failure
  // the file keeps its length and the old mapping stays valid and unchanged.
  Status grow(std::uint64_t new_size);
  // Maps the file again, whole, when it is longer now than the mapping: a reader's view of a
  // file that a writer elsewhere (another process, or another object on the file) has grown.
  // Nothing changes when it is not; on failure the old mapping stays valid and unchanged. The
  // bytes of the old mapping go with it: the caller holds no view of them across this.
  Status remap_if_grown();
  // msync of the whole mapping, waiting for the write-back. The first sync of a file that
  // create made also syncs its directory, so that the file's name is on the disk once a flush
  // covered any of its bytes; its creation itself (a roll-over on the write path) syncs none.
  Status sync() const;
  // msync of the pages that hold [off, off + len) (clipped to the mapping), waiting for them.
  Status sync_range(std::uint64_t off, std::uint64_t len) const;
  // Syncs the directory entry of a file that create made, if no sync has yet: for an owner whose
  // file must be found after a power loss even before it changes.
  Status sync_entry() const;
  // Releases the mapping; the object becomes unmapped.
  void unmap();

 private:
  static Result<MappedFile> create_at(const fs::Path& at, const fs::Path& path, std::uint64_t size);
  void swap(MappedFile& o) noexcept;

  fs::Path path_;
  std::uint8_t* data_ = nullptr;
  std::uint64_t size_ = 0;
  Access access_ = Access::ReadOnly;
  bool mapped_ = false;
  // Made by create, and its directory not synced since.
  mutable bool entry_unsynced_ = false;
};

}  // namespace quelvane
