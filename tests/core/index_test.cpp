// The dataset index over tiny segments (10 slots at most, 2 in a new file): sparse and
// continuous appends, lookups, corrections, deletes, range walks, flushing, closing,
// retention, reopening, and recovery from failed writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dataset_state.h"
#include "dirty_queue.h"
#include "index/mod.h"
#include "index/segment.h"
#include "support/allocation_counter.h"
#include "support/file_faults.h"
#include "support/msync_counter.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "util/log.h"

namespace quelvane {
namespace {

using testing::TempDir;
using Stamps = std::vector<std::int64_t>;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kSize = 268;    // 10 slots
constexpr std::uint64_t kInitial = 156;  // 2 slots

IndexEntry live(std::int64_t ts) { return {ts, static_cast<std::uint64_t>(ts) * 100, 7}; }

class FakeHook : public TimeRangeHook {
 public:
  Status on_time_range(std::optional<std::pair<std::int64_t, std::int64_t>> range) override {
    calls.push_back(range);
    if (on_call) on_call();
    if (failure) return fail(*failure);
    return {};
  }
  std::vector<std::optional<TimeRange>> calls;
  std::optional<Error> failure;
  std::function<void()> on_call;
};

struct Options {
  bool continuous = false;
  std::uint64_t size = kSize;
  std::uint64_t initial = kInitial;
};

Index make(const TempDir& dir, Options o = {}) {
  auto idx = Index::create(dir / "index", o.size, o.initial, o.continuous, 0, 0);
  EXPECT_TRUE(idx.has_value()) << idx.error().display();
  return std::move(idx).value();
}

Index reopen(const TempDir& dir, Options o = {}) {
  auto idx = Index::open(dir / "index", o.size, o.initial, o.continuous, 0, 0);
  EXPECT_TRUE(idx.has_value()) << idx.error().display();
  return std::move(idx).value();
}

fs::Path seg_path(const TempDir& dir, std::int64_t start) { return dir / "index" / IndexSegment::file_name(start); }

template <class T>
std::string error_of(const std::expected<T, Error>& r) {
  return r ? std::string("ok") : r.error().display();
}

void write(Index& idx, std::int64_t ts, TimeRangeHook* hook = nullptr) {
  ASSERT_TRUE(idx.append(ts, live(ts).block_offset, live(ts).in_block, hook).has_value()) << ts;
}

// A continuous dataset's new latest record after previous.
Status write_after(Index& idx, std::optional<std::int64_t> previous, std::int64_t ts, TimeRangeHook* hook = nullptr) {
  return idx.append_after(previous, ts, live(ts).block_offset, live(ts).in_block, hook);
}

std::optional<IndexEntry> look(Index& idx, std::int64_t ts) {
  auto r = idx.lookup(ts);
  EXPECT_TRUE(r.has_value()) << r.error().display();
  return r ? *r : std::nullopt;
}

Stamps stamps(const std::vector<IndexEntry>& entries) {
  Stamps out;
  for (const IndexEntry& e : entries) out.push_back(e.timestamp);
  return out;
}

Stamps span(std::int64_t from, std::int64_t to) {
  Stamps out;
  for (std::int64_t t = from; t <= to; ++t) {
    out.push_back(t);
    if (t == to) break;  // to may be the largest timestamp
  }
  return out;
}

Stamps operator+(Stamps a, const Stamps& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The callers' cursor protocol: narrow the range past each result and hand back its position.
std::vector<IndexEntry> walk(Index& idx, std::int64_t from, std::int64_t to, bool backward) {
  std::vector<IndexEntry> out;
  std::optional<IndexCursor> cursor;
  while (true) {
    auto step = backward ? idx.prev_in_range(from, to, cursor) : idx.next_in_range(from, to, cursor);
    EXPECT_TRUE(step.has_value()) << step.error().display();
    if (!step || !*step) break;
    const IndexEntry e = (*step)->entry;
    out.push_back(e);
    if (backward ? e.timestamp == kMin : e.timestamp == kMax) break;
    (backward ? to : from) = backward ? e.timestamp - 1 : e.timestamp + 1;
    cursor = IndexCursor{(*step)->segment_start, (*step)->slot};
  }
  return out;
}

Stamps reversed(Stamps s) {
  std::reverse(s.begin(), s.end());
  return s;
}

// ---------------------------------------------------------------------------------------------
// Sparse mode

TEST(SparseIndex, SegmentsStartAtTheirFirstTimestamp) {
  TempDir dir;
  Index idx = make(dir);
  FakeHook hook;
  std::vector<bool> file_existed;
  std::int64_t next = 0;
  hook.on_call = [&] { file_existed.push_back(fs::path_exists(seg_path(dir, next))); };
  for (; next < 25; ++next) write(idx, next, &hook);

  EXPECT_EQ(idx.segment_count(), 3u);
  for (std::int64_t start : {0, 10, 20}) EXPECT_TRUE(fs::path_exists(seg_path(dir, start))) << start;
  // Each new segment reports the range of those before it, before its file exists.
  const std::vector<std::optional<TimeRange>> ranges{std::nullopt, TimeRange{0, 9}, TimeRange{0, 19}};
  EXPECT_EQ(hook.calls, ranges);
  EXPECT_EQ(file_existed, (std::vector<bool>{false, false, false}));

  struct Case {
    std::int64_t t;
    std::optional<IndexEntry> want;
  };
  for (const Case& c : std::vector<Case>{{0, live(0)}, {9, live(9)}, {10, live(10)}, {24, live(24)},
                                         {25, {}}, {-1, {}}, {kMin, {}}, {kMax, {}}}) {
    EXPECT_EQ(look(idx, c.t), c.want) << c.t;
  }

  EXPECT_EQ(error_of(idx.append(24, 1, 1, nullptr)),
            "invalid data: non-continuous index append timestamp 24 must be greater than latest 24");
  EXPECT_EQ(error_of(idx.append(3, 1, 1, nullptr)),
            "invalid data: non-continuous index append timestamp 3 must be greater than latest 24");
  // A deleted latest record still holds the ordering.
  ASSERT_TRUE(idx.delete_entry(24).has_value());
  EXPECT_EQ(error_of(idx.append(24, 1, 1, nullptr)),
            "invalid data: non-continuous index append timestamp 24 must be greater than latest 24");

  // A timestamp beyond the newest segment's u32 delta starts a new segment at itself.
  write(idx, 30);
  EXPECT_EQ(idx.segment_count(), 3u);
  const std::int64_t far = 20 + (std::int64_t{1} << 32);
  write(idx, far);
  EXPECT_EQ(idx.segment_count(), 4u);
  EXPECT_TRUE(fs::path_exists(seg_path(dir, far)));
  EXPECT_EQ(look(idx, far), live(far));
}

TEST(SparseIndex, RollOverSyncsTheOldNewestThenAsksTheHookThenCreates) {
  TempDir dir;
  Index idx = make(dir);
  auto queue = std::make_shared<DirtyQueue>();
  idx.set_notifier(FlushNotifier{DataSetKey{"a", "b"}, queue});
  for (std::int64_t ts = 0; ts < 10; ++ts) write(idx, ts);
  EXPECT_EQ(queue->size(), 1u);

  FakeHook hook;
  hook.failure = Error::io("state file refused");
  EXPECT_EQ(error_of(idx.append(10, 1, 1, &hook)), "I/O error: state file refused");
  EXPECT_FALSE(fs::path_exists(seg_path(dir, 10)));
  EXPECT_EQ(idx.segment_count(), 1u);

  hook.failure.reset();
  write(idx, 10, &hook);
  auto items = queue->take_all();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].target, FlushTarget::index_segment(0));
  EXPECT_EQ(items[1].target, FlushTarget::index_segment(10));
  // Segment 0 was synchronised at the roll-over, so its next change reports it again.
  ASSERT_TRUE(idx.correct_entry(5, 1, 1, nullptr).has_value());
  items = queue->take_all();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].target, FlushTarget::index_segment(0));
}

TEST(SparseIndex, CorrectionsAndDeletes) {
  TempDir dir;
  Index idx = make(dir);
  for (std::int64_t ts : {5, 6, 7}) write(idx, ts);

  struct Case {
    std::string op;
    std::int64_t t;
    std::string result;  // "ok <old entry's block_offset>" or the error
  };
  const std::vector<Case> cases{
      {"correct", 6, "ok 600"},
      {"correct", 4, "not found: no index entry at timestamp 4 (required for out-of-order write)"},
      {"correct", 8, "not found: no index entry at timestamp 8 (required for out-of-order write)"},
      {"delete", 6, "ok 1"},  // the corrected location
      {"delete", 6, "not found: no real data at timestamp 6 (filler)"},
      {"correct", 6, "ok 18446744073709551615"},  // a deleted slot takes a new copy
      {"delete", 4, "not found: no entry at timestamp 4 to delete"},
      {"delete", 100, "not found: no entry at timestamp 100 to delete"},
  };
  for (const Case& c : cases) {
    auto r = c.op == "correct" ? idx.correct_entry(c.t, 1, 2, nullptr) : idx.delete_entry(c.t);
    EXPECT_EQ(r ? "ok " + std::to_string(r->block_offset) : r.error().display(), c.result) << c.op << " " << c.t;
  }
  EXPECT_EQ(look(idx, 6), (IndexEntry{6, 1, 2}));
  EXPECT_EQ(look(idx, 5), live(5));
}

TEST(SparseIndex, RefusesSegmentsThatCannotHoldAnEntry) {
  struct Case {
    std::uint64_t size;
    std::string result;
  };
  // Below the header the segment's create speaks, naming the initial size it was given.
  for (const Case& c : std::vector<Case>{{100, "invalid data: initial index segment size 100 is smaller than header 128"},
                                         {128, "invalid data: index segment size 128 is too small"},
                                         {141, "invalid data: index segment size 141 cannot hold an index entry"},
                                         {142, "ok"}}) {
    TempDir dir;
    Index idx = make(dir, {.size = c.size, .initial = std::min<std::uint64_t>(c.size, 128)});
    EXPECT_EQ(error_of(idx.append(0, 1, 1, nullptr)), c.result) << c.size;
    if (c.size == 142) {
      write(idx, 1);
      write(idx, 2);
      EXPECT_EQ(idx.segment_count(), 3u) << "one entry per segment";
    } else {
      EXPECT_TRUE(fs::list_dir(dir / "index").value().empty());
    }
  }
}

// A roll-over killed between the new segment's create and its first entry leaves an empty
// segment above the latest timestamp. Left as the newest, it made every later write start a
// segment of its own (50 writes, 52 files).
TEST(SparseIndex, AnEmptySegmentAboveTheWriteIsDropped) {
  TempDir dir;
  {
    Index idx = make(dir);
    for (std::int64_t ts = 0; ts < 5; ++ts) write(idx, ts);
  }
  ASSERT_TRUE(IndexSegment::create(dir / "index", 100, kInitial, kSize, 0, 0).has_value());
  {
    Index idx = reopen(dir);
    for (std::int64_t ts = 5; ts < 55; ++ts) write(idx, ts);
    EXPECT_EQ(idx.segment_count(), 6u) << "10 entries a segment: starts 0, 10, ..., 50";
  }
  EXPECT_EQ(fs::list_dir(dir / "index").value().size(), 6u);
  EXPECT_FALSE(fs::path_exists(seg_path(dir, 100)));
  Index idx = reopen(dir);
  EXPECT_EQ(stamps(idx.entries_in_range(kMin, kMax).value()), span(0, 54));
  write(idx, 100);
  EXPECT_EQ(look(idx, 100), live(100)) << "its start is free again";
}

// ---------------------------------------------------------------------------------------------
// Continuous mode

TEST(ContinuousIndex, FillsSkippedSlotsAndOnlyTheSegmentsAtBothEnds) {
  TempDir dir;
  Index idx = make(dir, {.continuous = true});
  ASSERT_TRUE(write_after(idx, std::nullopt, 1000).has_value());
  ASSERT_TRUE(write_after(idx, 1000, 1005).has_value());
  EXPECT_EQ(idx.base(), 1000);
  EXPECT_EQ(look(idx, 1003), IndexEntry::sentinel(1003));
  EXPECT_EQ(look(idx, 1005), live(1005));
  EXPECT_EQ(error_of(idx.delete_entry(1003)), "not found: no real data at timestamp 1003 (filler)");
  EXPECT_EQ(look(idx, 999), std::nullopt);
  EXPECT_EQ(error_of(idx.append(999, 1, 1, nullptr)), "not found: timestamp 999 is before continuous index base 1000");

  // Over two whole grid segments: the rest of 1000's and the head of 1030's are filled.
  FakeHook hook;
  ASSERT_TRUE(write_after(idx, 1005, 1035, &hook).has_value());
  EXPECT_TRUE(fs::path_exists(seg_path(dir, 1030)));
  EXPECT_FALSE(fs::path_exists(seg_path(dir, 1010)));
  EXPECT_FALSE(fs::path_exists(seg_path(dir, 1020)));
  EXPECT_EQ(look(idx, 1009), IndexEntry::sentinel(1009));
  EXPECT_EQ(look(idx, 1015), std::nullopt);
  EXPECT_EQ(look(idx, 1030), IndexEntry::sentinel(1030));
  EXPECT_EQ(look(idx, 1035), live(1035));
  EXPECT_TRUE(hook.calls.empty()) << "a segment a placeholder opens is created without a report";

  // An out-of-order write into a skipped grid segment creates it, filled from its start.
  struct Case {
    std::int64_t t;
    IndexEntry old;
  };
  for (const Case& c : std::vector<Case>{{1015, IndexEntry::sentinel(1015)},
                                         {1012, IndexEntry::sentinel(1012)},
                                         {1018, IndexEntry::sentinel(1018)},
                                         {1002, IndexEntry::sentinel(1002)},
                                         {1005, live(1005)}}) {
    auto old = idx.correct_entry(c.t, 1, 2, nullptr);
    ASSERT_TRUE(old.has_value()) << c.t << ": " << old.error().display();
    EXPECT_EQ(*old, c.old) << c.t;
    EXPECT_EQ(look(idx, c.t), (IndexEntry{c.t, 1, 2}));
  }
  EXPECT_TRUE(fs::path_exists(seg_path(dir, 1010)));
  EXPECT_EQ(look(idx, 1016), IndexEntry::sentinel(1016));
  EXPECT_EQ(look(idx, 1019), std::nullopt);
  EXPECT_EQ(stamps(idx.entries_in_range(kMin, kMax).value()), span(1000, 1018) + span(1030, 1035));
  EXPECT_EQ(idx.delete_entry(1015).value(), (IndexEntry{1015, 1, 2}));
}

TEST(ContinuousIndex, GeometryErrorsComeInOrder) {
  struct Case {
    std::string name;
    std::uint64_t size;
    std::optional<std::int64_t> first_write;
    std::int64_t t;
    std::string result;
  };
  const std::vector<Case> cases{
      {"no base", kSize, {}, 5, "not found: continuous index base timestamp missing"},
      {"no base before a size check", 128, {}, 5, "not found: continuous index base timestamp missing"},
      {"below the base", kSize, 1000, 999, "not found: timestamp 999 is before continuous index base 1000"},
      {"below the base at the limit", kSize, 1000, kMin,
       "not found: timestamp -9223372036854775808 is before continuous index base 1000"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Index idx = make(dir, {.continuous = true, .size = c.size});
    if (c.first_write) {
      ASSERT_TRUE(write_after(idx, std::nullopt, *c.first_write).has_value());
    }
    EXPECT_EQ(error_of(idx.delete_entry(c.t)), c.result) << c.name;
    EXPECT_EQ(error_of(idx.correct_entry(c.t, 1, 1, nullptr)), c.result) << c.name;
    EXPECT_EQ(look(idx, c.t), std::nullopt) << c.name;
  }
  for (const Case& c : std::vector<Case>{{"header only", 128, {}, 5, "invalid data: index segment size 128 is too small"},
                                         {"no whole entry", 141, {}, 5,
                                          "invalid data: index segment size 141 cannot hold an index entry"}}) {
    TempDir dir;
    Index idx = make(dir, {.continuous = true, .size = c.size, .initial = 128});
    EXPECT_EQ(error_of(write_after(idx, std::nullopt, c.t)), c.result) << c.name;
    EXPECT_EQ(error_of(idx.append(c.t, 1, 1, nullptr)), c.result) << c.name;
    EXPECT_TRUE(fs::list_dir(dir / "index").value().empty()) << c.name;
  }
}

TEST(ContinuousIndex, SlotsOutOfStepAreRefused) {
  TempDir dir;
  Index idx = make(dir, {.continuous = true});
  ASSERT_TRUE(write_after(idx, std::nullopt, 1000).has_value());
  EXPECT_EQ(error_of(idx.append(1005, 1, 1, nullptr)),
            "invalid data: continuous index append expected entry_index 5, got wrote_count 1");
  ASSERT_TRUE(write_after(idx, 1000, 1004).has_value());
  ASSERT_TRUE(idx.close_segments().has_value());

  // A slot below the count that does not hold its own timestamp (damage outside the system).
  auto f = fs::read_file(seg_path(dir, 1000)).value();
  bytes::store_le<std::uint32_t>(f.data() + 128 + 14 * 3, 7);
  ASSERT_TRUE(fs::overwrite_file(seg_path(dir, 1000), f).has_value());
  EXPECT_EQ(look(idx, 1003), std::nullopt);
  EXPECT_EQ(error_of(idx.correct_entry(1003, 1, 1, nullptr)),
            "invalid data: continuous index hole invariant violated at timestamp 1003");
}

TEST(ContinuousIndex, FullSizeSegmentsHoldTheirWholeGrid) {
  TempDir dir;
  Index idx = make(dir, {.continuous = true, .size = 16777216, .initial = 16384});
  ASSERT_TRUE(write_after(idx, std::nullopt, 1000).has_value());
  const std::int64_t second = 1000 + 1198363;
  ASSERT_TRUE(write_after(idx, 1000, second).has_value());
  EXPECT_TRUE(fs::path_exists(seg_path(dir, second)));
  EXPECT_EQ(fs::read_file(seg_path(dir, 1000)).value().size(), 16777216u);
  EXPECT_EQ(look(idx, second - 1), IndexEntry::sentinel(second - 1));
  EXPECT_EQ(look(idx, second), live(second));
  EXPECT_EQ(error_of(idx.delete_entry(999)), "not found: timestamp 999 is before continuous index base 1000");
}

// A fill that fails part-way (here: the file cannot grow) leaves its placeholders; a retry,
// or the next write, resumes after them instead of finding the segment out of step.
TEST(ContinuousIndex, AFailedFillNeverWedgesTheIndex) {
  struct Case {
    std::string name;
    std::int64_t next;
  };
  for (const Case& c : std::vector<Case>{{"retry", 1008}, {"next write", 1009}}) {
    TempDir dir;
    Index idx = make(dir, {.continuous = true});
    ASSERT_TRUE(write_after(idx, std::nullopt, 1000).has_value());
    {
      testing::FileSizeLimit limit(200);
      auto failed = write_after(idx, 1000, 1008);
      ASSERT_FALSE(failed.has_value());
      EXPECT_EQ(failed.error().kind(), ErrorKind::Io) << failed.error().display();
    }
    EXPECT_EQ(idx.latest_timestamp(), 1001) << "the placeholder that fitted stays";
    ASSERT_TRUE(write_after(idx, 1000, c.next).has_value()) << c.name;
    EXPECT_EQ(look(idx, c.next - 1), IndexEntry::sentinel(c.next - 1)) << c.name;
    EXPECT_EQ(look(idx, c.next), live(c.next)) << c.name;
    EXPECT_EQ(stamps(idx.entries_in_range(kMin, kMax).value()), span(1000, c.next)) << c.name;
  }

  // The new segment's file cannot be made: nothing is left behind, and the next write opens it.
  TempDir dir;
  Index idx = make(dir, {.continuous = true});
  ASSERT_TRUE(write_after(idx, std::nullopt, 1000).has_value());
  ASSERT_TRUE(write_after(idx, 1000, 1009).has_value());
  {
    testing::FileSizeLimit limit(100);
    EXPECT_FALSE(write_after(idx, 1009, 1013).has_value());
  }
  EXPECT_FALSE(fs::path_exists(seg_path(dir, 1010)));
  ASSERT_TRUE(write_after(idx, 1009, 1013).has_value());
  EXPECT_EQ(look(idx, 1010), IndexEntry::sentinel(1010));
  EXPECT_EQ(look(idx, 1013), live(1013));
}

// A kill between a first write's segment create and its entry, or a first growth that failed,
// leaves a segment without entries. It lays no grid (a reopen takes the base from the first
// segment holding an entry), so the next write chooses the base and every timestamp is
// accepted; the empty file goes.
TEST(ContinuousIndex, ASegmentWithoutEntriesSetsNoBase) {
  for (std::int64_t ts : {1, 1000, 1003, 1015}) {
    TempDir dir;
    ASSERT_TRUE(IndexSegment::create(dir / "index", 1000, kInitial, kSize, 0, 0).has_value());
    Index idx = reopen(dir, {.continuous = true});
    EXPECT_EQ(idx.base(), std::nullopt);
    ASSERT_EQ(error_of(write_after(idx, std::nullopt, ts)), "ok") << ts;
    EXPECT_EQ(idx.base(), ts);
    EXPECT_EQ(look(idx, ts), live(ts)) << ts;
    EXPECT_EQ(fs::list_dir(dir / "index").value(), std::vector<std::string>{IndexSegment::file_name(ts)}) << ts;
  }

  TempDir dir;
  Index idx = make(dir, {.continuous = true, .initial = 128});  // no slot until it grows
  {
    testing::FileSizeLimit limit(200);
    EXPECT_FALSE(write_after(idx, std::nullopt, 1005).has_value());
  }
  EXPECT_EQ(idx.base(), std::nullopt) << "as a reopen would find it";
  ASSERT_EQ(error_of(write_after(idx, std::nullopt, 1003)), "ok");
  EXPECT_EQ(idx.base(), 1003);
  EXPECT_FALSE(fs::path_exists(seg_path(dir, 1005)));
}

// An index whose newest entry could not be read at open has no latest timestamp but a base: the
// next write fills its segment from the slots it holds instead of finding it out of step.
TEST(ContinuousIndex, AWriteWithoutAPreviousFillsFromTheSegmentsCount) {
  TempDir dir;
  {
    Index idx = make(dir, {.continuous = true});
    ASSERT_TRUE(write_after(idx, std::nullopt, 1000).has_value());
  }
  Index idx = reopen(dir, {.continuous = true});
  ASSERT_EQ(error_of(write_after(idx, std::nullopt, 1003)), "ok");
  EXPECT_EQ(stamps(idx.entries_in_range(kMin, kMax).value()), span(1000, 1003));
  EXPECT_EQ(look(idx, 1000), live(1000));
  EXPECT_EQ(look(idx, 1002), IndexEntry::sentinel(1002));
  EXPECT_EQ(look(idx, 1003), live(1003));
}

// Every continuous write passes through the index: its own bookkeeping allocates nothing once
// the segment exists.
TEST(ContinuousIndex, AppendsAllocateNothing) {
  TempDir dir;
  Index idx = make(dir, {.continuous = true, .size = 1 << 16, .initial = 1 << 16});
  ASSERT_TRUE(write_after(idx, std::nullopt, 0).has_value());
  testing::AllocationCounter allocations;
  Status written;
  // Every other write skips a slot, so placeholders are filled too.
  for (std::int64_t i = 0, latest = 0; i < 100 && written; ++i) {
    const std::int64_t ts = latest + 1 + i % 2;
    written = write_after(idx, latest, ts);
    latest = ts;
  }
  const std::uint64_t allocated = allocations.count();
  ASSERT_TRUE(written.has_value()) << written.error().display();
  EXPECT_EQ(allocated, 0u);
}

TEST(ContinuousIndex, AFailedFirstWriteLeavesNoBase) {
  TempDir dir;
  Index idx = make(dir, {.continuous = true});
  {
    testing::FileSizeLimit limit(100);
    EXPECT_FALSE(write_after(idx, std::nullopt, 1000).has_value());
  }
  EXPECT_EQ(idx.base(), std::nullopt) << "as a reopened index without segments would have none";
  ASSERT_TRUE(write_after(idx, std::nullopt, 500).has_value());
  EXPECT_EQ(idx.base(), 500);
  EXPECT_EQ(look(idx, 500), live(500));
}

TEST(ContinuousIndex, GridArithmeticAtTheLimits) {
  TempDir top;
  Index idx = make(top, {.continuous = true});
  ASSERT_TRUE(write_after(idx, std::nullopt, kMax - 12).has_value());
  ASSERT_TRUE(write_after(idx, kMax - 12, kMax).has_value());
  // The grid after kMax - 12 starts at kMax - 2 and is cut short by the largest timestamp.
  EXPECT_TRUE(fs::path_exists(seg_path(top, kMax - 2)));
  EXPECT_EQ(look(idx, kMax - 3), IndexEntry::sentinel(kMax - 3));
  EXPECT_EQ(look(idx, kMax), live(kMax));
  EXPECT_EQ(stamps(walk(idx, kMin, kMax, false)), span(kMax - 12, kMax));
  EXPECT_EQ(stamps(walk(idx, kMin, kMax, true)), reversed(span(kMax - 12, kMax)));

  // A base below zero (a segment file named by a negative start): t - base leaves the signed
  // range and must still place t on the grid.
  TempDir low;
  {
    IndexSegment first = IndexSegment::create(low / "index", -5, kInitial, kSize, 0, 0).value();
    ASSERT_TRUE(first.append(live(-5)).has_value());
  }
  Index neg = reopen(low, {.continuous = true});
  EXPECT_EQ(neg.base(), -5);
  EXPECT_EQ(look(neg, kMax), std::nullopt);
  EXPECT_EQ(error_of(neg.delete_entry(kMax)),
            "not found: no entry at timestamp 9223372036854775807 to delete");
  ASSERT_TRUE(write_after(neg, -5, 7).has_value());
  EXPECT_TRUE(fs::path_exists(seg_path(low, 5)));
  EXPECT_EQ(look(neg, 4), IndexEntry::sentinel(4));
}

// ---------------------------------------------------------------------------------------------
// Range walks

TEST(IndexRanges, CursorsWalkBothWaysAcrossSegments) {
  TempDir sparse_dir;
  Index sparse = make(sparse_dir);
  for (std::int64_t ts = 0; ts < 25; ++ts) write(sparse, ts);
  ASSERT_TRUE(sparse.delete_entry(13).has_value());

  TempDir cont_dir;
  Index cont = make(cont_dir, {.continuous = true});
  ASSERT_TRUE(write_after(cont, std::nullopt, 1000).has_value());
  ASSERT_TRUE(write_after(cont, 1000, 1005).has_value());
  ASSERT_TRUE(write_after(cont, 1005, 1035).has_value());

  struct Case {
    std::string name;
    Index* idx;
    std::int64_t from, to;
    Stamps want;
  };
  const std::vector<Case> cases{
      {"sparse, across three segments", &sparse, 3, 22, span(3, 22)},
      {"sparse, all", &sparse, kMin, kMax, span(0, 24)},
      {"sparse, past the end", &sparse, 25, kMax, {}},
      {"sparse, empty range", &sparse, 10, 9, {}},
      {"continuous, over missing grid segments", &cont, 1003, 1040, span(1003, 1009) + span(1030, 1035)},
      {"continuous, inside the gap", &cont, 1010, 1029, {}},
      {"continuous, all", &cont, kMin, kMax, span(1000, 1009) + span(1030, 1035)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stamps(walk(*c.idx, c.from, c.to, false)), c.want) << c.name;
    EXPECT_EQ(stamps(walk(*c.idx, c.from, c.to, true)), reversed(c.want)) << c.name;
    EXPECT_EQ(stamps(c.idx->entries_in_range(c.from, c.to).value()), c.want) << c.name;
  }
  // Sentinels come back like any entry; the callers skip them.
  EXPECT_EQ(walk(sparse, 13, 13, false).at(0), IndexEntry::sentinel(13));
  EXPECT_EQ(walk(cont, 1007, 1007, true).at(0), IndexEntry::sentinel(1007));
  const auto hit = sparse.next_in_range(14, 30, std::nullopt).value().value();
  EXPECT_EQ(hit.segment_start, 10);
  EXPECT_EQ(hit.slot, 4u);
}

TEST(IndexRanges, CursorsSurviveSegmentsThatWentAway) {
  TempDir dir;
  Index idx = make(dir);
  for (std::int64_t ts = 0; ts < 25; ++ts) write(idx, ts);
  const auto first = idx.next_in_range(0, kMax, std::nullopt).value().value();
  EXPECT_EQ(first.entry.timestamp, 0);

  // Retention removes the cursor's segment between two steps: the walk goes on with the next.
  ASSERT_TRUE(idx.close_segments().has_value());
  EXPECT_EQ(idx.retain_after(10), 1u);
  const auto next = idx.next_in_range(1, kMax, IndexCursor{first.segment_start, first.slot}).value().value();
  EXPECT_EQ(next.entry.timestamp, 10);

  // Backwards, a cursor naming no segment continues in the last segment below it.
  const auto back = idx.prev_in_range(kMin, 18, IndexCursor{15, 3}).value().value();
  EXPECT_EQ(back.entry.timestamp, 18);
  EXPECT_EQ(back.segment_start, 10);
}

TEST(IndexRanges, TheReaderStreamsBigRangesBatchByBatch) {
  TempDir dir;
  // 10000 slots per segment: the fill writes 9999 + 5000 placeholders and skips a segment.
  Index idx = make(dir, {.continuous = true, .size = 128 + 14 * 10000});
  ASSERT_TRUE(write_after(idx, std::nullopt, 0).has_value());
  ASSERT_TRUE(write_after(idx, 0, 25000).has_value());
  EXPECT_FALSE(fs::path_exists(seg_path(dir, 10000)));

  auto reader = idx.read_range(5, 24000);
  Stamps got;
  while (auto e = reader.next().value()) {
    got.push_back(e->timestamp);
    // The index changes between batches; the reader finds its place again.
    if (got.size() == 5000) {
      ASSERT_TRUE(idx.close_segments().has_value());
    }
  }
  EXPECT_EQ(got, span(5, 9999) + span(20000, 24000));
  EXPECT_EQ(stamps(idx.entries_in_range(5, 24000).value()), got);
  EXPECT_EQ(reader.next().value(), std::nullopt) << "an exhausted reader stays exhausted";
}

TEST(IndexRanges, BatchesGiveWhatSingleStepsGive) {
  TempDir dir;
  Index idx = make(dir, {.size = 128 + 14 * 5000});
  for (std::int64_t ts = 0; ts < 12000; ts += 2) write(idx, ts);
  ASSERT_TRUE(idx.delete_entry(10).has_value());

  auto reader = idx.read_range(7, 11001);
  std::vector<IndexEntry> got;
  while (true) {
    const auto batch = reader.next_batch().value();
    if (batch.empty()) break;
    got.insert(got.end(), batch.begin(), batch.end());
  }
  EXPECT_EQ(got, idx.entries_in_range(7, 11001).value());
  EXPECT_EQ(got.size(), 5497u);
  EXPECT_TRUE(reader.next_batch().value().empty()) << "an exhausted reader stays exhausted";
}

// The hint sizes a range read's result: exact where the segments are open, and never above
// the entries the range holds where they are closed.
TEST(IndexRanges, TheEntriesHintNeverCountsEntriesOutsideTheRange) {
  TempDir dir;
  {
    Index idx = make(dir);  // 10 slots a segment: starts 0, 20, 40
    for (std::int64_t ts = 0; ts < 50; ts += 2) write(idx, ts);
    ASSERT_TRUE(idx.delete_entry(4).has_value());
    for (const auto& [from, to] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {kMin, kMax}, {0, 0}, {1, 1}, {3, 21}, {19, 41}, {48, kMax}, {50, kMax}, {kMin, -1}}) {
      EXPECT_EQ(idx.entries_hint(from, to), idx.entries_in_range(from, to).value().size()) << from << ".." << to;
    }
    EXPECT_EQ(idx.entries_hint(5, 4), 0u);
    ASSERT_TRUE(idx.close_segments().has_value());
  }
  Index closed = reopen(dir);
  struct Case {
    std::int64_t from, to;
    std::uint64_t hint;
  };
  // Only the segments wholly inside the range count while closed; nothing gets mapped.
  for (const Case& c : std::vector<Case>{{kMin, kMax, 25}, {0, 38, 20}, {1, 38, 10}, {1, 37, 0}, {40, 48, 5}}) {
    EXPECT_EQ(closed.entries_hint(c.from, c.to), c.hint) << c.from << ".." << c.to;
  }
  EXPECT_EQ(closed.open_segment_count(), 0u);

  TempDir cdir;
  Index continuous = make(cdir, {.continuous = true});
  ASSERT_TRUE(write_after(continuous, std::nullopt, 0).has_value());
  ASSERT_TRUE(write_after(continuous, 0, 9).has_value());
  EXPECT_EQ(continuous.entries_hint(kMin, kMax), 0u) << "placeholders are never counted on";
}

// A damaged segment's timestamps need not rise, and the two bound searches over it may cross;
// the hint that sizes a range read must still stay within what the segments hold.
TEST(IndexRanges, TheEntriesHintStaysWithinADamagedSegment) {
  TempDir dir;
  {
    Index idx = make(dir);
    for (std::int64_t ts = 0; ts < 10; ++ts) write(idx, ts);
  }
  // For [98, 931343] over these the lower bound is slot 7 and the upper bound slot 3.
  const std::vector<std::uint32_t> deltas{83, 56, 40, 8692543, 7, 9, 12, 9384797, 1876618, 3149145};
  std::vector<std::uint8_t> file = fs::read_file(seg_path(dir, 0)).value();
  for (std::size_t i = 0; i < deltas.size(); ++i) bytes::put<std::uint32_t>(file, 128 + 14 * i, deltas[i]);
  ASSERT_TRUE(fs::overwrite_file(seg_path(dir, 0), file).has_value());
  Index idx = reopen(dir);
  ASSERT_TRUE(idx.lookup(0).has_value());  // maps the segment: the hint then searches it
  ASSERT_EQ(idx.open_segment_count(), 1u);
  for (const auto& [from, to] : std::vector<std::pair<std::int64_t, std::int64_t>>{{98, 931343}, {kMin, kMax}}) {
    EXPECT_LE(idx.entries_hint(from, to), deltas.size()) << from << ".." << to;
  }
}

// A step that is to yield records passes over placeholders and deleted records itself, in
// both directions and across segments, instead of handing each back to be dropped.
TEST(IndexRanges, LiveOnlyStepsPassOverSentinels) {
  TempDir dir;
  Index idx = make(dir, {.continuous = true});  // segments 0, 10, 20
  ASSERT_TRUE(write_after(idx, std::nullopt, 0).has_value());
  ASSERT_TRUE(write_after(idx, 0, 25).has_value());
  ASSERT_TRUE(write_after(idx, 25, 27).has_value());
  ASSERT_TRUE(idx.delete_entry(27).has_value());
  struct Case {
    std::int64_t from, to;
    bool backward;
    std::optional<std::int64_t> hit;
  };
  for (const Case& c : std::vector<Case>{{1, kMax, false, 25},
                                         {26, kMax, false, std::nullopt},
                                         {1, 24, false, std::nullopt},
                                         {kMin, 24, true, 0},
                                         {1, kMax, true, 25},
                                         {1, 24, true, std::nullopt}}) {
    auto step = c.backward ? idx.prev_in_range(c.from, c.to, std::nullopt, true)
                           : idx.next_in_range(c.from, c.to, std::nullopt, true);
    ASSERT_TRUE(step.has_value()) << step.error().display();
    const std::optional<std::int64_t> got = *step ? std::optional<std::int64_t>((*step)->entry.timestamp) : std::nullopt;
    EXPECT_EQ(got, c.hit) << c.from << ".." << c.to << (c.backward ? " backward" : " forward");
  }
  // From a cursor on the first record: the next live one, three segments on.
  const auto first = idx.next_in_range(0, kMax, std::nullopt, true).value().value();
  const auto next = idx.next_in_range(1, kMax, IndexCursor{first.segment_start, first.slot}, true).value().value();
  EXPECT_EQ(next.entry, live(25));
  EXPECT_EQ(next.segment_start, 20);
}

// ---------------------------------------------------------------------------------------------
// Flush, close, retention, reopen

// A flush, close or roll-over synchronises only the segments that changed since their last sync.
TEST(IndexLifecycle, OnlyChangedSegmentsAreSynchronised) {
  TempDir dir;
  Index idx = make(dir);
  for (std::int64_t ts = 0; ts < 15; ++ts) write(idx, ts);  // segment 0 was synchronised at the roll-over
  testing::MsyncCounter msyncs;
  struct Step {
    std::string what;
    std::function<void()> run;
    std::uint64_t msyncs;
  };
  for (const Step& step : std::vector<Step>{
           {"flush with the newest changed", [&] { ASSERT_TRUE(idx.flush().has_value()); }, 1},
           {"flush again", [&] { ASSERT_TRUE(idx.flush().has_value()); }, 0},
           {"close after the flush", [&] { ASSERT_TRUE(idx.close_segments().has_value()); }, 0},
           {"reopen both to read", [&] { EXPECT_EQ(look(idx, 3), live(3)); EXPECT_EQ(look(idx, 13), live(13)); }, 0},
           {"close unchanged", [&] { ASSERT_TRUE(idx.close_segments().has_value()); }, 0},
           {"delete in the older", [&] { ASSERT_TRUE(idx.delete_entry(3).has_value()); }, 0},
           {"flush its target", [&] { ASSERT_TRUE(idx.flush_segment(0).has_value()); }, 1},
           {"write, then close", [&] { write(idx, 15); ASSERT_TRUE(idx.close_segments().has_value()); }, 1},
       }) {
    step.run();
    EXPECT_EQ(msyncs.take(), step.msyncs) << step.what;
  }
}

// Only a missing directory is an empty index: one that cannot be looked at may hold segments,
// which a write would otherwise create anew over the existing files.
TEST(IndexLifecycle, AnIndexDirectoryThatCannotBeLookedAtIsAnError) {
  TempDir dir;
  ASSERT_EQ(::symlink("index", (dir / "index").c_str()), 0);  // a link to itself
  auto opened = Index::open(dir / "index", kSize, kInitial, false, 0, 0);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().kind(), ErrorKind::Io);
  EXPECT_EQ(opened.error().os_code(), ELOOP) << opened.error().display();
}

TEST(IndexLifecycle, FlushAndCloseFollowTheDirtyQueue) {
  TempDir dir;
  Index idx = make(dir);
  auto queue = std::make_shared<DirtyQueue>();
  idx.set_notifier(FlushNotifier{DataSetKey{"a", "b"}, queue});
  write(idx, 1);
  write(idx, 2);
  EXPECT_EQ(queue->take_all().size(), 1u);
  ASSERT_TRUE(idx.flush().has_value());
  write(idx, 3);
  EXPECT_EQ(queue->take_all().size(), 1u) << "a synchronised segment reports its next change";
  ASSERT_TRUE(idx.flush_segment(1).has_value());
  ASSERT_TRUE(idx.flush_segment(99).has_value()) << "an unknown target needs nothing";
  write(idx, 4);
  EXPECT_EQ(queue->take_all().size(), 1u);

  EXPECT_EQ(idx.open_segment_count(), 1u);
  ASSERT_TRUE(idx.close_segments().has_value());
  EXPECT_EQ(idx.open_segment_count(), 0u);
  EXPECT_EQ(look(idx, 3), live(3)) << "a closed segment opens again when needed";
  EXPECT_EQ(idx.open_segment_count(), 1u);

  idx.set_notifier(std::nullopt);
  write(idx, 5);
  EXPECT_EQ(queue->size(), 0u);
}

// A segment whose write-back fails is neither marked clean nor dropped from the index.
TEST(IndexLifecycle, AFailedSyncKeepsTheSegmentDirtyAndRegistered) {
  TempDir dir;
  const Options two_pages{.size = 16384, .initial = 8192};
  {
    Index idx = make(dir, two_pages);
    auto queue = std::make_shared<DirtyQueue>();
    idx.set_notifier(FlushNotifier{DataSetKey{"a", "b"}, queue});
    for (std::int64_t ts = 0; ts < 4; ++ts) write(idx, ts);
    EXPECT_EQ(queue->take_all().size(), 1u);

    testing::BrokenMapping broken(seg_path(dir, 0));
    ASSERT_TRUE(broken.broken());
    auto flushed = idx.flush();
    ASSERT_FALSE(flushed.has_value());
    EXPECT_EQ(flushed.error().kind(), ErrorKind::Io);
    write(idx, 4);
    EXPECT_EQ(queue->size(), 0u) << "still reported: no second queue item";
    EXPECT_FALSE(idx.close_segments().has_value());
    EXPECT_EQ(idx.open_segment_count(), 1u);
    EXPECT_EQ(idx.segment_count(), 1u);
    EXPECT_EQ(look(idx, 2), live(2));

    broken.restore();
    ASSERT_TRUE(idx.flush().has_value());
    write(idx, 5);
    EXPECT_EQ(queue->take_all().size(), 1u) << "clean after a real sync";
    ASSERT_TRUE(idx.close_segments().has_value());
  }
  Index again = reopen(dir, two_pages);
  EXPECT_EQ(stamps(again.entries_in_range(kMin, kMax).value()), span(0, 5));

  // Released while its sync fails: the failure is logged, never thrown.
  std::vector<std::string> logged;
  log::set_sink(
      [&](log::Level level, std::string_view target, std::string_view text) {
        if (level == log::Level::Error) logged.push_back(std::string(target) + " | " + std::string(text));
      },
      log::Level::Info);
  {
    Index idx = reopen(dir, two_pages);
    write(idx, 6);
    testing::BrokenMapping broken(seg_path(dir, 0));
    ASSERT_TRUE(broken.broken());
    broken.abandon();
  }
  log::set_sink(nullptr, log::Level::Off);
  EXPECT_EQ(logged, std::vector<std::string>{"quelvane::index::segment | [IndexSegment drop] mmap flush failed: "
                                             "Cannot allocate memory (os error 12)"});
}

TEST(IndexLifecycle, RetentionRemovesWholeSegmentsBelowTheCutoff) {
  TempDir dir;
  {
    Index idx = make(dir);
    for (std::int64_t ts = 0; ts < 25; ++ts) write(idx, ts);
    ASSERT_TRUE(IndexSegment::create(dir / "index", 200, kInitial, kSize, 0, 0).has_value());  // empty
  }
  std::vector<std::string> logged;
  log::set_sink([&](log::Level, std::string_view, std::string_view text) { logged.emplace_back(text); },
                log::Level::Info);
  Index idx = reopen(dir);
  EXPECT_EQ(idx.segment_count(), 4u);
  EXPECT_EQ(look(idx, 22), live(22));  // segment 20 is open now: retention keeps it

  const std::string p0 = seg_path(dir, 0).string(), p10 = seg_path(dir, 10).string(),
                    p200 = seg_path(dir, 200).string();
  // A last timestamp equal to the cutoff is kept; an empty file goes whatever the cutoff.
  EXPECT_EQ(idx.retain_after(9), 1u);
  EXPECT_EQ(logged, std::vector<std::string>{"[retention] deleted empty index segment: " + p200});
  EXPECT_TRUE(fs::path_exists(seg_path(dir, 0)));
  EXPECT_EQ(idx.retain_after(19), 1u);
  EXPECT_FALSE(fs::path_exists(seg_path(dir, 0)));
  EXPECT_EQ(logged.back(), "[retention] deleted index segment: " + p0);
  EXPECT_EQ(idx.retain_after(kMax), 1u);
  EXPECT_EQ(logged.back(), "[retention] deleted index segment: " + p10);
  EXPECT_EQ(idx.segment_count(), 1u);
  EXPECT_EQ(stamps(idx.entries_in_range(kMin, kMax).value()), span(20, 24));

  // An unreadable file is kept.
  ASSERT_TRUE(idx.close_segments().has_value());
  auto f = fs::read_file(seg_path(dir, 20)).value();
  f[0] = 'X';
  ASSERT_TRUE(fs::overwrite_file(seg_path(dir, 20), f).has_value());
  EXPECT_EQ(idx.retain_after(kMax), 0u);
  EXPECT_EQ(logged.back(), "[retention] failed to read " + seg_path(dir, 20).string() +
                               ": invalid file magic: expected b\"QVAN\" (keeping)");
  log::set_sink(nullptr, log::Level::Off);
  EXPECT_EQ(idx.segment_count(), 1u);
}

TEST(IndexLifecycle, ReopenRecomputesWhatTheFilesHold) {
  TempDir dir;
  {
    Index idx = make(dir);
    for (std::int64_t ts = 0; ts < 25; ++ts) write(idx, ts);
    ASSERT_TRUE(idx.delete_entry(24).has_value());
  }
  Index idx = reopen(dir);
  EXPECT_EQ(idx.segment_count(), 3u);
  EXPECT_EQ(idx.open_segment_count(), 0u);
  EXPECT_EQ(idx.latest_timestamp(), 24);
  EXPECT_EQ(idx.read_latest_timestamp(), 24) << "a deleted record's timestamp still counts";
  EXPECT_EQ(idx.sealed_time_range(), (TimeRange{0, 19}));
  EXPECT_EQ(idx.newest_time_range(), (TimeRange{20, 24}));
  EXPECT_EQ(idx.base(), std::nullopt) << "sparse mode has no base";
  EXPECT_EQ(look(idx, 24), IndexEntry::sentinel(24));
  EXPECT_EQ(error_of(idx.append(24, 1, 1, nullptr)),
            "invalid data: non-continuous index append timestamp 24 must be greater than latest 24");
  write(idx, 25);

  TempDir cdir;
  {
    Index c = make(cdir, {.continuous = true});
    ASSERT_TRUE(write_after(c, std::nullopt, 1003).has_value());
    ASSERT_TRUE(write_after(c, 1003, 1031).has_value());
  }
  Index c = reopen(cdir, {.continuous = true});
  EXPECT_EQ(c.base(), 1003);
  EXPECT_EQ(c.read_latest_timestamp(), 1031);
  ASSERT_TRUE(write_after(c, 1031, 1044).has_value());
  EXPECT_TRUE(fs::path_exists(seg_path(cdir, 1043))) << "the grid of the first base";

  TempDir none;
  Index empty = reopen(none);
  EXPECT_EQ(empty.segment_count(), 0u);
  EXPECT_EQ(empty.read_latest_timestamp(), std::nullopt);
}

TEST(IndexLifecycle, OpenRegistersOnlyNumberedRegularFilesOncePerStart) {
  TempDir src;
  auto segment_with = [&](const std::string& name, std::uint64_t block) {
    auto seg = IndexSegment::create(src.path(), 5, kInitial, kSize, 0, 0).value();
    EXPECT_TRUE(seg.append({5, block, 0}).has_value());
    seg = IndexSegment::create(src.path(), 77, kInitial, kSize, 0, 0).value();  // syncs and releases the first
    return std::pair{name, fs::read_file(src / IndexSegment::file_name(5)).value()};
  };
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::uint64_t>> files;
    std::uint64_t winner;
  };
  const std::vector<Case> cases{
      {"our own name wins", {{"5", 111}, {"00000000000000000005", 222}}, 222},
      {"our own name wins whatever the order", {{"00000000000000000005", 222}, {"5", 111}}, 222},
      {"else the byte-wise smallest name", {{"5", 111}, {"0005", 444}, {"+5", 333}}, 333},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ASSERT_TRUE(fs::create_dir_all(dir / "index").has_value());
    for (const auto& [name, block] : c.files) {
      auto [n, bytes] = segment_with(name, block);
      ASSERT_TRUE(fs::write_file(dir / "index" / n, bytes).has_value());
    }
    Index idx = reopen(dir);
    EXPECT_EQ(idx.segment_count(), 1u) << c.name;
    EXPECT_EQ(look(idx, 5).value().block_offset, c.winner) << c.name;
  }

  TempDir dir;
  ASSERT_TRUE(fs::create_dir_all(dir / "index" / "00000000000000000050").has_value());
  auto [unused, bytes] = segment_with("", 1);
  for (const std::string name : {"notes", "12x", "+", "-", "9223372036854775808", "--5", "5.0"}) {
    ASSERT_TRUE(fs::write_file(dir / "index" / name, bytes).has_value());
  }
  Index idx = reopen(dir);
  EXPECT_EQ(idx.segment_count(), 0u);
}

// An interrupted create leaves an empty or zero-filled file; it holds no entry and must not
// stop the dataset from taking new writes.
TEST(IndexLifecycle, LeftoversOfAnInterruptedCreateDoNotBlockWrites) {
  TempDir dir;
  {
    Index idx = make(dir);
    for (std::int64_t ts = 0; ts < 10; ++ts) write(idx, ts);
  }
  ASSERT_TRUE(fs::write_file(seg_path(dir, 10), {}).has_value());
  ASSERT_TRUE(fs::write_file(seg_path(dir, 20), std::vector<std::uint8_t>(kInitial, 0)).has_value());
  {
    Index idx = reopen(dir);
    EXPECT_EQ(idx.segment_count(), 1u);
    for (std::int64_t ts = 10; ts < 21; ++ts) write(idx, ts);
    EXPECT_EQ(look(idx, 20), live(20));
  }
  Index idx = reopen(dir);
  EXPECT_EQ(idx.segment_count(), 3u);
  EXPECT_EQ(stamps(idx.entries_in_range(kMin, kMax).value()), span(0, 20));

  TempDir cdir;
  {
    Index c = make(cdir, {.continuous = true});
    ASSERT_TRUE(write_after(c, std::nullopt, 1000).has_value());
  }
  ASSERT_TRUE(fs::write_file(seg_path(cdir, 1010), std::vector<std::uint8_t>(kInitial, 0)).has_value());
  Index c = reopen(cdir, {.continuous = true});
  ASSERT_TRUE(write_after(c, 1000, 1012).has_value());
  EXPECT_EQ(look(c, 1010), IndexEntry::sentinel(1010));
  EXPECT_EQ(look(c, 1012), live(1012));
}

// Creates go through a temporary name, so a segment's own file with entries behind a damaged
// header can only be damage: it stays in the index and its reads fail, never reading as absent.
// Only a file with nothing behind its zero header is an interrupted create.
TEST(IndexLifecycle, ADamagedHeaderMakesTheSegmentUnreadableNotAbsent) {
  struct Case {
    std::string name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    bool unreadable;
  };
  const auto zero_header = [](std::vector<std::uint8_t>& f) {
    std::fill(f.begin(), f.begin() + IndexSegment::kHeaderLen, 0);
  };
  const std::vector<Case> cases{
      {"bad magic", [](std::vector<std::uint8_t>& f) { f[0] = 'X'; }, true},
      {"zeroed header, entries behind it", zero_header, true},
      {"zeroed header, one entry behind it",
       [&](std::vector<std::uint8_t>& f) {
         zero_header(f);
         std::fill(f.begin() + IndexSegment::kHeaderLen + IndexSegment::kEntrySize, f.end(), 0);
       },
       true},
      {"zero-filled file", [](std::vector<std::uint8_t>& f) { std::fill(f.begin(), f.end(), 0); }, false},
      {"zeroed header, nothing behind it",
       [&](std::vector<std::uint8_t>& f) {
         f.resize(IndexSegment::kHeaderLen);
         zero_header(f);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    {
      Index idx = make(dir);
      for (std::int64_t ts = 0; ts < 15; ++ts) write(idx, ts);
    }
    auto f = fs::read_file(seg_path(dir, 10)).value();
    c.damage(f);
    ASSERT_TRUE(fs::overwrite_file(seg_path(dir, 10), f).has_value());
    Index idx = reopen(dir);
    auto one = idx.lookup(12);
    auto all = idx.entries_in_range(kMin, kMax);
    if (c.unreadable) {
      EXPECT_EQ(idx.segment_count(), 2u);
      EXPECT_EQ(error_of(one), "invalid file magic: expected b\"QVAN\"");
      EXPECT_EQ(error_of(all), "invalid file magic: expected b\"QVAN\"");
    } else {
      EXPECT_EQ(idx.segment_count(), 1u);
      ASSERT_TRUE(one.has_value());
      EXPECT_EQ(*one, std::nullopt);
      ASSERT_TRUE(all.has_value());
      EXPECT_EQ(stamps(*all), span(0, 9));
    }
    // The dataset stays writable: the damaged file is kept for its reads, the entry goes into a
    // new segment of its own, and both are there after a reopen.
    write(idx, 20);
    Index again = reopen(dir);
    EXPECT_EQ(look(again, 20), live(20));
    EXPECT_EQ(error_of(again.lookup(12)), c.unreadable ? "invalid file magic: expected b\"QVAN\"" : "ok");
    EXPECT_EQ(fs::read_file(seg_path(dir, 10)).value(), f) << "left as it is";
  }
}

// An entry that could only go into the damaged file is refused before anything is stored,
// naming the file: in a continuous index its own grid segment, in a sparse one at or below the
// damaged segment's start.
TEST(IndexLifecycle, AnEntryThatOnlyADamagedSegmentCouldHoldIsRefusedNamingIt) {
  struct Case {
    std::string name;
    bool continuous;
    std::int64_t ts;
  };
  const std::vector<Case> cases{{"continuous, in the damaged segment's slots", true, 15},
                                {"sparse, at the damaged segment's start", false, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    {
      Index idx = make(dir, {.continuous = c.continuous});
      for (std::int64_t ts = 0; ts < 13; ++ts) {
        ASSERT_TRUE(write_after(idx, ts == 0 ? std::nullopt : std::optional(ts - 1), ts));
      }
    }
    auto f = fs::read_file(seg_path(dir, 10)).value();
    f[0] = 'X';
    ASSERT_TRUE(fs::overwrite_file(seg_path(dir, 10), f).has_value());
    Index idx = reopen(dir, {.continuous = c.continuous});
    const std::string refusal = "invalid data: cannot index timestamp " + std::to_string(c.ts) + ": index segment " +
                                seg_path(dir, 10).string() + " cannot be read: invalid file magic: expected b\"QVAN\"";
    EXPECT_EQ(error_of(idx.check_new_latest(c.ts)), refusal);
    if (c.continuous) {
      EXPECT_EQ(error_of(idx.check_new_latest(20)), "ok") << "the next grid segment is free";
    }
    EXPECT_EQ(fs::read_file(seg_path(dir, 10)).value(), f) << "left as it is";
  }
}

}  // namespace
}  // namespace quelvane
