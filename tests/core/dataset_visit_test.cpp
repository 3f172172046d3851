// Reads in place: what a visitor sees equals what the copying reads return, in every case that
// changes where a record lies (sealed blocks, the raw pending block, corrections, deletes, a
// block cache or none), and stopping and failing end the read where they say.
#include <limits>

#include "support/dataset_fixture.h"

namespace quelvane::testing {
namespace {

constexpr std::int64_t kAll = std::numeric_limits<std::int64_t>::max();

RecordData copy_of(const RecordView& v) { return {v.timestamp, {v.data.begin(), v.data.end()}}; }

class DatasetVisit : public DatasetTest {
 protected:
  // 3000 records of 100 bytes (several sealed blocks and a pending one), a correction of the
  // latest, two replaced out of order and two deleted.
  Dataset filled_dataset(const fs::Path& where, bool with_cache) {
    Dataset ds = ok(Dataset::create(key, where, small_config()));
    if (with_cache) {
      ok(ds.attach_context(context()));
      ok(ds.set_identifier(3));
    }
    write_n(ds, 0, 2999, 100);
    ok(ds.write(2999, bytes("corrected")));
    ok(ds.write(10, bytes("replaced")));
    ok(ds.write(1500, filled(300, 7)));
    ok(ds.delete_record(11));
    ok(ds.delete_record(2000));
    return ds;
  }

  static std::vector<RecordData> visit_all(Dataset& ds, std::int64_t start, std::int64_t end,
                                           std::size_t stop_after = std::numeric_limits<std::size_t>::max()) {
    std::vector<RecordData> out;
    ok(ds.visit_range(start, end, [&](const RecordView& v) {
      out.push_back(copy_of(v));
      return out.size() < stop_after;
    }));
    return out;
  }
};

TEST_F(DatasetVisit, RangesMatchTheCopyingReads) {
  for (bool with_cache : {false, true}) {
    TempDir t;
    Dataset ds = filled_dataset(t.path(), with_cache);
    for (auto [start, end] : {std::pair<std::int64_t, std::int64_t>{0, kAll}, {5, 15}, {-10, -1}, {2990, 5000},
                              {4000, 5000}, {7, 3}}) {
      EXPECT_EQ(visit_all(ds, start, end), ok(ds.query_all(start, end)))
          << "range " << start << ".." << end << (with_cache ? " with a cache" : "");
    }
    EXPECT_EQ(visit_all(ds, 0, kAll, 5), ok(ds.query_all(0, 4)));
  }
}

TEST_F(DatasetVisit, CursorStepsMatchTheCopyingSteps) {
  for (bool with_cache : {false, true}) {
    TempDir t;
    Dataset ds = filled_dataset(t.path(), with_cache);
    for (bool reversed : {false, true}) {
      QueryState copying = ok(ds.query(0, kAll));
      QueryState viewing = ok(ds.query(0, kAll));
      if (reversed) {
        copying.reverse();
        viewing.reverse();
      }
      copying.skip(3);
      viewing.skip(3);
      std::vector<RecordData> seen;
      while (ok(viewing.next_record_view([&](const RecordView& v) {
        seen.push_back(copy_of(v));
        return true;
      }))) {
      }
      EXPECT_EQ(seen, ok(copying.collect_records())) << (reversed ? "reversed" : "forwards");
      EXPECT_FALSE(ok(viewing.next_record_view([](const RecordView&) { return true; })));
    }
  }
}

TEST_F(DatasetVisit, VisitRecordsEndsTheQuery) {
  Dataset ds = filled_dataset(tmp.path(), true);
  struct Case {
    std::uint64_t count;
    std::size_t stop_after;
    std::size_t expected;
  };
  for (const Case& c : {Case{7, 100, 7}, Case{7, 3, 3}, Case{0, 100, 0}}) {
    QueryState q = ok(ds.query(100, 200));
    std::vector<RecordData> seen;
    ok(q.visit_records(c.count, [&](const RecordView& v) {
      seen.push_back(copy_of(v));
      return seen.size() < c.stop_after;
    }));
    ASSERT_EQ(seen.size(), c.expected);
    if (!seen.empty()) {
      EXPECT_EQ(seen.front().first, 100);
    }
    EXPECT_TRUE(q.exhausted());
    EXPECT_FALSE(ok(q.next_record()));
  }
}

TEST_F(DatasetVisit, ClosedDatasetFails) {
  Dataset ds = filled_dataset(tmp.path(), false);
  QueryState q = ok(ds.query(0, kAll));
  ok(ds.close());
  const auto never = [](const RecordView&) {
    ADD_FAILURE() << "visited a closed dataset";
    return true;
  };
  EXPECT_EQ(err(ds.visit_range(0, kAll, never)).display(), "invalid data: dataset a/b is closed");
  EXPECT_EQ(err(q.visit_records(5, never)).display(), "invalid data: dataset a/b is closed");
  EXPECT_TRUE(q.exhausted());
}

}  // namespace
}  // namespace quelvane::testing
