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

}  // namespace quelvane::text
