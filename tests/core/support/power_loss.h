// The disks a power loss can leave. While a recorder lives, every msync, fsync and fdatasync of
// a file under its root keeps the image that call made durable: for msync the pages of the range
// as they were when the call began, for fsync of a file all of it, for fsync of a directory its
// entries. From those images and the files as they are now (the page cache, which a kill keeps)
// build_disk lays out what the disk may hold after the power goes: each page written since its
// file's last sync old or new, a file never synced empty, and, under a policy switch, every
// directory as it stood at its last fsync.
//
// The recording lives in files beside the root (one image per file, named by inode and birth
// time so a renamed file keeps its image and a reused inode does not inherit one), so the same
// code serves a preloaded library in a process that is killed and a harness that builds the
// disks afterwards (tests/power/sync_recorder.cpp). It needs nothing of the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

namespace quelvane::testing {

// Records into `images` the syncs of files under `root`; one recording at a time per process.
// What lies under root when it starts counts as synced.
class SyncRecording {
 public:
  SyncRecording(const std::filesystem::path& root, const std::filesystem::path& images);
  SyncRecording(const SyncRecording&) = delete;
  SyncRecording& operator=(const SyncRecording&) = delete;

  // Called before the system call itself: only what was stored before a sync began is durable
  // once it returns.
  void before_msync(const void* addr, std::size_t len);
  void before_fsync(int fd);

 private:
  std::filesystem::path root_;
  std::filesystem::path images_;
};

struct PowerLoss {
  enum class Pages {
    synced,   // only what the syncs made durable
    written,  // every page as written (the page cache reached the disk)
    random,   // each page written since its file's last sync old or new, from seed
    chosen,   // as page_is_new answers
  };
  Pages pages = Pages::synced;
  std::uint64_t seed = 0;
  // (path under root, page index) -> whether the page holds what was written since the sync.
  // The page past the larger of the synced and the written length decides the length: a file
  // takes its written length when its last page is new.
  std::function<bool(const std::filesystem::path& file, std::uint64_t page)> page_is_new;
  // Whether a create, rename or unlink in a directory not fsynced since is undone.
  bool lose_unsynced_entries = true;
};

inline constexpr std::uint64_t power_loss_page = 4096;

// Lays the disk into `out` (made if missing, and empty): the files under `root` a power loss at
// this moment could leave, from the images recorded into `images`.
void build_disk(const std::filesystem::path& root, const std::filesystem::path& images,
                const std::filesystem::path& out, const PowerLoss& loss);

// For core tests: records the syncs of this process under root while it lives (through the
// test binaries' replacements of msync, fsync and fdatasync), its images in a directory of its own.
class PowerLossRecorder {
 public:
  explicit PowerLossRecorder(const std::filesystem::path& root);
  ~PowerLossRecorder();
  PowerLossRecorder(const PowerLossRecorder&) = delete;
  PowerLossRecorder& operator=(const PowerLossRecorder&) = delete;

  void build_disk(const std::filesystem::path& out, const PowerLoss& loss) const;

 private:
  std::filesystem::path root_;
  std::filesystem::path images_;
  std::unique_ptr<SyncRecording> recording_;
};

}  // namespace quelvane::testing
