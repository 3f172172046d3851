// Record payloads for tests: bytes that compress well and bytes that do not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace quelvane::testing {

// Compressible bytes.
inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i % 7);
  return b;
}

// Bytes that do not compress; the same seed gives the same bytes.
inline std::vector<std::uint8_t> noise(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  return b;
}

}  // namespace quelvane::testing
