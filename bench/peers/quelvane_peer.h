// The store's own dataset with the default options (zstd level 6, 64 MiB data segments, 16 MiB
// index segments, sparse index) and a 256 MiB block cache, as a store would attach it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "dataset.h"
#include "error.h"
#include "peer.h"

namespace bench {

inline constexpr std::string_view kQuelvaneName = "quelvane";
inline constexpr std::string_view kQuelvaneViewName = "quelvane-view";

std::unique_ptr<Peer> make_quelvane_peer();
// The same dataset, whose scan hands each record over as a view into its decoded block (the
// path the Python module reads through) instead of collecting a vector of copies.
std::unique_ptr<Peer> make_quelvane_view_peer();

// A failed call of the store ends the run with its message.
void check_ok(const quelvane::Status& s, const char* what);
template <class T>
T value_or_die(quelvane::Result<T> r, const char* what) {
  if (!r) die(kQuelvaneName, std::string(what) + ": " + r.error().display());
  return std::move(r).value();
}

// That dataset, created in the empty directory dir with its cache attached; a failure ends the
// run.
quelvane::Dataset create_bench_dataset(const std::filesystem::path& dir);

}  // namespace bench
