#include "time.h"

#include <limits>

namespace quelvane {

std::optional<Clock::duration> Duration::to_clock() const {
  using Rep = Clock::duration::rep;
  constexpr std::uint64_t kNanosPerSec = 1'000'000'000;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<Rep>::max());
  if (secs > (kMax - nanos) / kNanosPerSec) return std::nullopt;
  auto total = std::chrono::nanoseconds(static_cast<Rep>(secs * kNanosPerSec + nanos));
  return std::chrono::duration_cast<Clock::duration>(total);
}

std::optional<Instant> deadline_after(Instant base, Duration d) {
  auto span = d.to_clock();
  if (!span) return std::nullopt;
  auto room = Instant::max() - base;
  if (*span > room) return std::nullopt;
  return base + *span;
}

Clock::duration elapsed_since(Instant earlier, Instant now) {
  return now > earlier ? now - earlier : Clock::duration::zero();
}

bool elapsed_at_least(Instant earlier, Instant now, Duration d) {
  auto span = d.to_clock();
  if (!span) return false;
  return elapsed_since(earlier, now) >= *span;
}

std::int64_t unix_millis_now() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  return ms < 0 ? 0 : ms;
}

std::int64_t unix_secs_now() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto s = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return s < 0 ? 0 : s;
}

}  // namespace quelvane
