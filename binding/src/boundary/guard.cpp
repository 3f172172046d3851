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
  // A half-raised exception of the failed body would otherwise become the panic's context.
  PyErr_Clear();
  // Null only when the module's execution failed before it made the class.
  PyObject* cls = exceptions::panic_class();
  std::string_view text = message != nullptr && *message != '\0' ? std::string_view(message) : kGenericPanic;
  PyRef arg = cls != nullptr ? lossy_str(text) : PyRef{};
  if (!arg) {
    // Without memory for the message the failure is raised as what stopped it.
    raise_no_memory();
    return;
  }
  PyErr_SetObject(cls, arg.get());
}

}  // namespace quelvane::python
