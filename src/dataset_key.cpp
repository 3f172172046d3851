#include "dataset_key.h"

#include "util/text.h"

namespace quelvane {

std::string DataSetKey::debug() const {
  return "DataSetKey { name: " + text::debug_quoted(name) + ", dataset_type: " + text::debug_quoted(dataset_type) +
         " }";
}

}  // namespace quelvane

std::size_t std::hash<quelvane::DataSetKey>::operator()(const quelvane::DataSetKey& k) const noexcept {
  std::size_t h = std::hash<std::string>{}(k.name);
  return h ^ (std::hash<std::string>{}(k.dataset_type) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2));
}
