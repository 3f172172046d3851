// The store's own dataset with the default options (zstd level 6, 64 MiB data segments, 16 MiB
// index segments, sparse index) and a 256 MiB block cache, as a store would attach it.
#pragma once

#include <memory>

#include "peer.h"

namespace bench {

std::unique_ptr<Peer> make_quelvane_peer();

}  // namespace bench
