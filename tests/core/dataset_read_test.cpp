#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <limits>
#include <thread>

#include "store/store.h"
#include "support/dataset_fixture.h"
#include "support/payloads.h"

namespace quelvane::testing {
namespace {

constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
using Ts = std::vector<std::int64_t>;

class DatasetRead : public DatasetTest {
 protected:
  std::optional<std::int64_t> read_ts(Dataset& ds, std::int64_t t) {
    auto r = ok(ds.read(t));
    return r ? std::optional(r->first) : std::nullopt;
  }
  Ts query_ts(Dataset& ds, std::int64_t start, std::int64_t end) { return timestamps(ok(ds.query_all(start, end))); }
  Ts lazy_ts(Dataset& ds, std::int64_t start, std::int64_t end) {
    return timestamps(ok(ok(ds.query(start, end)).collect_records()));
  }
};

TEST_F(DatasetRead, SingleTimestampResolution) {
  Dataset ds = create();
  for (std::int64_t t : {0, 5, 9}) ok(ds.write(t, bytes("r")));
  const std::pair<std::int64_t, std::optional<std::int64_t>> cases[] = {
      {-1, 9}, {-10, 0}, {-11, std::nullopt}, {7, std::nullopt}, {5, 5}, {kMin, std::nullopt}, {kMax, std::nullopt},
  };
  for (const auto& [t, want] : cases) {
    EXPECT_EQ(read_ts(ds, t), want) << t;
    EXPECT_EQ(ok(ds.read_exist(t)), want.has_value()) << t;
    EXPECT_EQ(ok(ds.read_length(t)).has_value(), want.has_value()) << t;
  }
  Dataset empty = ok(Dataset::create(key, tmp.path() / "empty", small_config()));
  EXPECT_EQ(read_ts(empty, -1), std::nullopt);
  EXPECT_EQ(ok(empty.read_latest()), std::nullopt);
}

TEST_F(DatasetRead, CountingBackFromTheLargestTimestamp) {
  Dataset ds = create();
  ok(ds.write(kMax, bytes("top")));
  EXPECT_EQ(read_ts(ds, -1), kMax);
  EXPECT_EQ(query_ts(ds, -1, -1), (Ts{kMax}));
}

TEST_F(DatasetRead, AbsentRecordsAndLengths) {
  DataSetConfig c = small_config();
  c.index_continuous = 1;
  Dataset ds = create(c);
  ok(ds.write(1, {}));
  ok(ds.write(3, bytes("abc")));
  ok(ds.write(4, bytes("d")));
  ok(ds.delete_record(4));
  EXPECT_EQ(ok(ds.read_length(1)), 0u);  // 0 bytes, not absent
  EXPECT_TRUE(ok(ds.read_exist(1)));
  EXPECT_FALSE(ok(ds.read_exist(2)));  // placeholder
  EXPECT_FALSE(ok(ds.read_exist(4)));  // deleted
  EXPECT_EQ(ok(ds.read_latest()), std::nullopt);
  EXPECT_EQ(ok(ds.read_length(3)), 3u);
  EXPECT_EQ(query_ts(ds, 0, 10), (Ts{1, 3}));
  EXPECT_EQ(lazy_ts(ds, 0, 10), (Ts{1, 3}));
  EXPECT_EQ(ok(ds.query_length_all(0, 10)), (std::vector<RecordLength>{{1, 0}, {3, 3}}));
  // The queue's read returns sentinels as they are.
  auto entries = ok(ds.index_entries(0, 10));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_FALSE(entries[1].live());
  EXPECT_EQ(ok(ds.read_entry(entries[2])).second, bytes("abc"));
}

TEST_F(DatasetRead, RangeResolution) {
  Dataset ds = create();
  write_n(ds, 1, 10);
  struct Case {
    std::int64_t start, end;
    Ts want;
  };
  const Case cases[] = {
      {-3, -1, {8, 9, 10}}, {-100, 2, {1, 2}}, {0, -100, {}}, {5, 4, {}}, {kMin, kMax, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {9, kMax, {9, 10}},   {-1, kMax, {10}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(query_ts(ds, c.start, c.end), c.want) << c.start << ".." << c.end;
    EXPECT_EQ(lazy_ts(ds, c.start, c.end), c.want) << c.start << ".." << c.end;
  }
  Dataset empty = ok(Dataset::create(key, tmp.path() / "empty", small_config()));
  auto q = ok(empty.query(-5, 10));
  EXPECT_EQ(q.from(), 0);
  EXPECT_EQ(q.to(), 10);
  EXPECT_TRUE(ok(empty.query(-5, -1)).exhausted());
}

TEST_F(DatasetRead, RetentionWindowHidesOldRecords) {
  DataSetConfig c = small_config();
  c.retention_window = 100;
  Dataset ds = create(c);
  for (std::int64_t t : {850, 899, 900, 950, 1000}) ok(ds.write(t, bytes("r")));
  EXPECT_EQ(read_ts(ds, 899), std::nullopt);
  EXPECT_EQ(read_ts(ds, 900), 900);
  EXPECT_FALSE(ok(ds.read_exist(850)));
  EXPECT_EQ(query_ts(ds, 0, 1000), (Ts{900, 950, 1000}));
  EXPECT_EQ(ok(ds.query(0, 1000)).from(), 900);
  // The bitmap starts at the resolved start; expired bits stay 0.
  auto bitmap = ok(ds.query_exist(850, 1000));
  ASSERT_EQ(bitmap.size(), 19u);
  EXPECT_EQ(bitmap[0], 0);
  EXPECT_EQ(bitmap[6], 1 << 2);   // 899 expired, 900 - 850 = 50
  EXPECT_EQ(bitmap[12], 1 << 4);  // 950 - 850 = 100
  EXPECT_EQ(bitmap[18] & (1 << 6), 1 << 6);  // 1000 - 850 = 150
}

TEST_F(DatasetRead, ExistenceBitmaps) {
  Dataset ds = create();
  for (std::int64_t t : {0, 3, 9}) ok(ds.write(t, bytes("r")));
  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(ok(ds.query_exist(0, 9)), (Bytes{0x09, 0x02}));
  EXPECT_EQ(ok(ds.query_exist(10, 5)), Bytes{});
  EXPECT_EQ(ok(ds.query_exist(-2, -1)), (Bytes{0x02}));
  EXPECT_EQ(ok(ds.query_exist(0, -100)), Bytes{});
  EXPECT_EQ(ok(ds.query_exist(0, 33554431)).size(), 4u << 20);
  EXPECT_EQ(err(ds.query_exist(0, 33554432)), Error::invalid_data("query_exist bitmap exceeds 4 MiB limit: 4194305 bytes"));
  EXPECT_EQ(err(ds.query_exist(0, kMax)), Error::invalid_data("query_exist range overflow"));
  EXPECT_EQ(err(ds.query_exist(1, kMax)),
            Error::invalid_data("query_exist bitmap exceeds 4 MiB limit: 1152921504606846976 bytes"));
  Dataset empty = ok(Dataset::create(key, tmp.path() / "empty", small_config()));
  EXPECT_EQ(ok(empty.query_exist(0, 15)), (Bytes{0, 0}));
  EXPECT_EQ(ok(empty.query_exist(-5, -1)), Bytes{});
  EXPECT_EQ(ok(empty.query_exist(-5, 7)), (Bytes{0}));
}

// One scripted cursor per row: 's' skip 2, 'r' reverse, 'n' next (records 1 to 10).
TEST_F(DatasetRead, CursorSkipAndReverse) {
  Dataset ds = create();
  write_n(ds, 1, 10);
  struct Case {
    const char* script;
    Ts want;
  };
  const Case cases[] = {
      {"snrnsn", {3, 10, 7}},
      {"nnrnn", {1, 2, 10, 9}},
      {"rnsnrn", {10, 7, 1}},
      {"ssssssn", {}},          // skips past the end exhaust the query
      {"nnrnnnnnnnnnn", {1, 2, 10, 9, 8, 7, 6, 5, 4, 3}},
  };
  for (const auto& c : cases) {
    QueryState q = ok(ds.query(1, 10));
    Ts got;
    for (const char* p = c.script; *p; ++p) {
      if (*p == 's') q.skip(2);
      if (*p == 'r') q.reverse();
      if (*p == 'n') {
        if (auto r = ok(q.next_record())) got.push_back(r->first);
      }
    }
    EXPECT_EQ(got, c.want) << c.script;
  }
}

TEST_F(DatasetRead, SkipsCountOnlyLiveEntries) {
  DataSetConfig c = small_config();
  c.index_continuous = 1;
  Dataset ds = create(c);
  for (std::int64_t t : {1, 2, 4, 5, 6}) ok(ds.write(t, bytes("r")));  // 3 is a placeholder
  ok(ds.delete_record(2));
  QueryState q = ok(ds.query(0, 10));
  q.skip(2);  // 1 and 4
  EXPECT_EQ(ok(q.next_record())->first, 5);
  q.reverse();
  q.skip(1);  // 6
  EXPECT_EQ(ok(q.next_record()), std::nullopt);
  EXPECT_TRUE(q.exhausted());
}

TEST_F(DatasetRead, CursorSeesChangesBetweenSteps) {
  Dataset ds = create();
  write_n(ds, 1, 5);
  QueryState q = ok(ds.query(0, 100));
  QueryState to_latest = ok(ds.query(0, -1));
  EXPECT_EQ(ok(q.next_record())->first, 1);
  ok(ds.delete_record(3));
  ok(ds.write(6, bytes("new")));
  ok(ds.release_idle());  // segments closed between steps reopen on the next one
  EXPECT_EQ(timestamps(ok(q.collect_records())), (Ts{2, 4, 5, 6}));
  // The end was fixed when the query was made.
  EXPECT_EQ(timestamps(ok(to_latest.collect_records())), (Ts{1, 2, 4, 5}));
}

TEST_F(DatasetRead, ExhaustionIsFinalAndTakeEndsTheQuery) {
  Dataset ds = create();
  write_n(ds, 1, 3);
  QueryState q = ok(ds.query(1, 3));
  EXPECT_EQ(ok(q.take_records(2)).size(), 2u);
  EXPECT_EQ(ok(q.next_record()), std::nullopt);  // taken: the query is over

  QueryState z = ok(ds.query(1, 3));
  EXPECT_TRUE(ok(z.take_records(0)).empty());
  EXPECT_EQ(ok(z.next_record()), std::nullopt);

  QueryState e = ok(ds.query(1, 3));
  while (ok(e.next_record())) {
  }
  ok(ds.write(4, bytes("late")));
  e.reverse();
  e.skip(1);
  EXPECT_EQ(ok(e.next_record()), std::nullopt);
  ok(ds.close());
  EXPECT_EQ(ok(e.next_record()), std::nullopt);  // exhausted: not even the closed check
}

TEST_F(DatasetRead, ClosedDatasetRefusesReadsAndSteps) {
  Dataset ds = create();
  write_n(ds, 1, 3);
  QueryState q = ok(ds.query(1, 3));
  QueryState lengths = ok(ds.query(1, 3));
  QueryState collected = ok(ds.query(1, 3));
  EXPECT_EQ(ok(q.next_record())->first, 1);
  ok(ds.close());
  const Error closed = Error::invalid_data("dataset a/b is closed");
  EXPECT_EQ(err(q.next_record()), closed);
  EXPECT_EQ(err(lengths.next_length()), closed);
  EXPECT_EQ(err(collected.collect_records()), closed);
  EXPECT_EQ(err(ds.read(1)), closed);
  EXPECT_EQ(err(ds.read_latest()), closed);
  EXPECT_EQ(err(ds.read_exist(1)), closed);
  EXPECT_EQ(err(ds.read_length(1)), closed);
  EXPECT_EQ(err(ds.query(1, 3)), closed);
  EXPECT_EQ(err(ds.query_all(1, 3)), closed);
  EXPECT_EQ(err(ds.query_length_all(1, 3)), closed);
  EXPECT_EQ(err(ds.query_exist(1, 3)), closed);
  EXPECT_EQ(err(ds.index_entries(1, 3)), closed);
  EXPECT_EQ(err(ds.read_entry(IndexEntry{1, 0, 0})), closed);
}

// A loop whose body closes the dataset on the range's last item ends instead of failing: the
// end of the range is known without the lock. A range that reaches past the last record still
// needs the index to know it is over.
TEST_F(DatasetRead, TheStepAfterTheRangesLastItemNeedsNoOpenDataset) {
  struct Case {
    std::int64_t end;
    bool reversed;
    std::string after_close;
  };
  for (const Case& c : std::vector<Case>{{3, false, "end"}, {3, true, "end"}, {10, false, "dataset a/b is closed"}}) {
    TempDir tmp;
    Dataset ds = ok(Dataset::create(key, tmp.path() / "ds", small_config()));
    write_n(ds, 1, 3);
    QueryState q = ok(ds.query(1, c.end));
    if (c.reversed) q.reverse();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(ok(q.next_record()).has_value());
    ok(ds.close());
    auto after = q.next_record();
    EXPECT_EQ(after ? (*after ? "an item" : "end") : after.error().payload(), c.after_close) << c.end;
  }
}

// A kill between the stores of a correction can leave an index slot pointing at another record;
// no read hands that record out as the record of the slot's timestamp.
TEST_F(DatasetRead, AnEntryPointingAtAnotherRecordIsRefused) {
  // Small records share the open raw block; large ones leave record 1 in a sealed block.
  for (std::size_t len : {3u, 40000u}) {
    TempDir tmp;
    Dataset ds = ok(Dataset::create(key, tmp.path() / "ds", small_config()));
    ok(ds.attach_context(context()));
    ok(ds.set_identifier(5));
    ok(ds.write(1, filled(len, 'a')));
    ok(ds.write(2, filled(len, 'b')));
    edit(ds, [](DatasetInner& d) {
      const IndexEntry one = d.index.lookup(1).value().value();
      ASSERT_TRUE(d.index.correct_entry(2, one.block_offset, one.in_block, nullptr).has_value());
    });
    const IndexEntry torn = ok(ds.index_entries(2, 2)).at(0);
    const Error refused = Error::invalid_data("index entry at timestamp 2 points at a record of timestamp 1");
    EXPECT_EQ(err(ds.read(2)), refused) << len;
    EXPECT_EQ(err(ds.read_latest()), refused) << len;
    EXPECT_EQ(err(ds.query_all(0, 10)), refused) << len;
    EXPECT_EQ(err(ok(ds.query(2, 10)).next_record()), refused) << len;
    EXPECT_EQ(err(ds.read_entry(torn)), refused) << len;
    EXPECT_EQ(ok(ds.read(1))->second, filled(len, 'a')) << "the record itself still reads";
  }
}

// A cursor made before the window moved must not hand out what the window now hides.
TEST_F(DatasetRead, CursorAppliesTheCurrentRetentionThreshold) {
  DataSetConfig c = small_config();
  c.retention_window = 10;
  Dataset ds = create(c);
  write_n(ds, 0, 20);
  QueryState q = ok(ds.query(0, 100));
  QueryState back = ok(ds.query(0, 100));
  back.reverse();
  EXPECT_EQ(ok(q.next_record())->first, 10);
  ok(ds.write(30, bytes("r")));  // the threshold moves to 20
  EXPECT_EQ(timestamps(ok(q.collect_records())), (Ts{20, 30}));
  EXPECT_EQ(timestamps(ok(back.collect_records())), (Ts{30, 20}));
}

TEST_F(DatasetRead, LengthCursor) {
  Dataset ds = create();
  ok(ds.write(1, bytes("a")));
  ok(ds.write(2, bytes("bcd")));
  QueryState q = ok(ds.query(0, 5));
  EXPECT_EQ(ok(q.collect_lengths()), (std::vector<RecordLength>{{1, 1}, {2, 3}}));
}

// Without a usable block cache a cursor keeps the block it decoded: the block is read once.
// Corrupting the sealed block on disk after the first record shows it: the cursor reads the
// rest of the block unharmed while a fresh read of the same block fails.
TEST_F(DatasetRead, CursorDecodesEachBlockOnce) {
  struct Case {
    const char* what;
    bool with_context;
  };
  for (const Case& c : {Case{"no context", false}, Case{"cache without budget", true}}) {
    TempDir t;
    Dataset ds = ok(Dataset::create(key, t.path(), small_config()));
    if (c.with_context) {
      ok(ds.attach_context(context(0)));
      ok(ds.set_identifier(9));
    }
    for (std::int64_t ts = 1; ts <= 70; ++ts) ok(ds.write(ts, filled(1000, static_cast<std::uint8_t>(ts))));
    QueryState q = ok(ds.query(1, 64));
    ASSERT_EQ(ok(q.next_record())->second, filled(1000, 1)) << c.what;

    // The first block (records 1 to 64) is sealed; damage its compressed bytes.
    const fs::Path file = t.path() / "data" / DataSegments::file_name(0);
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    std::uint32_t payload = 0;
    f.seekg(124);
    f.read(reinterpret_cast<char*>(&payload), 4);
    ASSERT_GT(payload, 16u);
    f.seekp(124 + 16 + payload / 2);
    f.write("\xde\xad\xbe\xef\xde\xad\xbe\xef", 8);
    f.close();

    EXPECT_FALSE(ds.read(2)) << c.what;
    for (std::int64_t ts = 2; ts <= 64; ++ts) {
      auto r = q.next_record();
      ASSERT_TRUE(r) << c.what << " " << ts << ": " << r.error().display();
      ASSERT_EQ((*r)->second, filled(1000, static_cast<std::uint8_t>(ts))) << c.what;
    }
  }
}

// An eager read's reader holds its block, but must serve from it only while a weak hot block
// would still reach it: once the cache has let the block go, the next record goes back to the
// segment. Damage to the sealed block on disk shows which way each read went.
TEST_F(DatasetRead, AnEagerReadersBlockServesOnlyWhileTheCacheHoldsIt) {
  Dataset ds = create();
  DatasetContext ctx = context();
  const std::shared_ptr<BlockCache> cache = ctx.block_cache;
  ok(ds.attach_context(std::move(ctx)));
  ok(ds.set_identifier(9));
  for (std::int64_t ts = 1; ts <= 70; ++ts) ok(ds.write(ts, filled(1000, static_cast<std::uint8_t>(ts))));

  auto g = ok(ds.lock());
  auto entry = [&](std::int64_t ts) { return ok(g->index.lookup(ts)).value(); };
  for (const BlockReader::Lifetime lifetime : {BlockReader::Lifetime::OneCall, BlockReader::Lifetime::Cursor}) {
    BlockReader reader(lifetime);
    ASSERT_EQ(ok(reader.read_record(*g, entry(1))).second, filled(1000, 1));
    ASSERT_EQ(ok(reader.read_length(*g, entry(2))), 1000u);
  }

  // The first block (records 1 to 64) is sealed; damage its compressed bytes.
  const fs::Path file = dir() / "data" / DataSegments::file_name(0);
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  std::uint32_t payload = 0;
  f.seekg(124);
  f.read(reinterpret_cast<char*>(&payload), 4);
  ASSERT_GT(payload, 16u);
  f.seekp(124 + 16 + payload / 2);
  f.write("\xde\xad\xbe\xef\xde\xad\xbe\xef", 8);
  f.close();

  BlockReader reader(BlockReader::Lifetime::OneCall);
  ASSERT_EQ(ok(reader.read_record(*g, entry(3))).second, filled(1000, 3)) << "from the cache";
  EXPECT_EQ(ok(reader.read_record(*g, entry(4))).second, filled(1000, 4)) << "from the held block";
  EXPECT_EQ(cache->remove_dataset(9), 1u);
  EXPECT_FALSE(reader.read_record(*g, entry(5))) << "the cache let go: decoded again, from the damaged file";
  EXPECT_FALSE(reader.read_length(*g, entry(6)));
}

// A point read finds a cached block by its key alone, without opening the segment or looking at
// the block's header in the file; a write that replaces or deletes one of the block's records
// drops it from the cache, and the next read goes back to the file. Damage to the block's header
// shows which way each read went.
TEST_F(DatasetRead, PointReadsServeCachedBlocksUntilAWriteDropsThem) {
  struct Case {
    const char* what;
    std::function<void(Dataset&)> change;  // changes record 3 of the first block
    std::optional<std::vector<std::uint8_t>> record_3;
  };
  const Case cases[] = {
      {"replaced", [](Dataset& ds) { ok(ds.write(3, bytes("new"))); }, bytes("new")},
      {"deleted", [](Dataset& ds) { ok(ds.delete_record(3)); }, std::nullopt},
  };
  for (const Case& c : cases) {
    TempDir t;
    Dataset ds = ok(Dataset::create(key, t.path(), small_config()));
    ok(ds.attach_context(context()));
    ok(ds.set_identifier(9));
    for (std::int64_t ts = 1; ts <= 70; ++ts) ok(ds.write(ts, filled(1000, static_cast<std::uint8_t>(ts))));
    ASSERT_EQ(ok(ds.read(1))->second, filled(1000, 1)) << c.what;  // the sealed first block, now cached

    // Its header's flags say COMPRESSED without SEALED, which no read of the file accepts.
    {
      std::fstream f(t.path() / "data" / DataSegments::file_name(0), std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(124 + 4);
      f.write("\x01\x00", 2);
    }
    EXPECT_EQ(ok(ds.read(2))->second, filled(1000, 2)) << c.what << ": from the cache";
    std::optional<std::vector<std::uint8_t>> seen;
    ASSERT_TRUE(ok(ds.visit_read(-69, [&](const RecordView& r) {
      seen.emplace(r.data.begin(), r.data.end());
      return true;
    }))) << c.what;
    EXPECT_EQ(seen, filled(1000, 2)) << c.what << ": from the cache, counted back";

    c.change(ds);
    const Error damaged = Error::invalid_data("invalid block flags: SEALED and COMPRESSED must be paired (0x1)");
    EXPECT_EQ(err(ds.read(2)), damaged) << c.what << ": dropped from the cache, read from the file";
    const auto record_3 = ok(ds.read(3));
    EXPECT_EQ(record_3 ? std::optional(record_3->second) : std::nullopt, c.record_3) << c.what;
  }
}

// A read-only handle beside a live writer, as a read-only store holds one. Its index follows the
// writer's files, so it names records in data segments the writer created after the read-only
// open: every read path returns them. Records in an index segment the writer created after the
// open are not in the reader's index and read as absent, never as an error.
TEST_F(DatasetRead, ReadOnlyHandleReadsRecordsInDataSegmentsAWriterAddedSinceItOpened) {
  DataSetConfig c = small_config();
  c.data_segment_size = 64 << 10;
  c.initial_data_segment_size = 4 << 10;
  Dataset writer = create(c);
  const auto value = [](std::int64_t t) {
    return filled(2000 + static_cast<std::size_t>(t), static_cast<std::uint8_t>(t));
  };
  ok(writer.write(0, value(0)));
  Dataset reader = ok(Dataset::open_read_only(key, dir()));
  // Three data segments; the first index segment holds 283 entries.
  constexpr std::int64_t kIndexed = 282;
  for (std::int64_t t = 1; t <= kIndexed + 20; ++t) ok(writer.write(t, value(t)));
  ASSERT_GE(ok(writer.inspect()).state.data_segments, 3u);

  // The farthest segment first, so that the ones between are looked for after it.
  for (std::int64_t t = kIndexed; t >= 0; --t) {
    const auto r = ok(reader.read(t));
    ASSERT_TRUE(r.has_value()) << t;
    EXPECT_EQ(r->second, value(t)) << t;
  }
  std::vector<RecordData> want;
  std::vector<RecordLength> lengths;
  for (std::int64_t t = 0; t <= kIndexed; ++t) {
    want.emplace_back(t, value(t));
    lengths.emplace_back(t, static_cast<std::uint32_t>(value(t).size()));
    EXPECT_EQ(ok(reader.read_length(t)), lengths.back().second) << t;
    std::optional<std::vector<std::uint8_t>> seen;
    EXPECT_TRUE(ok(reader.visit_read(t, [&](const RecordView& v) {
      seen.emplace(v.data.begin(), v.data.end());
      return true;
    })));
    EXPECT_EQ(seen, value(t)) << t;
  }
  EXPECT_EQ(ok(reader.query_all(0, 1000)), want);
  EXPECT_EQ(ok(ok(reader.query(0, 1000)).collect_records()), want);
  EXPECT_EQ(ok(reader.query_length_all(0, 1000)), lengths);
  EXPECT_EQ(ok(ok(reader.query(0, 1000)).collect_lengths()), lengths);
  std::int64_t visited = 0;
  ok(reader.visit_range(0, 1000, [&](const RecordView& v) {
    const std::vector<std::uint8_t> held = value(v.timestamp);
    visited += v.timestamp == visited && std::equal(v.data.begin(), v.data.end(), held.begin(), held.end());
    return true;
  }));
  EXPECT_EQ(visited, kIndexed + 1);
  EXPECT_EQ(ok(reader.read(kIndexed + 10)), std::nullopt);
}

// Read-only stores opened again and again beside a writer in another process, which rolls over
// to new data segments and seals blocks that do not compress, growing the file for their staged
// copies: every record a reader's index names reads whole, the latest ones by point read and by
// range, whatever the writer created or grew since the reader opened.
TEST_F(DatasetRead, ReadOnlyStoresBesideAWriterInAnotherProcessReadEveryRecordTheirIndexNames) {
  const fs::Path root = tmp.path() / "store";
  StoreConfig c;
  c.enable_background_thread = false;
  c.read_only = false;
  c.data_segment_size = 256 << 10;
  c.initial_data_segment_size = 4 << 10;
  c.index_segment_size = 1 << 20;
  const auto value = [](std::int64_t ts) {
    return noise(1500 + static_cast<std::size_t>(ts % 7) * 300, static_cast<std::uint32_t>(ts));
  };
  {
    auto s = ok(Store::open(root, c));
    ok(ok(s->create_dataset("a", "b")).write(0, value(0)));
  }
  constexpr std::int64_t kRecords = 4000;
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto s = Store::open(root, c);
    if (!s) ::_exit(1);
    auto ds = (*s)->open_dataset("a", "b");
    if (!ds) ::_exit(1);
    for (std::int64_t ts = 1; ts <= kRecords; ++ts) {
      if (!ds->write(ts, value(ts))) ::_exit(2);
      if (ts % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ::_exit(0);
  }
  StoreConfig read_only = c;
  read_only.read_only = true;
  std::uint64_t opens = 0;
  std::uint64_t records_read = 0;
  std::vector<std::string> wrong;
  const auto check = [&](std::int64_t ts, const std::vector<std::uint8_t>& data) {
    ++records_read;
    if (data != value(ts) && wrong.size() < 5) wrong.push_back("ts " + std::to_string(ts) + ": wrong bytes");
  };
  const auto note = [&](const std::string& what, const Error& e) {
    if (wrong.size() < 5) wrong.push_back(what + ": " + e.display());
  };
  int status = 0;
  for (bool running = true; running;) {
    running = ::waitpid(pid, &status, WNOHANG) == 0;
    auto reader = Store::open(root, read_only);
    ASSERT_TRUE(reader) << reader.error().display();
    auto ds = (*reader)->open_dataset("a", "b");
    ASSERT_TRUE(ds) << ds.error().display();
    ++opens;
    // The records the writer adds while this reader is open, then the latest ones it saw at open.
    std::this_thread::sleep_for(std::chrono::milliseconds(opens % 5));
    if (auto latest = ds->query_all(-50, -1)) {
      for (const auto& [ts, data] : *latest) check(ts, data);
    } else {
      note("query of the latest 50", latest.error());
    }
    if (auto all = ds->query_all(0, kRecords)) {
      for (const auto& [ts, data] : *all) check(ts, data);
    } else {
      note("query of every record", all.error());
    }
    for (std::int64_t back = -1; back >= -5; --back) {
      auto r = ds->read(back);
      if (!r) note("read " + std::to_string(back), r.error());
      else if (*r) check((*r)->first, (*r)->second);
    }
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer ended with " << status;
  EXPECT_GT(opens, 5u);
  EXPECT_GT(records_read, 10000u);
  EXPECT_EQ(wrong, std::vector<std::string>{});
}

}  // namespace
}  // namespace quelvane::testing
