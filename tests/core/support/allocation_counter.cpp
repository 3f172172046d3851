#include "support/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace quelvane::testing {

namespace {

thread_local bool counting = false;
thread_local std::uint64_t allocations = 0;

}  // namespace

AllocationCounter::AllocationCounter() {
  allocations = 0;
  counting = true;
}

AllocationCounter::~AllocationCounter() { counting = false; }

std::uint64_t AllocationCounter::count() const { return allocations; }

}  // namespace quelvane::testing

// Linked into a test executable that uses a counter, these take the place of the global
// allocation functions for the whole process; aligned forms keep the library's own pair.
void* operator new(std::size_t n) {
  if (quelvane::testing::counting) ++quelvane::testing::allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
