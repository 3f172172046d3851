#include "text.h"

namespace quelvane::text {

std::string hex(std::uint64_t v) {
  char buf[20];
  auto res = std::to_chars(buf, buf + sizeof buf, v, 16);
  return "0x" + std::string(buf, res.ptr);
}

std::string debug_quoted(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\u{" + hex(c).substr(2) + "}";
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string lossy_utf8(std::string_view in) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    const auto c = static_cast<unsigned char>(in[i]);
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (c < 0x80) {
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    if (len == 0) {
      out.append(kReplacement);
      ++i;
      continue;
    }
    // The longest valid prefix of the sequence; a cut-short one becomes one replacement.
    std::size_t good = 1;
    while (good < len && i + good < in.size()) {
      const auto b = static_cast<unsigned char>(in[i + good]);
      const unsigned char min = good == 1 ? lo : 0x80;
      const unsigned char max = good == 1 ? hi : 0xBF;
      if (b < min || b > max) break;
      ++good;
    }
    if (good == len) {
      out.append(in.substr(i, len));
    } else {
      out.append(kReplacement);
    }
    i += good;
  }
  return out;
}

}  // namespace quelvane::text
