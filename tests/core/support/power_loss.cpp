#include "support/power_loss.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelvane::testing {

namespace stdfs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Concurrent syncs (a background flush beside a writer) record one at a time.
std::mutex recording_mutex;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A file's identity across renames: its inode and birth time (a reused inode has a new one).
struct Identity {
  std::uint64_t ino = 0;
  bool directory = false;
  std::string key;
};

std::optional<Identity> identity_of(int dirfd, const char* path, int flags) {
  struct statx sx {};
  if (::statx(dirfd, path, flags | AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_TYPE | STATX_BTIME, &sx) != 0) {
    return std::nullopt;
  }
  if (!S_ISREG(sx.stx_mode) && !S_ISDIR(sx.stx_mode)) return std::nullopt;
  Identity id;
  id.ino = sx.stx_ino;
  id.directory = S_ISDIR(sx.stx_mode);
  id.key = std::to_string(sx.stx_ino);
  if (sx.stx_mask & STATX_BTIME) {
    id.key += "-" + std::to_string(sx.stx_btime.tv_sec) + "." + std::to_string(sx.stx_btime.tv_nsec);
  }
  return id;
}

std::optional<Identity> identity_of(const stdfs::path& path) { return identity_of(AT_FDCWD, path.c_str(), 0); }

bool under(const stdfs::path& root, const stdfs::path& path) {
  const std::string r = root.native(), p = path.native();
  return p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

Bytes read_all(const stdfs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const stdfs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Writes page by page, so a kill in the middle of a recording leaves each page of the image
// old or new: what the interrupted sync itself may have left.
void put_pages(int fd, const std::uint8_t* bytes, std::uint64_t offset, std::uint64_t len) {
  for (std::uint64_t done = 0; done < len;) {
    const std::uint64_t n = std::min(len - done, power_loss_page - (offset + done) % power_loss_page);
    if (::pwrite(fd, bytes + done, n, static_cast<off_t>(offset + done)) != static_cast<ssize_t>(n)) {
      fail("pwrite image");
    }
    done += n;
  }
}

struct Descriptor {
  explicit Descriptor(int d) : fd(d) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int fd;
};

class ImageFile {
 public:
  ImageFile(const stdfs::path& images, const Identity& id)
      : file_(::open((images / (id.key + ".img")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (file_.fd < 0) fail("open image");
  }

  void put(const std::uint8_t* bytes, std::uint64_t offset, std::uint64_t len) { put_pages(file_.fd, bytes, offset, len); }
  void resize(std::uint64_t size) {
    if (::ftruncate(file_.fd, static_cast<off_t>(size)) != 0) fail("ftruncate image");
  }

 private:
  Descriptor file_;
};

void record_file_content(const stdfs::path& images, const Identity& id, int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail("fstat");
  ImageFile image(images, id);
  Bytes page(power_loss_page);
  for (std::uint64_t off = 0; off < static_cast<std::uint64_t>(st.st_size); off += power_loss_page) {
    const ssize_t n = ::pread(fd, page.data(), page.size(), static_cast<off_t>(off));
    if (n < 0) fail("pread");
    if (n == 0) break;
    image.put(page.data(), off, static_cast<std::uint64_t>(n));
  }
  image.resize(static_cast<std::uint64_t>(st.st_size));
}

// "d|f key name" per entry; written aside and renamed, so a kill leaves the old list or the new.
void record_directory(const stdfs::path& images, const Identity& id, const stdfs::path& dir) {
  std::ostringstream list;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    auto child = identity_of(::dirfd(d), e->d_name, 0);
    if (!child) continue;
    list << (child->directory ? 'd' : 'f') << ' ' << child->key << ' ' << e->d_name << '\n';
  }
  ::closedir(d);
  const std::string text = list.str();
  const stdfs::path final_name = images / (id.key + ".dir");
  const stdfs::path aside = images / (id.key + ".dir.new");
  write_all(aside, Bytes(text.begin(), text.end()));
  if (::rename(aside.c_str(), final_name.c_str()) != 0) fail("rename listing");
}

void record_tree(const stdfs::path& images, const stdfs::path& dir) {
  auto id = identity_of(dir);
  if (!id) return;
  record_directory(images, *id, dir);
  for (const auto& e : stdfs::directory_iterator(dir)) {
    if (e.is_symlink()) continue;
    if (e.is_directory()) {
      record_tree(images, e.path());
    } else if (e.is_regular_file()) {
      auto child = identity_of(e.path());
      const Descriptor file(::open(e.path().c_str(), O_RDONLY | O_CLOEXEC));
      if (!child || file.fd < 0) continue;
      record_file_content(images, *child, file.fd);
    }
  }
}

// The file mapped at addr, from /proc/self/maps: its path, and the file offset of addr.
struct Mapped {
  stdfs::path path;
  std::uint64_t ino = 0;
  std::uintptr_t end = 0;  // of the mapping
  std::uint64_t offset = 0;
};

std::optional<Mapped> mapping_at(std::uintptr_t addr) {
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return std::nullopt;
  std::optional<Mapped> found;
  char line[4096 + 256];
  while (std::fgets(line, sizeof line, maps)) {
    unsigned long lo = 0, hi = 0, off = 0, ino = 0;
    char perms[8] = {}, dev[16] = {};
    int path_at = 0;
    if (std::sscanf(line, "%lx-%lx %7s %lx %15s %lu %n", &lo, &hi, perms, &off, dev, &ino, &path_at) < 6) continue;
    if (addr < lo || addr >= hi || ino == 0 || path_at == 0) continue;
    std::string path(line + path_at);
    while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
    found = Mapped{path, ino, hi, off + (addr - lo)};
    break;
  }
  std::fclose(maps);
  return found;
}

// --- building the disk ---------------------------------------------------------------------

struct Entry {
  bool directory = false;
  std::string key;
  std::string name;
};

std::vector<Entry> read_listing(const stdfs::path& file) {
  std::vector<Entry> entries;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    char kind = 0;
    Entry e;
    fields >> kind >> e.key;
    fields.get();
    std::getline(fields, e.name);
    e.directory = kind == 'd';
    if (!e.key.empty() && !e.name.empty()) entries.push_back(std::move(e));
  }
  return entries;
}

std::vector<Entry> current_listing(const stdfs::path& dir) {
  std::vector<Entry> entries;
  for (const auto& e : stdfs::directory_iterator(dir)) {
    if (e.is_symlink()) continue;
    if (auto id = identity_of(e.path())) entries.push_back({id->directory, id->key, e.path().filename()});
  }
  return entries;
}

class DiskBuilder {
 public:
  DiskBuilder(const stdfs::path& root, const stdfs::path& images, const PowerLoss& loss)
      : root_(root), images_(images), loss_(loss), random_(loss.seed) {
    index_current(root_);
  }

  void lay(const stdfs::path& out) {
    stdfs::create_directories(out);
    auto root_id = identity_of(root_);
    if (!root_id) throw std::runtime_error("no root " + root_.string());
    lay_directory(root_id->key, root_, stdfs::path(), out);
  }

 private:
  void index_current(const stdfs::path& dir) {
    for (const auto& e : stdfs::directory_iterator(dir)) {
      if (e.is_symlink()) continue;
      auto id = identity_of(e.path());
      if (!id) continue;
      current_[id->key] = e.path();
      if (id->directory) index_current(e.path());
    }
  }

  // The directory `key`, found now at `now` (empty when it is gone), into out/rel.
  void lay_directory(const std::string& key, const stdfs::path& now, const stdfs::path& rel, const stdfs::path& out) {
    stdfs::create_directories(out / rel);
    std::vector<Entry> entries;
    if (loss_.lose_unsynced_entries) {
      entries = read_listing(images_ / (key + ".dir"));  // never synced: nothing in it is on the disk
    } else if (!now.empty()) {
      entries = current_listing(now);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    for (const Entry& e : entries) {
      const auto found = current_.find(e.key);
      const stdfs::path child_now = found == current_.end() ? stdfs::path() : found->second;
      if (e.directory) {
        lay_directory(e.key, child_now, rel / e.name, out);
      } else {
        lay_file(e.key, child_now, rel / e.name, out);
      }
    }
  }

  void lay_file(const std::string& key, const stdfs::path& now, const stdfs::path& rel, const stdfs::path& out) {
    const stdfs::path image = images_ / (key + ".img");
    const Bytes old_bytes = stdfs::exists(image) ? read_all(image) : Bytes();
    // A file gone from the tree since keeps only what was synced of it.
    const Bytes new_bytes = now.empty() ? old_bytes : read_all(now);
    const std::uint64_t longest = std::max(old_bytes.size(), new_bytes.size());
    const std::uint64_t pages = (longest + power_loss_page - 1) / power_loss_page;
    std::vector<bool> is_new(pages);
    for (std::uint64_t p = 0; p < pages; ++p) is_new[p] = page_is_new(rel, p, old_bytes, new_bytes);
    const bool new_length = pages > 0 && is_new[pages - 1];
    Bytes disk(new_length ? new_bytes.size() : old_bytes.size(), 0);
    for (std::uint64_t p = 0; p < pages; ++p) {
      const Bytes& from = is_new[p] ? new_bytes : old_bytes;
      const std::uint64_t lo = p * power_loss_page;
      const std::uint64_t hi = std::min<std::uint64_t>({lo + power_loss_page, from.size(), disk.size()});
      if (lo < hi) std::copy(from.begin() + lo, from.begin() + hi, disk.begin() + lo);
    }
    write_all(out / rel, disk);
  }

  bool page_is_new(const stdfs::path& rel, std::uint64_t page, const Bytes& old_bytes, const Bytes& new_bytes) {
    switch (loss_.pages) {
      case PowerLoss::Pages::synced:
        return false;
      case PowerLoss::Pages::written:
        return true;
      case PowerLoss::Pages::random: {
        if (same_page(old_bytes, new_bytes, page)) return false;  // no draw: a mix follows the changed pages only
        return std::uniform_int_distribution<int>(0, 1)(random_) == 1;
      }
      case PowerLoss::Pages::chosen:
        return loss_.page_is_new && loss_.page_is_new(rel, page);
    }
    return false;
  }

  static bool same_page(const Bytes& a, const Bytes& b, std::uint64_t page) {
    const std::uint64_t lo = page * power_loss_page, hi = lo + power_loss_page;
    if (std::min<std::uint64_t>(a.size(), hi) != std::min<std::uint64_t>(b.size(), hi)) return false;
    const std::uint64_t end = std::min<std::uint64_t>(a.size(), hi);
    return lo >= end || std::equal(a.begin() + lo, a.begin() + end, b.begin() + lo);
  }

  stdfs::path root_;
  stdfs::path images_;
  const PowerLoss& loss_;
  std::mt19937_64 random_;
  std::map<std::string, stdfs::path> current_;  // identity -> where the file is now
};

}  // namespace

SyncRecording::SyncRecording(const stdfs::path& root, const stdfs::path& images)
    : root_(stdfs::weakly_canonical(root)), images_(images) {
  stdfs::create_directories(images_);
  record_tree(images_, root_);
}

void SyncRecording::before_msync(const void* addr, std::size_t len) {
  const std::lock_guard lock(recording_mutex);
  const auto begin = reinterpret_cast<std::uintptr_t>(addr);
  auto mapped = mapping_at(begin);
  if (!mapped || !under(root_, mapped->path)) return;
  struct stat st {};
  if (::stat(mapped->path.c_str(), &st) != 0 || st.st_ino != mapped->ino) return;
  auto id = identity_of(mapped->path);
  if (!id) return;
  // The mapping may reach past the end of the file, where a read faults.
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t reach = std::min<std::uint64_t>(len, mapped->end - begin);
  const std::uint64_t copy = mapped->offset >= size ? 0 : std::min(reach, size - mapped->offset);
  ImageFile image(images_, *id);
  image.put(static_cast<const std::uint8_t*>(addr), mapped->offset, copy);
  image.resize(size);
}

void SyncRecording::before_fsync(int fd) {
  const std::lock_guard lock(recording_mutex);
  std::error_code ec;
  const stdfs::path path = stdfs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  if (ec || (path != root_ && !under(root_, path))) return;
  auto id = identity_of(fd, "", AT_EMPTY_PATH);
  if (!id) return;
  if (id->directory) {
    record_directory(images_, *id, path);
    return;
  }
  // The caller's descriptor may be open for writing only, and its offset is the caller's.
  const Descriptor readable(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
  if (readable.fd < 0) fail("open for reading");
  record_file_content(images_, *id, readable.fd);
}

void build_disk(const stdfs::path& root, const stdfs::path& images, const stdfs::path& out, const PowerLoss& loss) {
  DiskBuilder(stdfs::weakly_canonical(root), images, loss).lay(out);
}

}  // namespace quelvane::testing
