// The inspection records: read-only snapshots of a dataset's or a consumer group's configuration
// and state, as the inspecting methods took them.
#pragma once

#include <string_view>

#include "boundary/classes.h"
#include "dataset.h"
#include "queue/mod.h"

namespace quelvane::python {

struct DataSetInfoClass {
  static constexpr std::string_view name = "DataSetInfo";
  using Payload = quelvane::DataSetInfo;
  static ClassMembers members();
};

struct DataSetStateClass {
  static constexpr std::string_view name = "DataSetState";
  using Payload = quelvane::DataSetState;
  static ClassMembers members();
};

struct DataSetInspectResultClass {
  static constexpr std::string_view name = "DataSetInspectResult";
  using Payload = quelvane::DataSetInspectResult;
  static ClassMembers members();
};

struct DatasetQueueConsumerInfoClass {
  static constexpr std::string_view name = "DatasetQueueConsumerInfo";
  using Payload = quelvane::DatasetQueueConsumerInfo;
  static ClassMembers members();
};

struct DatasetQueueConsumerPendingEntryClass {
  static constexpr std::string_view name = "DatasetQueueConsumerPendingEntry";
  using Payload = quelvane::DatasetQueueConsumerPendingEntry;
  static ClassMembers members();
};

struct DatasetQueueConsumerStateClass {
  static constexpr std::string_view name = "DatasetQueueConsumerState";
  using Payload = quelvane::DatasetQueueConsumerState;
  static ClassMembers members();
};

struct DatasetQueueConsumerInspectResultClass {
  static constexpr std::string_view name = "DatasetQueueConsumerInspectResult";
  using Payload = quelvane::DatasetQueueConsumerInspectResult;
  static ClassMembers members();
};

}  // namespace quelvane::python
