#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "support/allocation_counter.h"
#include "support/dataset_fixture.h"
#include "support/file_faults.h"

namespace quelvane::testing {
namespace {

constexpr std::size_t k4MiB = 4u << 20;

class DatasetWrite : public DatasetTest {
 protected:
  std::uint64_t invalid(Dataset& ds) { return ok(ds.inspect()).state.total_invalid_record_count; }
  std::uint64_t records(Dataset& ds) { return ok(ds.inspect()).state.total_record_count; }
  std::string read_text(Dataset& ds, std::int64_t ts) {
    auto r = ok(ds.read(ts));
    return r ? text_of(r->second) : "<none>";
  }
};

// Every refusal names its reason and changes nothing.
TEST_F(DatasetWrite, RefusalsInCheckOrder) {
  DataSetConfig c = small_config();
  c.retention_window = 100;
  Dataset ds = create(c);
  ok(ds.write(900, bytes("a")));
  ok(ds.write(1000, bytes("b")));
  const auto before = ok(ds.inspect()).state;
  const std::vector<std::uint8_t> big(k4MiB + 1, 1);

  struct Case {
    const char* what;
    std::function<Status()> op;
    Error expected;
  };
  const Case cases[] = {
      {"write negative", [&] { return ds.write(-1, bytes("x")); },
       Error::invalid_data("write timestamp must be non-negative")},
      {"write oversized", [&] { return ds.write(2000, big); }, Error::invalid_data("record data_len exceeds 4MiB limit")},
      {"write expired", [&] { return ds.write(899, bytes("x")); },
       Error::expired("timestamp 899 is older than retention threshold 900")},
      {"append negative", [&] { return ds.append(-1, bytes("x")); },
       Error::invalid_data("write timestamp must be non-negative")},
      {"append oversized", [&] { return ds.append(1000, big); },
       Error::invalid_data("record data_len exceeds 4MiB limit")},
      {"append expired", [&] { return ds.append(899, bytes("x")); },
       Error::expired("timestamp 899 is older than retention threshold 900")},
      {"append older", [&] { return ds.append(999, bytes("x")); },
       Error::invalid_data("append timestamp is older than latest_written_timestamp")},
      {"empty append older", [&] { return ds.append(999, {}); },
       Error::invalid_data("append timestamp is older than latest_written_timestamp")},
      {"delete negative", [&] { return ds.delete_record(-1); },
       Error::invalid_data("write timestamp must be non-negative")},
      {"delete expired", [&] { return ds.delete_record(899); },
       Error::expired("timestamp 899 is older than retention threshold 900")},
      {"delete absent", [&] { return ds.delete_record(950); }, Error::not_found("no entry at timestamp 950 to delete")},
  };
  for (const auto& c : cases) EXPECT_EQ(err(c.op()), c.expected) << c.what;
  EXPECT_EQ(ok(ds.inspect()).state, before);
  EXPECT_EQ(read_text(ds, 1000), "b");
  // A sparse replacement without an entry is refused only after its copy was stored: the copy
  // stays, counted in the totals and referenced by nothing.
  EXPECT_EQ(err(ds.write(950, bytes("x"))),
            Error::not_found("no index entry at timestamp 950 (required for out-of-order write)"));
  EXPECT_EQ(records(ds), before.total_record_count + 1);
  EXPECT_EQ(ok(ds.read(950)), std::nullopt);
  // The threshold itself is not expired: 900 is replaced.
  ok(ds.write(900, bytes("c")));
  EXPECT_EQ(read_text(ds, 900), "c");
}

TEST_F(DatasetWrite, LimitsAndEmptyDataset) {
  Dataset ds = create();
  EXPECT_EQ(err(ds.delete_record(3)), Error::not_found("no entry to delete at timestamp 3 (dataset is empty)"));
  ok(ds.append(5, {}));  // an empty append creates nothing
  EXPECT_EQ(ds.latest_timestamp(), std::nullopt);
  ok(ds.write(0, std::vector<std::uint8_t>(k4MiB, 7)));
  EXPECT_EQ(ok(ds.read_length(0)), k4MiB);
}

TEST_F(DatasetWrite, CorrectionInPlaceOrReplacement) {
  struct Case {
    const char* what;
    std::size_t first_len;
    std::size_t second_len;
    bool in_place;
  };
  const Case cases[] = {
      {"small records stay in the open block", 3, 5, true},
      {"the first record has a sealed block of its own", 70000, 5, false},
      {"the correction would pass 64 KiB", 10, 65525, false},
      // 16 KiB of file hold the record but not a staged copy of its correction beside it.
      {"no room past the record to stage the new one", 8200, 8200, false},
      {"room to stage the new one", 8100, 8100, true},
  };
  for (const auto& c : cases) {
    TempDir t;
    Dataset ds = ok(Dataset::create(key, t.path(), small_config()));
    ok(ds.write(5, filled(c.first_len, 1)));
    ok(ds.write(5, filled(c.second_len, 2)));
    EXPECT_EQ(ok(ds.read(5))->second, filled(c.second_len, 2)) << c.what;
    EXPECT_EQ(invalid(ds), c.in_place ? 0u : 1u) << c.what;
    EXPECT_EQ(records(ds), c.in_place ? 1u : 2u) << c.what;
    EXPECT_EQ(ds.latest_timestamp(), 5) << c.what;
  }
}

TEST_F(DatasetWrite, ReplacementOfAnOlderRecordCountsTheOldCopy) {
  Dataset ds = create();
  write_n(ds, 1, 3);
  ok(ds.write(2, bytes("new")));
  EXPECT_EQ(read_text(ds, 2), "new");
  EXPECT_EQ(invalid(ds), 1u);
  EXPECT_EQ(records(ds), 4u);
  EXPECT_EQ(ds.latest_timestamp(), 3);
}

// The replaced copy lies in a segment that the new copy's roll-over folds into the state file:
// the state total must count it, or inspect (state totals + the last segment) would miss it.
TEST_F(DatasetWrite, ReplacementThatRollsOverCountsBelowTheNewWatermark) {
  DataSetConfig c = small_config();
  c.data_segment_size = 8192;
  c.initial_data_segment_size = 8192;
  Dataset ds = create(c);
  write_n(ds, 1, 7, 1000);  // fills segment 0
  ok(ds.write(1, filled(1000, 9)));
  auto st = ok(ds.inspect()).state;
  EXPECT_EQ(st.data_segments, 2u);
  EXPECT_EQ(st.total_invalid_record_count, 1u);
  EXPECT_EQ(st.total_record_count, 8u);
  // A later replacement of a record of segment 0 counts there too.
  ok(ds.write(2, filled(10, 9)));
  EXPECT_EQ(invalid(ds), 2u);
  ok(ds.close());
  Dataset again = reopen();
  EXPECT_EQ(invalid(again), 2u);
}

TEST_F(DatasetWrite, ContinuousPlaceholdersAndSparseGaps) {
  DataSetConfig c = small_config();
  c.index_continuous = 1;
  Dataset ds = create(c);
  ok(ds.write(10, bytes("a")));
  ok(ds.write(13, bytes("d")));
  EXPECT_FALSE(ok(ds.read_exist(11)));
  EXPECT_EQ(ok(ds.read(12)), std::nullopt);
  ok(ds.write(12, bytes("c")));  // fills a placeholder: nothing was replaced
  EXPECT_EQ(read_text(ds, 12), "c");
  EXPECT_EQ(invalid(ds), 0u);

  TempDir t;
  Dataset sparse = ok(Dataset::create(key, t.path(), small_config()));
  ok(sparse.write(10, bytes("a")));
  ok(sparse.write(13, bytes("d")));
  EXPECT_EQ(err(sparse.write(12, bytes("c"))),
            Error::not_found("no index entry at timestamp 12 (required for out-of-order write)"));
}

TEST_F(DatasetWrite, WriteAfterDeleteOfTheLatestRestoresIt) {
  Dataset ds = create();
  ok(ds.write(5, bytes("a")));
  ok(ds.delete_record(5));
  EXPECT_EQ(ds.latest_timestamp(), 5);
  EXPECT_EQ(ok(ds.read_latest()), std::nullopt);
  EXPECT_EQ(err(ds.delete_record(5)), Error::not_found("no real data at timestamp 5 (filler)"));
  EXPECT_EQ(err(ds.append(5, bytes("x"))), Error::not_found("latest index entry at timestamp 5 is deleted"));
  ok(ds.write(5, bytes("z")));
  EXPECT_EQ(read_text(ds, 5), "z");
  EXPECT_EQ(invalid(ds), 1u);  // the delete only; the sentinel counts nothing
}

TEST_F(DatasetWrite, AppendExtendsTheLatestRecordOnly) {
  Dataset ds = create();
  ok(ds.append(5, bytes("ab")));  // creates the record
  ok(ds.append(5, bytes("cd")));
  EXPECT_EQ(read_text(ds, 5), "abcd");
  EXPECT_EQ(records(ds), 1u);

  // Refused appends fail with the segment's reason and leave the record as it was.
  ok(ds.write(6, filled(65000, 1)));
  EXPECT_EQ(err(ds.append(6, filled(600, 2))),
            Error::invalid_data("append: final record exceeds pending block capacity"));
  ok(ds.write(7, filled(70000, 1)));
  auto refused = ds.append(7, bytes("x"));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(ok(ds.read_length(7)), 70000u);
  EXPECT_EQ(records(ds), 3u);
}

TEST_F(DatasetWrite, PushNext) {
  Dataset ds = create();
  EXPECT_EQ(ok(ds.push_next(bytes("a"))), 1);
  EXPECT_EQ(ok(ds.push_next(bytes("b"))), 2);
  ok(ds.write(50, bytes("c")));
  EXPECT_EQ(ok(ds.push_next(bytes("d"))), 51);
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  ok(ds.write(kMax, bytes("e")));
  EXPECT_EQ(err(ds.push_next(bytes("f"))),
            Error::invalid_data("cannot push: the latest timestamp is already the largest timestamp "
                                "(9223372036854775807)"));
  EXPECT_EQ(read_text(ds, kMax), "e") << "the stored record stays as it was";
}

TEST_F(DatasetWrite, JournalSeesEachCommittedChange) {
  Dataset ds = create();
  auto journal = std::make_shared<FakeJournal>();
  DatasetContext ctx = context();
  ctx.journal_hook = journal;
  ok(ds.attach_context(std::move(ctx)));
  ok(ds.set_identifier(7));

  ok(ds.write(1, bytes("a")));
  const IndexEntry first = journal->calls.at(0).entry;
  ok(ds.write(1, bytes("bb")));        // correction in place: same position
  ok(ds.append(2, bytes("xyz")));      // new record by append
  ok(ds.append(2, bytes("w")));        // append to it
  ok(ds.append(2, {}));                // nothing
  ok(ds.delete_record(1));
  (void)ds.write(-1, bytes("no"));     // refused: nothing

  ASSERT_EQ(journal->calls.size(), 5u);
  EXPECT_EQ(journal->calls[0].op, "write");
  EXPECT_EQ(journal->calls[0].identifier, 7u);
  EXPECT_EQ(first.timestamp, 1);
  EXPECT_EQ(journal->calls[1], (FakeJournal::Call{"write", 7, first}));
  EXPECT_EQ(journal->calls[2].op, "append");
  EXPECT_EQ(journal->calls[2].previous, 0u);
  EXPECT_EQ(journal->calls[2].appended, 3u);
  EXPECT_EQ(journal->calls[3], (FakeJournal::Call{"append", 7, journal->calls[2].entry, 3, 1}));
  EXPECT_EQ(journal->calls[4], (FakeJournal::Call{"delete", 7, first}));

  EXPECT_EQ(journal->rooms_held, 0) << "each room was given back";

  // A journal that cannot take the record refuses the change before it is made.
  journal->fail = true;
  const auto before = ok(ds.inspect()).state;
  EXPECT_EQ(err(ds.write(3, bytes("refused"))).kind(), ErrorKind::Io);
  EXPECT_EQ(err(ds.append(2, bytes("refused"))).kind(), ErrorKind::Io);
  EXPECT_EQ(err(ds.push_next(bytes("refused"))).kind(), ErrorKind::Io);
  EXPECT_EQ(read_text(ds, 3), "<none>");
  EXPECT_EQ(read_text(ds, 2), "xyzw");
  EXPECT_EQ(ok(ds.inspect()).state, before);
  EXPECT_EQ(journal->calls.size(), 5u);
}

TEST_F(DatasetWrite, JournalWakeRunsAfterTheDatasetIsUnlocked) {
  Dataset ds = create();
  auto journal = std::make_shared<FakeJournal>();
  journal->queue = std::make_shared<QueueNotifier>();
  auto slot = std::make_shared<CallbackSlot>();
  std::vector<bool> unlocked;
  ASSERT_TRUE(ok(slot->try_set(
      std::make_shared<const std::function<void()>>([&] { unlocked.push_back(ds.lock().has_value()); }))));
  ok(journal->queue->register_slot(slot));
  DatasetContext ctx = context();
  ctx.journal_hook = journal;
  ok(ds.attach_context(std::move(ctx)));
  ok(ds.set_identifier(7));

  ok(ds.write(1, bytes("a")));
  ok(ds.append(1, bytes("b")));
  ok(ds.delete_record(1));
  journal->fail = true;
  (void)ds.write(2, bytes("c"));  // refused before the change: nothing to wake

  EXPECT_EQ(unlocked, (std::vector<bool>{true, true, true}));
}

TEST_F(DatasetWrite, OnlyNewInOrderRecordsWakeTheQueue) {
  Dataset ds = create();
  auto notifier = std::make_shared<QueueNotifier>();
  auto slot = std::make_shared<CallbackSlot>();
  int calls = 0;
  std::vector<std::string> seen;
  // The callback reads the dataset it was woken by: it runs once the write has let go of it.
  ASSERT_TRUE(ok(slot->try_set(std::make_shared<const std::function<void()>>([&] {
    ++calls;
    auto r = ds.read(-1);
    seen.push_back(r && *r ? text_of((*r)->second) : "<error>");
  }))));
  ok(notifier->register_slot(slot));
  {
    auto g = ok(ds.lock());
    g->queue_notifier = notifier;
  }

  struct Step {
    const char* what;
    std::function<Status()> op;
    int calls_after;
  };
  const Step steps[] = {
      {"new write", [&] { return ds.write(1, bytes("a")); }, 1},
      {"correction", [&] { return ds.write(1, bytes("b")); }, 1},
      {"append above", [&] { return ds.append(3, bytes("c")); }, 2},
      {"append at latest", [&] { return ds.append(3, bytes("d")); }, 2},
      {"replacement", [&] { return ds.write(1, bytes("e")); }, 2},
      {"delete", [&] { return ds.delete_record(1); }, 2},
      {"push", [&]() -> Status {
         QV_TRY(ds.push_next(bytes("f")));
         return {};
       }, 3},
  };
  for (const auto& s : steps) {
    ok(s.op());
    EXPECT_EQ(calls, s.calls_after) << s.what;
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "c", "f"}));
}

// A continuous write that skips ahead and finds no room for its placeholders and its entry
// (the index segment cannot grow, or the next one cannot be made) is refused before anything is
// written: no placeholder, no record, nothing counted. Once there is room the same write goes
// through, and a reopen agrees.
TEST_F(DatasetWrite, ARefusedContinuousSkipLeavesNoPlaceholders) {
  constexpr std::uint64_t kSlots64 = IndexSegment::kHeaderLen + 64 * IndexSegment::kEntrySize;
  struct Case {
    const char* what;
    std::uint64_t index_segment_size;
    std::uint64_t initial_index_segment_size;
    std::int64_t ts;
  };
  const Case cases[] = {
      {"the segment cannot grow", kSlots64, IndexSegment::kHeaderLen + 8 * IndexSegment::kEntrySize, 45},
      {"the next segment cannot be made", kSlots64, kSlots64, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp2;
    const fs::Path where = tmp2.path() / "a" / "b";
    DataSetConfig config = small_config();
    config.index_continuous = 1;
    config.index_segment_size = c.index_segment_size;
    config.initial_index_segment_size = c.initial_index_segment_size;
    Dataset ds = ok(Dataset::create(key, where, config));
    write_n(ds, 0, 5);
    const auto before = ok(ds.inspect()).state;
    {
      FileSizeLimit limit(512);
      EXPECT_FALSE(ds.write(c.ts, bytes("b")));
    }
    EXPECT_EQ(ds.latest_timestamp(), 5);
    EXPECT_EQ(ok(ds.inspect()).state, before);
    const auto latest = ok(ds.read_latest());
    ASSERT_TRUE(latest.has_value()) << "the latest record, not a placeholder";
    EXPECT_EQ(latest->first, 5);
    EXPECT_EQ(ok(ds.read(6)), std::nullopt);
    ok(ds.write(c.ts, bytes("b")));
    EXPECT_EQ(records(ds), before.total_record_count + 1);
    ok(ds.close());
    Dataset again = ok(Dataset::open(key, where));
    EXPECT_EQ(again.latest_timestamp(), c.ts);
    EXPECT_EQ(read_text(again, c.ts), "b");
    EXPECT_EQ(read_text(again, 5), std::string(10, '\5'));
  }
}

// A first continuous write that fails leaves no base, as a reopen would compute it for an index
// without segment files: the next write lays the grid from its own timestamp.
TEST_F(DatasetWrite, AFailedFirstContinuousWriteLeavesNoBase) {
  DataSetConfig c = small_config();
  c.index_continuous = 1;
  c.initial_data_segment_size = 4096;
  c.index_segment_size = 16384;
  c.initial_index_segment_size = 8192;
  Dataset ds = create(c);
  {
    FileSizeLimit limit(6000);  // the data segment fits, the index segment does not
    EXPECT_FALSE(ds.write(1000, bytes("a")));
  }
  EXPECT_TRUE(fs::list_dir(dir() / "index").value().empty());
  EXPECT_EQ(ok(ds.inspect()).state.base_timestamp, std::nullopt);
  EXPECT_EQ(ds.latest_timestamp(), std::nullopt);
  ok(ds.write(500, bytes("b")));
  EXPECT_EQ(ok(ds.inspect()).state.base_timestamp, 500);
  ok(ds.close());
  EXPECT_EQ(ok(reopen().inspect()).state.base_timestamp, 500);
}

// The common path of a continuous dataset, a new record after the latest (with placeholders
// for skipped timestamps), allocates nothing once its segments exist.
TEST_F(DatasetWrite, ContinuousWritesAllocateNothing) {
  DataSetConfig c = small_config();
  c.index_continuous = 1;
  c.initial_data_segment_size = c.data_segment_size;
  c.initial_index_segment_size = c.index_segment_size = 1 << 16;
  Dataset ds = create(c);
  ok(ds.attach_context(context()));
  ok(ds.set_identifier(3));
  const std::vector<std::uint8_t> data = bytes("record");
  ok(ds.write(0, data));
  Status written;
  std::uint64_t allocated = 0;
  {
    AllocationCounter allocations;
    for (std::int64_t ts = 1; ts < 200 && written; ts += 1 + ts % 2) written = ds.write(ts, data);
    allocated = allocations.count();
  }
  ok(written);
  EXPECT_EQ(allocated, 0u);
}

// A damaged last index segment leaves the dataset writable, and the totals count only what
// was stored: a write that goes into a new index segment is counted, one that could only go
// into the damaged file is refused before its record is stored.
TEST_F(DatasetWrite, ADamagedLastIndexSegmentCountsOnlyWhatIsStored) {
  struct Case {
    const char* what;
    bool continuous;
    std::size_t damaged_bytes;  // from the start of the file
    std::uint8_t fill;
    std::int64_t ts;
    bool stored;
  };
  const Case cases[] = {
      {"sparse, bad magic", false, 1, 'X', 25, true},
      {"sparse, zeroed header with entries", false, IndexSegment::kHeaderLen, 0, 25, true},
      {"continuous, into the damaged segment", true, 1, 'X', 23, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp2;
    const fs::Path where = tmp2.path() / "a" / "b";
    DataSetConfig config = small_config();
    config.index_segment_size = IndexSegment::kHeaderLen + 10 * IndexSegment::kEntrySize;
    config.initial_index_segment_size = config.index_segment_size;
    config.index_continuous = c.continuous ? 1 : 0;
    {
      Dataset ds = ok(Dataset::create(key, where, config));
      write_n(ds, 0, 24);
      ok(ds.close());
    }
    const fs::Path last = where / "index" / IndexSegment::file_name(20);
    auto file = fs::read_file(last).value();
    std::fill_n(file.begin(), c.damaged_bytes, c.fill);
    ASSERT_TRUE(fs::overwrite_file(last, file).has_value());
    {
      Dataset ds = ok(Dataset::open(key, where));
      const Status written = ds.write(c.ts, bytes("new"));
      EXPECT_EQ(written.has_value(), c.stored) << (written ? "" : written.error().display());
      if (!written) {
        EXPECT_NE(written.error().payload().find(last.string()), std::string::npos) << "names the file";
      }
      EXPECT_EQ(records(ds), 25u + c.stored);
      ok(ds.close());
    }
    Dataset ds = ok(Dataset::open(key, where));
    EXPECT_EQ(records(ds), 25u + c.stored);
    if (c.stored) {
      EXPECT_EQ(read_text(ds, c.ts), "new");
    }
    EXPECT_EQ(err(ds.read(22)), Error::invalid_magic()) << "the damaged segment's records read as errors";
    EXPECT_EQ(fs::read_file(last).value(), file) << "left as it is";
  }
}

TEST_F(DatasetWrite, ClosedAndReadOnlyRefusals) {
  Dataset ds = create();
  ok(ds.write(1, bytes("a")));
  DatasetContext ctx = context();
  ctx.read_only = true;
  ok(ds.attach_context(std::move(ctx)));
  EXPECT_EQ(err(ds.write(2, bytes("x"))), Error::invalid_data("read-only dataset cannot be written"));
  EXPECT_EQ(err(ds.push_next(bytes("x"))), Error::invalid_data("read-only dataset cannot be written"));
  EXPECT_EQ(err(ds.append(2, bytes("x"))), Error::invalid_data("read-only dataset cannot be appended"));
  EXPECT_EQ(err(ds.delete_record(1)), Error::invalid_data("read-only dataset cannot be deleted"));
  ok(ds.close());
  const Error closed = Error::invalid_data("dataset a/b is closed");
  EXPECT_EQ(err(ds.write(2, bytes("x"))), closed);
  EXPECT_EQ(err(ds.write_now(bytes("x"))), closed);
  EXPECT_EQ(err(ds.append_now(bytes("x"))), closed);
  EXPECT_EQ(err(ds.delete_record(1)), closed);
}

TEST_F(DatasetWrite, WriteNowTwiceInOneSecondCorrects) {
  Dataset ds = create();
  // Retry across a second boundary so that both writes land in the same second.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto before = ok(util::unix_now_secs());
    ok(ds.write_now(bytes("a")));
    ok(ds.append_now(bytes("b")));
    if (ok(util::unix_now_secs()) != before) continue;
    EXPECT_EQ(ds.latest_timestamp(), before);
    EXPECT_EQ(read_text(ds, before), "ab");
    return;
  }
  GTEST_SKIP() << "clock kept crossing second boundaries";
}

}  // namespace
}  // namespace quelvane::testing
