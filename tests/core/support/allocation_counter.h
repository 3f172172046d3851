// Counts the calling thread's heap allocations while a counter lives, for the paths that must
// not allocate; and makes them fail, for the paths that must survive running out of memory.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>

namespace quelvane::testing {

class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  std::uint64_t count() const;
};

// While alive, the calling thread's heap allocations fail with std::bad_alloc once `spared`
// of them have succeeded, as when memory has run out: every one after that fails too, or only
// the next `count` of them, as when memory comes back at once. One at a time; other threads
// allocate as usual.
class FailingAllocation {
 public:
  static constexpr std::uint64_t kEvery = ~std::uint64_t{0};
  explicit FailingAllocation(std::uint64_t spared = 0, std::uint64_t count = kEvery);
  ~FailingAllocation();
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

  // How many allocations have failed so far.
  std::uint64_t failed() const;
};

// Runs attempt() with the calling thread's allocations failing once 0, 1, 2, ... of them have
// succeeded, until a run completes without std::bad_alloc, and returns what that run returned.
// after_failure() runs after each run that ran out of memory, with memory back.
template <class Attempt, class AfterFailure>
auto once_memory_suffices(Attempt&& attempt, AfterFailure&& after_failure) -> decltype(attempt()) {
  constexpr std::uint64_t kMostAllocations = 10'000;
  for (std::uint64_t spared = 0; spared < kMostAllocations; ++spared) {
    std::optional<decltype(attempt())> done;
    try {
      FailingAllocation shortage(spared);
      done.emplace(attempt());
    } catch (const std::bad_alloc&) {
      after_failure();
      continue;
    }
    return std::move(*done);
  }
  throw std::logic_error("the attempt never completed, whatever memory it was given");
}

}  // namespace quelvane::testing
