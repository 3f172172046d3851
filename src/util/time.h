// Durations as whole u64 seconds plus nanoseconds (a Python caller may give 2**64-1 seconds),
// instants of the monotonic clock, and deadlines that saturate instead of overflowing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace quelvane {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // below 1e9

  static constexpr Duration from_secs(std::uint64_t s) { return {s, 0}; }
  static Duration from_millis(std::uint64_t ms) {
    return {ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1'000'000)};
  }
  bool is_zero() const { return secs == 0 && nanos == 0; }
  // The same span in nanoseconds, or none when it does not fit the clock's range.
  std::optional<Clock::duration> to_clock() const;
  auto operator<=>(const Duration&) const = default;
};

// base + d, or none ("never") when the sum is beyond the clock's range.
std::optional<Instant> deadline_after(Instant base, Duration d);
// now - earlier, 0 when earlier is later than now.
Clock::duration elapsed_since(Instant earlier, Instant now);
bool elapsed_at_least(Instant earlier, Instant now, Duration d);

// Wall clock: milliseconds and seconds since the Unix epoch, 0 when the clock reads before it.
std::int64_t unix_millis_now();
std::int64_t unix_secs_now();

}  // namespace quelvane
