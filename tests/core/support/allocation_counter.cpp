#include "support/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace quelvane::testing {

namespace {

thread_local bool counting = false;
thread_local std::uint64_t allocations = 0;
thread_local bool failing = false;
thread_local std::uint64_t spared_left = 0;
thread_local std::uint64_t failing_left = 0;
thread_local std::uint64_t failures = 0;

// Whether this allocation is to fail; counts it either way.
bool refuse() {
  if (counting) ++allocations;
  if (!failing) return false;
  if (spared_left > 0) {
    --spared_left;
    return false;
  }
  if (failing_left == 0) return false;
  if (failing_left != FailingAllocation::kEvery) --failing_left;
  ++failures;
  return true;
}

}  // namespace

AllocationCounter::AllocationCounter() {
  allocations = 0;
  counting = true;
}

AllocationCounter::~AllocationCounter() { counting = false; }

std::uint64_t AllocationCounter::count() const { return allocations; }

FailingAllocation::FailingAllocation(std::uint64_t spared, std::uint64_t count) {
  spared_left = spared;
  failing_left = count;
  failures = 0;
  failing = true;
}

FailingAllocation::~FailingAllocation() { failing = false; }

std::uint64_t FailingAllocation::failed() const { return failures; }

}  // namespace quelvane::testing

// Linked into a test executable that uses a counter or a failing allocation, these take the
// place of the global allocation functions for the whole process; aligned forms keep the
// library's own pair.
void* operator new(std::size_t n) {
  if (quelvane::testing::refuse()) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
