// Fault injection for mapped files: a full disk at growth, and a mapping whose write-back fails.
#pragma once

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/msync_counter.h"
#include "util/fs.h"

namespace quelvane::testing {

// While alive, no file of this process can grow beyond `bytes`: growth fails with EFBIG (the
// signal that would otherwise end the process is ignored).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = saved_;
    lim.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = SIG_DFL;
};

// The path as /proc/self/maps names the file: with every link resolved.
inline std::string mapped_name(const fs::Path& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  std::string name = real ? real : path.string();
  std::free(real);
  return name;
}

// Where this process maps `path`: the first mapping of it at least min_bytes long.
struct MappingOf {
  unsigned long lo = 0, hi = 0, file_offset = 0;
  bool found = false;

  MappingOf(const fs::Path& path, unsigned long min_bytes) {
    const std::string want = mapped_name(path);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
      if (line.size() < want.size() || line.compare(line.size() - want.size(), want.size(), want) != 0) continue;
      if (std::sscanf(line.c_str(), "%lx-%lx %*s %lx", &lo, &hi, &file_offset) != 3) continue;
      if (hi - lo < min_bytes) continue;
      found = true;
      return;
    }
  }
};

// How many of this process's mappings are of files in dir.
inline std::size_t mappings_in(const fs::Path& dir) {
  const std::string prefix = mapped_name(dir) + "/";
  std::ifstream maps("/proc/self/maps");
  std::size_t n = 0;
  for (std::string line; std::getline(maps, line);) n += line.find(prefix) != std::string::npos;
  return n;
}

// Takes the last page of this process's mapping of `path` away, so that msync over the whole
// mapping fails (ENOMEM) while the first pages stay readable; restore() maps the page back.
// The mapping must span at least two pages.
class BrokenMapping {
 public:
  explicit BrokenMapping(const fs::Path& path) : path_(path) {
    const unsigned long page = static_cast<unsigned long>(::sysconf(_SC_PAGESIZE));
    const MappingOf m(path, 2 * page);
    if (!m.found) return;
    page_ = reinterpret_cast<void*>(m.hi - page);
    page_size_ = page;
    file_offset_ = m.file_offset + (m.hi - page - m.lo);
    broken_ = ::munmap(page_, page_size_) == 0;
  }
  ~BrokenMapping() { restore(); }
  BrokenMapping(const BrokenMapping&) = delete;
  BrokenMapping& operator=(const BrokenMapping&) = delete;

  bool broken() const { return broken_; }
  // For a mapping that was released while broken: its address range is no longer ours.
  void abandon() { broken_ = false; }
  void restore() {
    if (!broken_) return;
    auto fd = fs::open(path_, fs::OpenMode::ReadWrite);
    if (fd) {
      ::mmap(page_, page_size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd->get(),
             static_cast<off_t>(file_offset_));
    }
    broken_ = false;
  }

 private:
  fs::Path path_;
  void* page_ = nullptr;
  unsigned long page_size_ = 0;
  unsigned long file_offset_ = 0;
  bool broken_ = false;
};

// While alive, every msync of this process's mapping of `path` fails with EIO, as a write-back
// the disk refuses would; the mapping stays readable and writable. One at a time.
class FailingSync {
 public:
  explicit FailingSync(const fs::Path& path) {
    const MappingOf m(path, 1);
    if (!m.found) return;
    fail_msync_between(m.lo, m.hi);
    failing_ = true;
  }
  ~FailingSync() {
    if (failing_) fail_msync_between(0, 0);
  }
  FailingSync(const FailingSync&) = delete;
  FailingSync& operator=(const FailingSync&) = delete;

  bool failing() const { return failing_; }

 private:
  bool failing_ = false;
};

// Holds anonymous mappings of this process until the kernel refuses the next one, as it does
// once a process holds vm.max_map_count of them; the destructor gives them back.
class HeldMappings {
 public:
  HeldMappings() {
    held_.reserve(1 << 20);
    while (held_.size() < held_.capacity()) {
      // Neighbours of different protection are never merged into one mapping.
      void* p = ::mmap(nullptr, 4096, held_.size() % 2 ? PROT_READ : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) {
        exhausted_ = errno == ENOMEM;
        return;
      }
      held_.push_back(p);
    }
  }
  ~HeldMappings() { release(); }
  HeldMappings(const HeldMappings&) = delete;
  HeldMappings& operator=(const HeldMappings&) = delete;

  bool exhausted() const { return exhausted_; }
  void release() {
    for (void* p : held_) ::munmap(p, 4096);
    held_.clear();
  }

 private:
  std::vector<void*> held_;
  bool exhausted_ = false;
};

}  // namespace quelvane::testing
