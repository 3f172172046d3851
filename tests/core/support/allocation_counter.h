// Counts the calling thread's heap allocations while a counter lives, for the paths that must
// not allocate.
#pragma once

#include <cstdint>

namespace quelvane::testing {

class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  std::uint64_t count() const;
};

}  // namespace quelvane::testing
