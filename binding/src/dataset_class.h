// Dataset: the Python handle through which a program writes, reads and queries one dataset. Only
// a Store makes them. (Not dataset.h: that name is the core's, and the binding's headers come
// first on the include path.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "boundary/classes.h"
#include "dataset.h"

namespace quelvane::python {

struct DatasetPayload {
  std::string data_dir;  // the dataset's directory as text, taken at hand-out
  quelvane::Dataset handle;
  std::uint64_t id;  // unique within the Store object that handed it out
  bool read_only;    // the store's effective read-only flag at hand-out
};

struct DatasetClass {
  static constexpr std::string_view name = "Dataset";
  using Payload = DatasetPayload;
  static ClassMembers members();
};

// A new Dataset object for a handle a store hands out; the directory text is taken here, bytes
// that are not UTF-8 becoming U+FFFD.
PyResult<PyRef> new_dataset_object(quelvane::Dataset handle, std::uint64_t id, bool read_only);

}  // namespace quelvane::python
