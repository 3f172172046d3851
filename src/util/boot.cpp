#include "boot.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace quelvane::util {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx\n": 32 hex digits, dashes and white space skipped.
std::optional<BootId> parse_boot_id(const char* text, std::size_t len) {
  BootId id{};
  std::size_t digits = 0;
  for (std::size_t i = 0; i < len; ++i) {
    char c = text[i];
    if (c == '-' || c == '\n' || c == ' ') continue;
    int v = hex_value(c);
    if (v < 0 || digits == 32) return std::nullopt;
    id[digits / 2] = static_cast<std::uint8_t>(id[digits / 2] << 4 | v);
    ++digits;
  }
  if (digits != 32) return std::nullopt;
  // An all-zero identifier would read as "not known" in a stamp.
  if (std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0; })) return std::nullopt;
  return id;
}

std::optional<BootId> read_kernel_boot_id() {
  int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[64];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  return parse_boot_id(buf, static_cast<std::size_t>(n));
}

struct BootIdSource {
  std::mutex mu;
  bool overridden = false;
  std::optional<BootId> override_id;
  std::once_flag read_once;
  std::optional<BootId> kernel_id;
};

BootIdSource& source() {
  // Never destroyed: an open may run while static destructors do.
  static BootIdSource* s = new BootIdSource;
  return *s;
}

}  // namespace

std::optional<BootId> current_boot_id() {
  BootIdSource& s = source();
  {
    std::lock_guard lock(s.mu);
    if (s.overridden) return s.override_id;
  }
  std::call_once(s.read_once, [&s] { s.kernel_id = read_kernel_boot_id(); });
  return s.kernel_id;
}

void set_boot_id_for_testing(std::optional<BootId> id) {
  BootIdSource& s = source();
  std::lock_guard lock(s.mu);
  s.overridden = true;
  s.override_id = id;
}

void reset_boot_id_for_testing() {
  BootIdSource& s = source();
  std::lock_guard lock(s.mu);
  s.overridden = false;
  s.override_id.reset();
}

bool is_other_boot(const BootId& stamped) {
  if (std::all_of(stamped.begin(), stamped.end(), [](std::uint8_t b) { return b == 0; })) return false;
  std::optional<BootId> now = current_boot_id();
  return now && *now != stamped;
}

}  // namespace quelvane::util
