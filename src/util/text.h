// Building message texts: plain values in decimal, hexadecimal with 0x, and the quoted
// debug form of a string.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace quelvane::text {

inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }

template <std::integral T>
  requires(!std::same_as<T, char> && !std::same_as<T, bool>)
void append(std::string& out, T v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

inline void append(std::string& out, bool v) { out.append(v ? "true" : "false"); }

// cat("need ", 9, " bytes") == "need 9 bytes"
template <class... A>
std::string cat(const A&... parts) {
  std::string out;
  (append(out, parts), ...);
  return out;
}

// hex(3) == "0x3": lower-case digits, no padding.
std::string hex(std::uint64_t v);

// The double-quoted debug form of a string, with \" \\ \n \r \t \0 escapes and \u{..} for
// other control characters.
std::string debug_quoted(std::string_view s);

// The bytes as UTF-8 text, each invalid or cut-short sequence replaced by U+FFFD (paths and
// directory entries are bytes, inspection records are text).
std::string lossy_utf8(std::string_view bytes);

}  // namespace quelvane::text
