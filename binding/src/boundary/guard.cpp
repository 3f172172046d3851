#include "boundary/guard.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "exceptions.h"

namespace quelvane::python {

namespace {
constexpr std::string_view kGenericPanic = "internal failure in quelvane (no further detail)";
}

void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_panic(const char* message) noexcept {
  try {
    // A half-raised exception of the failed body would otherwise become the panic's context.
    PyErr_Clear();
    PyObject* cls = exceptions::panic_class();
    std::string_view text = message != nullptr && *message != '\0' ? std::string_view(message) : kGenericPanic;
    PyRef arg = lossy_str(text);
    if (!arg) abort_at_boundary();
    PyErr_SetObject(cls, arg.get());
  } catch (...) {
    abort_at_boundary();
  }
}

void raise_no_memory() noexcept {
  PyErr_Clear();
  (void)PyErr_NoMemory();
}

}  // namespace quelvane::python
