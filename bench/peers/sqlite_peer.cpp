#include "sqlite_peer.h"

#include <sqlite3.h>

#include <string>

namespace bench {

namespace {

class SqlitePeer final : public Peer {
 public:
  ~SqlitePeer() override { close(); }

  std::string_view name() const override { return "sqlite"; }

  void open(const std::filesystem::path& dir) override {
    std::string path = (dir / "bench.db").string();
    check(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), "open");
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=OFF");
    // A page cache as large as the store's block cache (negative: KiB).
    exec("PRAGMA cache_size=-262144");
    exec("CREATE TABLE records(ts INTEGER PRIMARY KEY, data BLOB NOT NULL)");
    insert_ = prepare("INSERT INTO records(ts, data) VALUES(?1, ?2)");
    scan_ = prepare("SELECT ts, data FROM records ORDER BY ts");
    get_ = prepare("SELECT data FROM records WHERE ts = ?1");
    exec("BEGIN");
  }

  void put(std::int64_t ts, std::span<const std::uint8_t> data) override {
    check(sqlite3_bind_int64(insert_, 1, ts), "bind");
    check(sqlite3_bind_blob(insert_, 2, data.data(), static_cast<int>(data.size()), SQLITE_STATIC), "bind");
    step_done(insert_, "insert");
  }

  void finish_load() override { exec("COMMIT"); }

  void scan(RecordSink& sink) override {
    int rc;
    while ((rc = sqlite3_step(scan_)) == SQLITE_ROW) sink.take(sqlite3_column_int64(scan_, 0), blob(scan_, 1));
    if (rc != SQLITE_DONE) check(rc, "scan");
    sqlite3_reset(scan_);
  }

  bool get(std::int64_t ts, RecordSink& sink) override {
    check(sqlite3_bind_int64(get_, 1, ts), "bind");
    int rc = sqlite3_step(get_);
    bool found = rc == SQLITE_ROW;
    if (found) sink.take(ts, blob(get_, 0));
    else if (rc != SQLITE_DONE) check(rc, "get");
    sqlite3_reset(get_);
    return found;
  }

  void close() override {
    for (sqlite3_stmt** s : {&insert_, &scan_, &get_}) {
      sqlite3_finalize(*s);
      *s = nullptr;
    }
    if (db_ != nullptr) check(sqlite3_close(db_), "close");
    db_ = nullptr;
  }

 private:
  void check(int rc, const char* what) {
    if (rc != SQLITE_OK) {
      std::string msg = std::string(what) + ": " + sqlite3_errstr(rc);
      if (db_ != nullptr) msg += std::string(" (") + sqlite3_errmsg(db_) + ")";
      die(name(), msg);
    }
  }
  void exec(const char* sql) { check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), sql); }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v2(db_, sql, -1, &s, nullptr), sql);
    return s;
  }
  void step_done(sqlite3_stmt* s, const char* what) {
    int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) check(rc, what);
  }
  static std::span<const std::uint8_t> blob(sqlite3_stmt* s, int col) {
    const void* p = sqlite3_column_blob(s, col);
    int n = sqlite3_column_bytes(s, col);
    return {static_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n)};
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* scan_ = nullptr;
  sqlite3_stmt* get_ = nullptr;
};

}  // namespace

std::unique_ptr<Peer> make_sqlite_peer() { return std::make_unique<SqlitePeer>(); }

}  // namespace bench
