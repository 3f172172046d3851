// SQLite: WAL journal, synchronous off, the whole load in one transaction, a rowid table whose
// integer primary key is the timestamp.
#pragma once

#include <memory>

#include "peer.h"

namespace bench {

std::unique_ptr<Peer> make_sqlite_peer();

}  // namespace bench
