// QueryIterator and QueryLengthIterator: the lazy results of Dataset.query and
// Dataset.query_length. Each holds one range cursor while it is open and none once it is closed
// or has run to the end of its range.
#pragma once

#include <optional>
#include <string_view>

#include "boundary/classes.h"
#include "dataset.h"

namespace quelvane::python {

struct QueryIteratorClass {
  static constexpr std::string_view name = "QueryIterator";
  using Payload = std::optional<quelvane::QueryState>;
  static ClassMembers members();
};

// Never a module attribute; its class object is made with the others when the module is executed.
struct QueryLengthIteratorClass {
  static constexpr std::string_view name = "QueryLengthIterator";
  using Payload = std::optional<quelvane::QueryState>;
  static ClassMembers members();
};

}  // namespace quelvane::python
