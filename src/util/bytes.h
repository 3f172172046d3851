// Fixed-width little-endian fields in byte buffers. Every on-disk integer goes through these:
// mapped bytes are never overlaid with structs, so alignment and byte order never matter.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "../error.h"

namespace quelvane::bytes {

// off + len <= size, without overflowing.
constexpr bool fits(std::uint64_t size, std::uint64_t off, std::uint64_t len) {
  return off <= size && len <= size - off;
}

template <class T>
  requires std::is_integral_v<T>
T load_le(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}

template <class T>
  requires std::is_integral_v<T>
void store_le(std::uint8_t* p, T v) {
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  std::memcpy(p, &v, sizeof v);
}

// Bounds-checked forms. Callers validate offsets against the buffer first and report their
// own errors; reaching past the end here is a broken invariant.
template <class T>
T get(std::span<const std::uint8_t> buf, std::uint64_t off) {
  QV_ASSERT(fits(buf.size(), off, sizeof(T)), "load past the end of a buffer");
  return load_le<T>(buf.data() + off);
}

template <class T>
void put(std::span<std::uint8_t> buf, std::uint64_t off, T v) {
  QV_ASSERT(fits(buf.size(), off, sizeof(T)), "store past the end of a buffer");
  store_le<T>(buf.data() + off, v);
}

inline void copy_in(std::span<std::uint8_t> buf, std::uint64_t off, std::span<const std::uint8_t> src) {
  QV_ASSERT(fits(buf.size(), off, src.size()), "copy past the end of a buffer");
  if (!src.empty()) std::memmove(buf.data() + off, src.data(), src.size());
}

inline std::span<const std::uint8_t> slice(std::span<const std::uint8_t> buf, std::uint64_t off,
                                           std::uint64_t len) {
  QV_ASSERT(fits(buf.size(), off, len), "slice past the end of a buffer");
  return buf.subspan(off, len);
}

// True for an empty span too: what a file creation cut short by a crash leaves behind.
inline bool all_zero(std::span<const std::uint8_t> buf) {
  for (std::uint8_t b : buf)
    if (b != 0) return false;
  return true;
}

inline std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace quelvane::bytes
