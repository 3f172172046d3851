#include "lmdb_peer.h"

#include <lmdb.h>

#include <string>

namespace bench {

namespace {

// Big enough for the largest run; the file only takes the pages written.
constexpr std::size_t kMapSize = std::size_t{16} << 30;

class LmdbPeer final : public Peer {
 public:
  ~LmdbPeer() override { close(); }

  std::string_view name() const override { return "lmdb"; }

  void open(const std::filesystem::path& dir) override {
    check(mdb_env_create(&env_), "mdb_env_create");
    check(mdb_env_set_mapsize(env_, kMapSize), "mdb_env_set_mapsize");
    // No sync at commit, as the other engines run without waiting for the device.
    check(mdb_env_open(env_, dir.c_str(), MDB_NOSYNC, 0644), "mdb_env_open");
    check(mdb_txn_begin(env_, nullptr, 0, &txn_), "mdb_txn_begin");
    check(mdb_dbi_open(txn_, nullptr, MDB_INTEGERKEY, &dbi_), "mdb_dbi_open");
  }

  void put(std::int64_t ts, std::span<const std::uint8_t> data) override {
    auto key_word = static_cast<std::uint64_t>(ts);
    MDB_val key{sizeof key_word, &key_word};
    MDB_val val{data.size(), const_cast<std::uint8_t*>(data.data())};
    // The load is in key order, so every put goes to the tree's right edge.
    check(mdb_put(txn_, dbi_, &key, &val, MDB_APPEND), "mdb_put");
  }

  void finish_load() override {
    MDB_txn* txn = txn_;
    txn_ = nullptr;
    check(mdb_txn_commit(txn), "mdb_txn_commit");
  }

  void scan(RecordSink& sink) override {
    ensure_read_txn();
    MDB_cursor* cursor = nullptr;
    check(mdb_cursor_open(read_txn_, dbi_, &cursor), "mdb_cursor_open");
    MDB_val key, val;
    int rc = mdb_cursor_get(cursor, &key, &val, MDB_FIRST);
    while (rc == 0) {
      sink.take(load_key(key), view(val));
      rc = mdb_cursor_get(cursor, &key, &val, MDB_NEXT);
    }
    mdb_cursor_close(cursor);
    if (rc != MDB_NOTFOUND) check(rc, "mdb_cursor_get");
  }

  bool get(std::int64_t ts, RecordSink& sink) override {
    ensure_read_txn();
    auto key_word = static_cast<std::uint64_t>(ts);
    MDB_val key{sizeof key_word, &key_word};
    MDB_val val;
    int rc = mdb_get(read_txn_, dbi_, &key, &val);
    if (rc == MDB_NOTFOUND) return false;
    check(rc, "mdb_get");
    sink.take(ts, view(val));
    return true;
  }

  void close() override {
    if (read_txn_ != nullptr) mdb_txn_abort(read_txn_);
    if (txn_ != nullptr) mdb_txn_abort(txn_);
    if (env_ != nullptr) mdb_env_close(env_);
    read_txn_ = txn_ = nullptr;
    env_ = nullptr;
  }

 private:
  void check(int rc, const char* call) {
    if (rc != 0) die(name(), std::string(call) + ": " + mdb_strerror(rc));
  }

  // One read transaction serves the scan and every point read, as a reader would hold it.
  void ensure_read_txn() {
    if (read_txn_ == nullptr) check(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &read_txn_), "mdb_txn_begin");
  }

  static std::int64_t load_key(const MDB_val& key) {
    std::uint64_t word = 0;
    __builtin_memcpy(&word, key.mv_data, sizeof word);
    return static_cast<std::int64_t>(word);
  }
  static std::span<const std::uint8_t> view(const MDB_val& val) {
    return {static_cast<const std::uint8_t*>(val.mv_data), val.mv_size};
  }

  MDB_env* env_ = nullptr;
  MDB_txn* txn_ = nullptr;
  MDB_txn* read_txn_ = nullptr;
  MDB_dbi dbi_ = 0;
};

}  // namespace

std::unique_ptr<Peer> make_lmdb_peer() { return std::make_unique<LmdbPeer>(); }

}  // namespace bench
