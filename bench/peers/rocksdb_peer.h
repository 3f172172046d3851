// RocksDB: zstd level 6, no write-ahead log, big-endian timestamp keys so the bytewise order is
// the time order; the block cache sized like the store's.
#pragma once

#include <memory>

#include "peer.h"

namespace bench {

std::unique_ptr<Peer> make_rocksdb_peer();

}  // namespace bench
