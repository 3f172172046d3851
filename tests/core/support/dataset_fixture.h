// Small datasets in temporary directories, and fakes for what the store hands a dataset.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset.h"
#include "support/temp_dir.h"

namespace quelvane::testing {

inline std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }
inline std::vector<std::uint8_t> filled(std::size_t n, std::uint8_t v) { return std::vector<std::uint8_t>(n, v); }
inline std::string text_of(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

// Sizes small enough that segments grow and roll over within a test.
inline DataSetConfig small_config() {
  DataSetConfig c;
  c.data_segment_size = 1 << 20;
  c.initial_data_segment_size = 16 << 10;
  c.index_segment_size = 4096;
  c.initial_index_segment_size = 1024;
  return c;
}

template <class T>
T ok(Result<T> r) {
  if (!r) ADD_FAILURE() << "unexpected error: " << r.error().display();
  return std::move(r).value();
}
inline void ok(Status s) {
  if (!s) ADD_FAILURE() << "unexpected error: " << s.error().display();
}

template <class T>
Error err(const Result<T>& r) {
  if (r) {
    ADD_FAILURE() << "expected an error";
    return Error::invalid_data("<no error>");
  }
  return r.error();
}

struct FakeJournal : JournalHook {
  struct Call {
    std::string op;
    std::uint64_t identifier;
    IndexEntry entry;
    std::uint32_t previous = 0;
    std::uint32_t appended = 0;
    bool operator==(const Call&) const = default;
  };
  std::vector<Call> calls;
  // Makes make_room fail, as a journal that cannot grow does.
  bool fail = false;
  int rooms_held = 0;
  // When set, each call wakes it, as the journal wakes its queue, and hands the callbacks back.
  std::shared_ptr<QueueNotifier> queue;

  Result<JournalRoom> make_room(Change, std::uint64_t) override {
    if (fail) return std::unexpected(Error::io("journal append failed"));
    ++rooms_held;
    return JournalRoom(*this);
  }
  void give_back_room() noexcept override { --rooms_held; }
  Status record(JournalRoom room, Call c, Wake& wake) {
    EXPECT_TRUE(room.held()) << c.op << ": the room was made before the change";
    calls.push_back(c);
    if (queue) wake.absorb(queue->wake());
    return {};
  }
  Status on_write(JournalRoom room, std::uint64_t id, const IndexEntry& e, Wake& wake) override {
    return record(std::move(room), {"write", id, e}, wake);
  }
  Status on_delete(JournalRoom room, std::uint64_t id, const IndexEntry& e, Wake& wake) override {
    return record(std::move(room), {"delete", id, e}, wake);
  }
  Status on_append(JournalRoom room, std::uint64_t id, const IndexEntry& e, std::uint32_t prev, std::uint32_t n,
                   Wake& wake) override {
    return record(std::move(room), {"append", id, e, prev, n}, wake);
  }
  int made_durable = 0;
  Status make_durable() override {
    ++made_durable;
    return {};
  }
};

// Records each call and whether the dataset's mutex was free at that moment.
struct FakeOnClose : OnCloseCallback {
  std::vector<DataSetKey> keys;
  std::vector<bool> unlocked;
  std::optional<Dataset> watched;
  void on_close(const DataSetKey& key, const Dataset&) override {
    keys.push_back(key);
    unlocked.push_back(watched && watched->lock().has_value());
  }
};

struct FakeQueue : AttachedQueue {
  std::vector<std::string> calls;
  std::optional<Error> fail;
  std::uint32_t groups = 0;

  Status outcome() {
    if (fail) return std::unexpected(*fail);
    return {};
  }
  Status close_all(Wake&) override {
    calls.push_back("close_all");
    return outcome();
  }
  Status flush_group(const std::string& g) override {
    calls.push_back("flush_group " + g);
    return outcome();
  }
  Status flush_all() override {
    calls.push_back("flush_all");
    return outcome();
  }
  std::uint32_t consumer_group_count() override { return groups; }
};

class DatasetTest : public ::testing::Test {
 protected:
  DataSetKey key{"a", "b"};
  TempDir tmp;
  fs::Path dir() const { return tmp.path() / "a" / "b"; }

  Dataset create(DataSetConfig c = small_config()) { return ok(Dataset::create(key, dir(), c)); }
  Dataset reopen() { return ok(Dataset::open(key, dir())); }

  // A context as a writable store hands it out.
  DatasetContext context(std::uint64_t cache_budget = 1 << 20) {
    DatasetContext ctx;
    ctx.block_cache = std::make_shared<BlockCache>(cache_budget);
    ctx.dirty_queue = std::make_shared<DirtyQueue>();
    ctx.on_close = on_close;
    return ctx;
  }
  std::shared_ptr<FakeOnClose> on_close = std::make_shared<FakeOnClose>();

  // Runs f on the locked state (what the queue does when it attaches itself).
  template <class F>
  static void edit(Dataset& ds, F f) {
    auto g = ds.lock();
    ASSERT_TRUE(g);
    f(**g);
  }
  static void write_n(Dataset& ds, std::int64_t first, std::int64_t last, std::size_t len = 10) {
    for (std::int64_t t = first; t <= last; ++t)
      ok(ds.write(t, filled(len, static_cast<std::uint8_t>(t))));
  }
  static std::vector<std::int64_t> timestamps(const std::vector<RecordData>& records) {
    std::vector<std::int64_t> out;
    for (const auto& r : records) out.push_back(r.first);
    return out;
  }
};

}  // namespace quelvane::testing
