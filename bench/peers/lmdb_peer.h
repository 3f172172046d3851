// LMDB: one B+tree keyed by the timestamp as a native-order integer, loaded in one write
// transaction with appends, read from one read transaction.
#pragma once

#include <memory>

#include "peer.h"

namespace bench {

std::unique_ptr<Peer> make_lmdb_peer();

}  // namespace bench
