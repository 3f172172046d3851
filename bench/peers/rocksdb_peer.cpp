#include "rocksdb_peer.h"

#include <rocksdb/cache.h>
#include <rocksdb/db.h>
#include <rocksdb/options.h>
#include <rocksdb/table.h>

#include <array>
#include <string>

namespace bench {

namespace {

constexpr int kZstdLevel = 6;
constexpr std::size_t kBlockCacheBytes = std::size_t{256} << 20;

using KeyBytes = std::array<char, 8>;

KeyBytes encode_key(std::int64_t ts) {
  KeyBytes k;
  auto word = static_cast<std::uint64_t>(ts);
  for (int i = 7; i >= 0; --i) {
    k[static_cast<std::size_t>(i)] = static_cast<char>(word & 0xff);
    word >>= 8;
  }
  return k;
}

std::int64_t decode_key(const rocksdb::Slice& s) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < 8 && i < s.size(); ++i) word = (word << 8) | static_cast<unsigned char>(s[i]);
  return static_cast<std::int64_t>(word);
}

std::span<const std::uint8_t> view(const rocksdb::Slice& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

class RocksdbPeer final : public Peer {
 public:
  ~RocksdbPeer() override { close(); }

  std::string_view name() const override { return "rocksdb"; }

  void open(const std::filesystem::path& dir) override {
    rocksdb::Options options;
    options.create_if_missing = true;
    options.error_if_exists = true;
    options.compression = rocksdb::kZSTD;
    options.compression_opts.level = kZstdLevel;
    rocksdb::BlockBasedTableOptions table;
    table.block_cache = rocksdb::NewLRUCache(kBlockCacheBytes);
    options.table_factory.reset(rocksdb::NewBlockBasedTableFactory(table));
    rocksdb::DB* db = nullptr;
    check(rocksdb::DB::Open(options, dir.string(), &db), "DB::Open");
    db_.reset(db);
    write_options_.disableWAL = true;
  }

  void put(std::int64_t ts, std::span<const std::uint8_t> data) override {
    KeyBytes k = encode_key(ts);
    rocksdb::Slice key(k.data(), k.size());
    rocksdb::Slice val(reinterpret_cast<const char*>(data.data()), data.size());
    check(db_->Put(write_options_, key, val), "Put");
  }

  // Without a log the memtable is the only copy: flushing it is what puts the records,
  // compressed, into table files.
  void finish_load() override { check(db_->Flush(rocksdb::FlushOptions()), "Flush"); }

  void scan(RecordSink& sink) override {
    std::unique_ptr<rocksdb::Iterator> it(db_->NewIterator(rocksdb::ReadOptions()));
    for (it->SeekToFirst(); it->Valid(); it->Next()) sink.take(decode_key(it->key()), view(it->value()));
    check(it->status(), "Iterator");
  }

  bool get(std::int64_t ts, RecordSink& sink) override {
    KeyBytes k = encode_key(ts);
    rocksdb::Slice key(k.data(), k.size());
    value_.Reset();
    rocksdb::Status s = db_->Get(rocksdb::ReadOptions(), db_->DefaultColumnFamily(), key, &value_);
    if (s.IsNotFound()) return false;
    check(s, "Get");
    sink.take(ts, view(value_));
    return true;
  }

  void close() override {
    value_.Reset();
    if (db_) check(db_->Close(), "Close");
    db_.reset();
  }

 private:
  void check(const rocksdb::Status& s, const char* call) {
    if (!s.ok()) die(name(), std::string(call) + ": " + s.ToString());
  }

  std::unique_ptr<rocksdb::DB> db_;
  rocksdb::WriteOptions write_options_;
  rocksdb::PinnableSlice value_;  // pins the cached block instead of copying the value out
};

}  // namespace

std::unique_ptr<Peer> make_rocksdb_peer() { return std::make_unique<RocksdbPeer>(); }

}  // namespace bench
