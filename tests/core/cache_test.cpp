#include "cache.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "util/bytes.h"

namespace quelvane {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

BlockPayload block(std::size_t len, std::uint8_t fill = 0) {
  return std::make_shared<const std::vector<std::uint8_t>>(len, fill);
}

BlockKey key(std::uint64_t block, std::uint64_t dataset = 1, std::uint64_t segment = 0) {
  return {dataset, segment, block};
}

// The test holds one reference and the cache another exactly while the block is cached.
bool cached(const BlockPayload& p) { return p.use_count() == 2; }

// A cache whose clock moves only when the test says so.
class CacheTest : public ::testing::Test {
 protected:
  BlockCache make(std::uint64_t budget) {
    return BlockCache(budget, [this] { return now_; });
  }
  void tick(Clock::duration d = seconds(1)) { now_ += d; }

  Instant now_ = Instant{} + seconds(1000);
};

TEST_F(CacheTest, DisabledCacheKeepsNothing) {
  auto cache = make(0);
  auto p = block(10);
  EXPECT_EQ(cache.insert(key(0), p), nullptr);
  EXPECT_EQ(p.use_count(), 1);
  EXPECT_EQ(cache.get(key(0)), nullptr);
  EXPECT_FALSE(cache.invalidate(key(0)));
  EXPECT_EQ(cache.remove_dataset(1), 0u);
  EXPECT_EQ(cache.evict_idle(Duration{}), 0u);
  EXPECT_EQ(cache.max_memory(), 0u);
}

struct EvictionCase {
  const char* name;
  std::uint64_t budget;
  std::vector<std::size_t> sizes;  // inserted in order, one clock tick apart
  std::vector<bool> survives;
};

TEST_F(CacheTest, EvictsOldestFirstDownToEightyFivePercent) {
  const EvictionCase cases[] = {
      // 888 + 296 > 1000: target 850, keep 554, at least 334 must go: two entries.
      {"budget 1000", 1000, {200, 200, 200, 200}, {false, false, true, true}},
      // 592 + 296 == 888 is not over the budget.
      {"exactly full", 888, {200, 200, 200}, {true, true, true}},
      // 888 > 887: target 753, keep 457, 135 must go: one entry.
      {"one over", 887, {200, 200, 200}, {false, true, true}},
      // target 888, keep 592: exactly 296 must go, and removing one entry reaches it.
      {"stops once reached", 1045, {200, 200, 200, 200}, {false, true, true, true}},
      // 2096 exceeds the target: everything else goes, and the block is cached anyway.
      {"oversized", 1000, {200, 200, 2000}, {false, false, true}},
      {"oversized alone", 100, {200}, {true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto cache = make(c.budget);
    std::vector<BlockPayload> blocks;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      tick();
      blocks.push_back(block(c.sizes[i]));
      EXPECT_EQ(cache.insert(key(i), blocks.back()), blocks.back());
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(cached(blocks[i]), c.survives[i]) << "block " << i;
  }
}

TEST_F(CacheTest, InsertOfPresentKeyKeepsPresentPayloadAndItsAge) {
  auto cache = make(1000);
  auto first = block(200, 1);
  cache.insert(key(0), first);
  tick();
  auto second = block(200);
  cache.insert(key(1), second);
  tick();
  auto third = block(200);
  cache.insert(key(2), third);
  tick();

  auto replacement = block(200, 2);
  EXPECT_EQ(cache.insert(key(0), replacement), first);
  EXPECT_EQ(replacement.use_count(), 1);

  // Had the second insert refreshed key 0, key 1 and key 2 would go instead.
  tick();
  auto fourth = block(200);
  cache.insert(key(3), fourth);
  EXPECT_FALSE(cached(first));
  EXPECT_FALSE(cached(second));
  EXPECT_TRUE(cached(third));
  EXPECT_TRUE(cached(fourth));
}

TEST_F(CacheTest, LookupRefreshesAccessSoRecentlyReadBlockSurvives) {
  auto cache = make(1000);
  std::vector<BlockPayload> blocks;
  for (std::uint64_t i = 0; i < 3; ++i) {
    tick();
    blocks.push_back(block(200));
    cache.insert(key(i), blocks.back());
  }
  tick();
  EXPECT_EQ(cache.get(key(0)), blocks[0]);
  tick();
  blocks.push_back(block(200));
  cache.insert(key(3), blocks.back());
  EXPECT_TRUE(cached(blocks[0]));
  EXPECT_FALSE(cached(blocks[1]));
  EXPECT_FALSE(cached(blocks[2]));
  EXPECT_TRUE(cached(blocks[3]));
}

TEST_F(CacheTest, EvictIdleRemovesEntriesAtLeastThatOld) {
  auto cache = make(1 << 20);
  auto old_block = block(10), edge = block(10), young = block(10);
  cache.insert(key(0), old_block);
  tick(seconds(5));
  cache.insert(key(1), edge);
  tick(milliseconds(1));
  cache.insert(key(2), young);
  tick(seconds(5) - milliseconds(1));

  EXPECT_EQ(cache.evict_idle(Duration{UINT64_MAX, 0}), 0u);
  EXPECT_EQ(cache.evict_idle(Duration::from_secs(5)), 2u);
  EXPECT_FALSE(cached(old_block));
  EXPECT_FALSE(cached(edge));
  EXPECT_TRUE(cached(young));
  EXPECT_EQ(cache.evict_idle(Duration{}), 1u);
  EXPECT_FALSE(cached(young));
}

TEST_F(CacheTest, EvictIdleZeroRemovesEverything) {
  auto cache = make(1 << 20);
  for (std::uint64_t i = 0; i < 3; ++i) cache.insert(key(i), block(10));
  EXPECT_EQ(cache.evict_idle(Duration{}), 3u);
  EXPECT_EQ(cache.get(key(0)), nullptr);
}

TEST_F(CacheTest, KeysIsolateDatasetsAndSegments) {
  auto cache = make(1 << 20);
  auto a = block(10, 1), b = block(10, 2), c = block(10, 3);
  cache.insert(key(64, 1, 0), a);
  EXPECT_EQ(cache.get(key(64, 2, 0)), nullptr);
  EXPECT_EQ(cache.get(key(64, 1, 4096)), nullptr);
  EXPECT_EQ(cache.insert(key(64, 2, 0), b), b);
  EXPECT_EQ(cache.insert(key(64, 1, 4096), c), c);
  EXPECT_EQ(cache.get(key(64, 1, 0)), a);
  EXPECT_EQ(cache.get(key(64, 2, 0)), b);
  EXPECT_EQ(cache.get(key(64, 1, 4096)), c);

  EXPECT_EQ(cache.remove_dataset(1), 2u);
  EXPECT_EQ(cache.remove_dataset(1), 0u);
  EXPECT_FALSE(cached(a));
  EXPECT_FALSE(cached(c));
  EXPECT_EQ(cache.get(key(64, 2, 0)), b);
}

TEST_F(CacheTest, InvalidateRemovesOnce) {
  auto cache = make(1 << 20);
  auto p = block(10);
  cache.insert(key(0), p);
  EXPECT_TRUE(cache.invalidate(key(0)));
  EXPECT_FALSE(cache.invalidate(key(0)));
  EXPECT_EQ(p.use_count(), 1);
}

// Every way out of the cache must give its cost back to the budget: with three 296-byte entries
// in a 1000-byte budget and one removed, another block fits without evicting anything.
TEST_F(CacheTest, RemovalsReturnTheirCostToTheBudget) {
  struct RemovalCase {
    const char* name;
    std::function<void(BlockCache&)> remove_first;
  };
  const RemovalCase cases[] = {
      {"invalidate", [](BlockCache& c) { EXPECT_TRUE(c.invalidate(key(0, 7))); }},
      {"remove_dataset", [](BlockCache& c) { EXPECT_EQ(c.remove_dataset(7), 1u); }},
      {"evict_idle", [](BlockCache& c) { EXPECT_EQ(c.evict_idle(Duration::from_secs(10)), 1u); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto cache = make(1000);
    cache.insert(key(0, 7), block(200));
    tick(seconds(10));
    std::vector<BlockPayload> rest{block(200), block(200), block(200)};
    cache.insert(key(1), rest[0]);
    cache.insert(key(2), rest[1]);
    c.remove_first(cache);
    // Counting the removed entry still, this insert would evict the other two.
    cache.insert(key(3), rest[2]);
    for (const auto& p : rest) EXPECT_TRUE(cached(p));
  }
}

// Many entries come and go through every way out (invalidation, a dataset's removal, idle
// eviction), so the table grows, probes past collisions and closes holes inside runs; after each
// step every key is found exactly when a model says it is cached.
TEST_F(CacheTest, EveryEntryStaysFoundWhileOthersComeAndGo) {
  auto cache = make(1ull << 40);
  std::map<std::tuple<std::uint64_t, std::uint64_t>, BlockPayload> model;  // (dataset, block)
  std::mt19937_64 rng(3);
  auto check = [&](const char* after) {
    for (std::uint64_t d = 1; d <= 4; ++d)
      for (std::uint64_t b = 0; b < 300; ++b) {
        const auto it = model.find({d, b});
        const BlockPayload got = cache.get(key(b, d));
        ASSERT_EQ(got, it == model.end() ? nullptr : it->second) << after << " " << d << "/" << b;
      }
  };
  for (int round = 0; round < 6; ++round) {
    for (int n = 0; n < 500; ++n) {
      const std::uint64_t d = 1 + rng() % 4, b = rng() % 300;
      auto p = block(1);
      const BlockPayload kept = cache.insert(key(b, d), p);
      model.try_emplace({d, b}, p);
      ASSERT_EQ(kept, model.at({d, b}));
    }
    check("inserts");
    for (int n = 0; n < 300; ++n) {
      const std::uint64_t d = 1 + rng() % 4, b = rng() % 300;
      ASSERT_EQ(cache.invalidate(key(b, d)), model.erase({d, b}) == 1);
    }
    check("invalidations");
    tick();
    for (std::uint64_t b = 0; b < 300; b += 3) {
      if (model.contains({1, b})) {
        ASSERT_NE(cache.get(key(b, 1)), nullptr);  // refreshed: survives the idle eviction
      }
    }
    tick();
    const std::size_t idle = std::erase_if(model, [](const auto& kv) {
      return !(std::get<0>(kv.first) == 1 && std::get<1>(kv.first) % 3 == 0);
    });
    EXPECT_EQ(cache.evict_idle(Duration::from_secs(2)), idle);
    check("idle eviction");
    const std::size_t of_1 = model.size();
    EXPECT_EQ(cache.remove_dataset(1), of_1);
    model.clear();
    check("removal");
  }
}

// Entries of six datasets fill a table close to half full, so they share long probe runs, and
// leave it every way there is (capacity eviction on most inserts, invalidation, idle eviction,
// the removal of other datasets) while their holes are closed by moving later entries back;
// removing one dataset then takes exactly the entries of it that a lookup finds, returns their
// number, and leaves every entry of the others found.
TEST_F(CacheTest, RemovingADatasetTakesExactlyItsOwnEntries) {
  constexpr std::uint64_t kDatasets = 6, kBlocks = 200, kCost = 1 + 96;
  auto cache = make(500 * kCost);
  std::mt19937_64 rng(11);
  std::vector<BlockPayload> held;  // keeps payloads alive, so a cached one is told by its pointer
  auto present = [&](std::uint64_t d) {
    std::vector<std::uint64_t> found;
    for (std::uint64_t segment = 0; segment < 2; ++segment)
      for (std::uint64_t b = 0; b < kBlocks; ++b)
        if (cache.get(key(b, d, segment)) != nullptr) found.push_back(segment * kBlocks + b);
    return found;
  };
  auto remove_and_check = [&](std::uint64_t gone, const char* after) {
    SCOPED_TRACE(after);
    std::vector<std::vector<std::uint64_t>> before;
    for (std::uint64_t d = 1; d <= kDatasets; ++d) before.push_back(present(d));
    ASSERT_EQ(cache.remove_dataset(gone), before[gone - 1].size()) << "dataset " << gone;
    EXPECT_EQ(cache.remove_dataset(gone), 0u);
    for (std::uint64_t d = 1; d <= kDatasets; ++d)
      ASSERT_EQ(present(d), d == gone ? std::vector<std::uint64_t>{} : before[d - 1]) << "dataset " << d;
  };
  for (int round = 0; round < 8; ++round) {
    for (int n = 0; n < 700; ++n) {
      tick(milliseconds(1));
      held.push_back(block(1));
      cache.insert(key(rng() % kBlocks, 1 + rng() % kDatasets, rng() % 2), held.back());
    }
    remove_and_check(1 + rng() % kDatasets, "capacity eviction");
    for (int n = 0; n < 100; ++n) cache.invalidate(key(rng() % kBlocks, 1 + rng() % kDatasets));
    remove_and_check(1 + rng() % kDatasets, "invalidation");
    tick(seconds(10));
    for (std::uint64_t b = 0; b < kBlocks; b += 2) cache.get(key(b, 1 + b % kDatasets));
    cache.evict_idle(Duration::from_secs(5));
    remove_and_check(1 + rng() % kDatasets, "idle eviction");
    EXPECT_EQ(cache.remove_dataset(kDatasets + 1), 0u);  // nothing of it was ever cached
  }
}

TEST(HotBlockTest, ServesLivePayloadOfItsKeyOnly) {
  BlockCache cache(1 << 20);
  HotBlock hot;
  EXPECT_EQ(hot.get(key(0)), nullptr);

  auto cached_payload = cache.insert(key(0), block(10));
  hot.set(key(0), cached_payload);
  cached_payload.reset();
  EXPECT_NE(hot.get(key(0)), nullptr);  // the cache keeps it alive
  EXPECT_EQ(hot.get(key(1)), nullptr);
  EXPECT_EQ(hot.get(key(0, 2)), nullptr);

  auto reader = cache.get(key(0));
  cache.invalidate(key(0));
  EXPECT_EQ(hot.get(key(0)), reader);  // a reader still holds it
  reader.reset();
  EXPECT_EQ(hot.get(key(0)), nullptr);  // the weak reference kept nothing alive

  auto other = block(10);
  hot.set(key(1), other);
  EXPECT_EQ(hot.get(key(1)), other);
  EXPECT_EQ(hot.get(key(0)), nullptr);
}

std::vector<std::uint8_t> records(const std::vector<std::pair<std::int64_t, std::string>>& items) {
  std::vector<std::uint8_t> out;
  for (const auto& [ts, data] : items) {
    std::size_t at = out.size();
    out.resize(at + 12 + data.size());
    bytes::store_le<std::uint32_t>(out.data() + at, static_cast<std::uint32_t>(data.size()));
    bytes::store_le<std::int64_t>(out.data() + at + 4, ts);
    std::copy(data.begin(), data.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 12));
  }
  return out;
}

std::vector<std::uint8_t> as_vec(std::string_view s) { return {s.begin(), s.end()}; }

TEST(RecordReaderTest, ReadsRecordsAtTheirOffsets) {
  auto payload = records({{42, "hello"}, {-7, "abc"}, {0, ""}});
  ASSERT_EQ(payload.size(), 44u);
  struct Case {
    std::uint16_t in_block;
    std::int64_t ts;
    std::string data;
  };
  for (const Case& c : {Case{0, 42, "hello"}, Case{17, -7, "abc"}, Case{32, 0, ""}}) {
    SCOPED_TRACE(c.in_block);
    auto rec = HotBlock::read_record(payload, c.in_block);
    ASSERT_TRUE(rec.has_value()) << rec.error().display();
    EXPECT_EQ(rec->first, c.ts);
    EXPECT_EQ(rec->second, as_vec(c.data));
    auto len = HotBlock::record_len(payload, c.in_block);
    ASSERT_TRUE(len.has_value());
    EXPECT_EQ(*len, c.data.size());
  }
}

TEST(RecordReaderTest, RefusesOffsetsOutsideThePayload) {
  const std::string hot_index = "hot block: record index out of bounds";
  const std::string hot_data = "hot block: record data out of bounds";
  auto two = records({{1, "abcde"}, {2, "xyz"}});  // 32 bytes
  auto overlong = records({{1, "abc"}});
  bytes::store_le<std::uint32_t>(overlong.data(), 4);
  auto huge = records({{1, "abc"}});
  bytes::store_le<std::uint32_t>(huge.data(), UINT32_MAX);

  struct Case {
    const char* name;
    std::vector<std::uint8_t> payload;
    std::uint16_t in_block;
    std::string read_error;  // empty: the read succeeds
    std::string len_error;
  };
  const Case cases[] = {
      {"header one byte short", two, 32 - 11, hot_index, hot_index},
      {"at the end", two, 32, hot_index, hot_index},
      {"far past the end", two, UINT16_MAX, hot_index, hot_index},
      {"empty payload", {}, 0, hot_index, hot_index},
      // record_len reads only the length field, so a header that fits is enough for it.
      {"length one past the end", overlong, 0, hot_data, ""},
      {"length near u32 max", huge, 0, hot_data, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto rec = HotBlock::read_record(c.payload, c.in_block);
    auto len = HotBlock::record_len(c.payload, c.in_block);
    if (c.read_error.empty()) {
      EXPECT_TRUE(rec.has_value());
    } else {
      ASSERT_FALSE(rec.has_value());
      EXPECT_EQ(rec.error(), Error::invalid_data(c.read_error));
    }
    if (c.len_error.empty()) {
      EXPECT_TRUE(len.has_value());
    } else {
      ASSERT_FALSE(len.has_value());
      EXPECT_EQ(len.error(), Error::invalid_data(c.len_error));
    }
  }
}

TEST(RecordReaderTest, PlainMessagesForCacheHits) {
  auto overlong = records({{1, "abc"}});
  bytes::store_le<std::uint32_t>(overlong.data(), 4);
  auto len = HotBlock::record_len(overlong, 5, RecordMessages::Plain);
  ASSERT_FALSE(len.has_value());
  EXPECT_EQ(len.error(), Error::invalid_data("record index out of bounds"));
  auto idx = HotBlock::read_record(overlong, 5, RecordMessages::Plain);
  ASSERT_FALSE(idx.has_value());
  EXPECT_EQ(idx.error(), Error::invalid_data("record index out of bounds"));
  auto data = HotBlock::read_record(overlong, 0, RecordMessages::Plain);
  ASSERT_FALSE(data.has_value());
  EXPECT_EQ(data.error(), Error::invalid_data("record data out of bounds"));
}

}  // namespace
}  // namespace quelvane
