// StoreConfig: the store's options as an immutable Python object.
#pragma once

#include <string_view>

#include "boundary/classes.h"
#include "config.h"

namespace quelvane::python {

struct StoreConfigClass {
  static constexpr std::string_view name = "StoreConfig";
  using Payload = quelvane::StoreConfig;
  static ClassMembers members();
};

}  // namespace quelvane::python
