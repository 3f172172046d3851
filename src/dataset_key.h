// The identity of a dataset: its name and its type.
#pragma once

#include <functional>
#include <string>

namespace quelvane {

struct DataSetKey {
  std::string name;
  std::string dataset_type;

  bool operator==(const DataSetKey&) const = default;

  // DataSetKey { name: "a", dataset_type: "b" }
  std::string debug() const;
};

}  // namespace quelvane

template <>
struct std::hash<quelvane::DataSetKey> {
  std::size_t operator()(const quelvane::DataSetKey& k) const noexcept;
};
