// The queue classes: a dataset's queue and its consumer handles, the store's journal queue and
// its consumer handles, and the bridge that lets a Python callable serve as a wake callback.
#pragma once

#include <memory>
#include <string_view>

#include "boundary/classes.h"
#include "journal/queue.h"
#include "queue/mod.h"

namespace quelvane::python {

struct DatasetQueueClass {
  static constexpr std::string_view name = "DatasetQueue";
  using Payload = quelvane::DatasetQueue;
  static ClassMembers members();
};

struct DatasetQueueConsumerClass {
  static constexpr std::string_view name = "DatasetQueueConsumer";
  using Payload = quelvane::DatasetQueueConsumer;
  static ClassMembers members();
};

struct JournalQueueClass {
  static constexpr std::string_view name = "JournalQueue";
  using Payload = std::shared_ptr<quelvane::JournalQueue>;
  static ClassMembers members();
};

struct JournalQueueConsumerClass {
  static constexpr std::string_view name = "JournalQueueConsumer";
  using Payload = quelvane::JournalQueueConsumer;
  static ClassMembers members();
};

// A wake callback that calls `callable` with no arguments, attached to the interpreter, and
// reports what it raises through sys.unraisablehook. It holds one strong reference, released
// (by the deferred-release rule) when the last holder lets go.
WakeCallback python_wake_callback(PyRef callable);

}  // namespace quelvane::python
