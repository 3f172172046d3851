// The dataset queue: delivery order, acknowledgement, redelivery and the retry limit under a
// controlled clock, the pending limit, shared group state, blocking polls and their wake-ups,
// wake callbacks, dropping and listing groups, deferred state flushes, and closing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <numeric>
#include <string>
#include <thread>

#include "queue/mod.h"
#include "support/allocation_counter.h"
#include "support/blocked_thread.h"
#include "support/dataset_fixture.h"
#include "support/file_faults.h"
#include "support/interrupted_write.h"
#include "support/power_loss.h"
#include "util/bytes.h"
#include "util/log.h"

namespace quelvane::testing {
namespace {

using Entry = DatasetQueueConsumerPendingEntry;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr Duration kForever{std::numeric_limits<std::uint64_t>::max(), 999'999'999};

class DatasetQueueTest : public DatasetTest {
 protected:
  // Delivery times come from this clock, so redelivery is tested without waiting.
  std::shared_ptr<std::atomic<std::int64_t>> now = std::make_shared<std::atomic<std::int64_t>>(1'000'000);
  UnixClock clock() {
    return [now = now] { return now->load(); };
  }

  Dataset ds = create();
  DatasetQueue q = open_queue(ds);

  DatasetQueue open_queue(const Dataset& d) { return ok(DatasetQueue::open(d, clock())); }
  DatasetQueueConsumer consumer(std::string_view name = "g", ConsumerGroupConfig config = {30, 3}) {
    return ok(q.open_consumer(name, config));
  }
  static std::optional<std::int64_t> next_ts(DatasetQueueConsumer& c) {
    auto r = ok(c.try_poll());
    return r ? std::optional(r->first) : std::nullopt;
  }
  static std::vector<std::int64_t> drain(DatasetQueueConsumer& c) {
    std::vector<std::int64_t> out;
    while (auto ts = next_ts(c)) out.push_back(*ts);
    return out;
  }
  static DatasetQueueConsumerState state(DatasetQueueConsumer& c) { return ok(c.inspect()).state; }
  static std::vector<std::int64_t> pending(DatasetQueueConsumer& c) {
    std::vector<std::int64_t> out;
    for (const auto& e : state(c).pending_entries) out.push_back(e.timestamp);
    return out;
  }
  std::int64_t push(std::string_view s) { return ok(q.push(bytes(s))); }
};

TEST_F(DatasetQueueTest, DeliversEveryRecordAboveTheWatermarkInOrder) {
  // A group opened on an empty dataset starts below every timestamp: it sees a record at 0.
  auto early = consumer("early");
  EXPECT_EQ(state(early).processed_ts, kMin);
  ok(ds.write(0, bytes("zero")));
  EXPECT_EQ(push("one"), 1);
  EXPECT_EQ(push("two"), 2);
  ok(ds.write(10, bytes("ten")));  // a write through the dataset is delivered like a push
  auto r = ok(early.try_poll());
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (RecordData{0, bytes("zero")}));
  EXPECT_EQ(drain(early), (std::vector<std::int64_t>{1, 2, 10}));

  // A group opened later starts at the latest timestamp and never sees the history.
  auto late = consumer("late");
  EXPECT_EQ(state(late).processed_ts, 10);
  EXPECT_EQ(next_ts(late), std::nullopt);
  EXPECT_EQ(push("eleven"), 11);
  EXPECT_EQ(next_ts(late), 11);
  EXPECT_EQ(next_ts(early), 11);  // every group receives every record
}

TEST_F(DatasetQueueTest, AcknowledgementMovesTheWatermarkOnlyPastADonePrefix) {
  ok(ds.write(10, bytes("x")));
  auto c = consumer();
  push("a");
  push("b");
  EXPECT_EQ(drain(c), (std::vector<std::int64_t>{11, 12}));
  ok(c.ack(12));
  EXPECT_EQ(state(c).processed_ts, 10);
  ASSERT_EQ(state(c).pending_entries.size(), 2u);
  EXPECT_EQ(state(c).pending_entries[1].status, Entry::kDone);
  ok(c.ack(12));  // still listed: acknowledging again succeeds
  ok(c.ack(11));
  EXPECT_EQ(state(c).processed_ts, 12);
  EXPECT_TRUE(state(c).pending_entries.empty());
  EXPECT_EQ(err(c.ack(12)), Error::not_found("pending entry for timestamp 12"));
  EXPECT_EQ(err(c.ack(5)), Error::not_found("pending entry for timestamp 5"));
}

TEST_F(DatasetQueueTest, RedeliveryComesFirstAndStopsAtTheRetryLimit) {
  auto c = consumer("g", {30, 3});
  const std::int64_t t0 = *now;
  push("a");
  EXPECT_EQ(next_ts(c), 1);
  *now += 29;
  EXPECT_EQ(next_ts(c), std::nullopt);  // in flight and not yet due
  push("b");
  *now += 1;
  EXPECT_EQ(next_ts(c), 1);  // the due redelivery comes before the new record
  EXPECT_EQ(next_ts(c), 2);
  EXPECT_EQ(state(c).pending_entries,
            (std::vector<Entry>{{1, t0 + 30, Entry::kPending, 1}, {2, t0 + 30, Entry::kPending, 0}}));
  for (std::uint8_t retry = 2; retry <= 3; ++retry) {
    *now += 30;
    EXPECT_EQ(drain(c), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(state(c).pending_entries[0].retry_count, retry);
  }
  // Four deliveries of 1 so far: at its next expiry it is given up and the watermark passes it.
  *now += 30;
  EXPECT_EQ(next_ts(c), 2);
  EXPECT_EQ(state(c).processed_ts, 1);
  EXPECT_EQ(pending(c), (std::vector<std::int64_t>{2}));
  EXPECT_EQ(next_ts(c), std::nullopt);
}

// A kill keeps what is stored into a mapping: the group's file must hold every change as it is
// made, not only at the deferred flush.
TEST_F(DatasetQueueTest, TheGroupsFileHoldsEveryChangeBeforeAnyFlush) {
  const fs::Path file = dir() / "queue" / "g";
  auto on_file = [&] {
    const Bytes b = read_bytes(file);
    DatasetQueueConsumerState st{bytes::load_le<std::int64_t>(&b[10]), {}};
    for (std::size_t i = 0; i < bytes::load_le<std::uint16_t>(&b[18]); ++i) {
      const std::uint8_t* e = &b[21 + 18 * i];
      st.pending_entries.push_back({bytes::load_le<std::int64_t>(e), bytes::load_le<std::int64_t>(e + 8), e[16], e[17]});
    }
    return st;
  };
  auto c = consumer("g", {30, 1});
  for (const char* p : {"a", "b", "c"}) push(p);
  TakenDelivery taken;
  const struct {
    const char* change;
    std::function<void()> make;
  } changes[] = {
      {"a delivery", [&] { EXPECT_EQ(next_ts(c), 1); }},
      {"a second delivery", [&] { EXPECT_EQ(next_ts(c), 2); }},
      {"an acknowledgement", [&] { ok(c.ack(1)); }},
      {"a redelivery", [&] { *now += 30; EXPECT_EQ(next_ts(c), 2); }},
      {"a give-up at the retry limit", [&] { *now += 30; EXPECT_EQ(ok(c.try_poll(&taken))->first, 3); }},
      {"a delivery given back", [&] { ok(c.give_back(*taken)); }},
  };
  for (const auto& [change, make] : changes) {
    const DatasetQueueConsumerState before = state(c);
    make();
    EXPECT_NE(state(c), before) << change;
    EXPECT_EQ(on_file(), state(c)) << change;
  }
}

// A group's progress is never durable before the records it covers: after a power loss that
// keeps only what the syncs made durable, every record the group finished is still there.
TEST_F(DatasetQueueTest, AConsumersFlushOrCloseSyncsTheRecordsItsProgressCovers) {
  const struct {
    const char* how;
    std::function<Status(DatasetQueueConsumer&)> make_durable;
  } cases[] = {
      {"flush", [](DatasetQueueConsumer& c) { return c.flush(); }},
      {"close", [](DatasetQueueConsumer& c) { return c.close(); }},
  };
  int n = 0;
  for (const auto& [how, make_durable] : cases) {
    SCOPED_TRACE(how);
    const fs::Path root = tmp.path() / "groups" / std::to_string(n++);
    Dataset d = ok(Dataset::create(key, root / "ds", small_config()));
    DatasetQueue dq = open_queue(d);
    auto c = ok(dq.open_consumer("g", {}));
    PowerLossRecorder recorder(root);
    for (int i = 0; i < 5; ++i) ok(dq.push(bytes("r")));
    for (std::int64_t ts = 1; ts <= 5; ++ts) {
      ASSERT_EQ(ok(c.try_poll())->first, ts);
      ok(c.ack(ts));
    }
    ok(make_durable(c));
    const fs::Path disk = tmp.path() / "disk" / std::to_string(n);
    PowerLoss loss;
    loss.lose_unsynced_entries = false;  // the files' entries are another matter: only the order here
    recorder.build_disk(disk, loss);
    const Bytes group = read_bytes(disk / "ds" / "queue" / "g");
    EXPECT_EQ(bytes::load_le<std::int64_t>(&group[10]), 5) << "the group's progress is durable";
    Dataset after = ok(Dataset::open(key, disk / "ds"));
    EXPECT_EQ(after.latest_timestamp(), 5);
    for (std::int64_t ts = 1; ts <= 5; ++ts) EXPECT_TRUE(ok(after.read(ts))) << ts;
  }
}

// A power loss can leave a group's progress past the records that reached the disk; the next
// pushes take those timestamps again, and the group must receive them.
TEST_F(DatasetQueueTest, AGroupPastTheDatasetsLatestIsBroughtDownAtOpen) {
  const struct {
    const char* name;
    std::int64_t acknowledged;  // 1 to this acknowledged, the rest up to 45 delivered
    std::int64_t watermark;     // after the open over 40 records
    std::vector<std::int64_t> pending;
  } cases[] = {
      {"watermark past the latest", 45, 40, {}},
      {"deliveries past the latest", 38, 38, {39, 40}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::Path ahead = tmp.path() / "ahead" / std::to_string(n);
    const fs::Path behind = tmp.path() / "behind" / std::to_string(n++);
    for (const auto& [dir, records] : {std::pair{ahead, 45}, std::pair{behind, 40}}) {
      Dataset d = ok(Dataset::create(key, dir, small_config()));
      DatasetQueue dq = open_queue(d);
      auto g = ok(dq.open_consumer("g", {30, 3}));
      for (int i = 0; i < records; ++i) ok(dq.push(bytes("r")));
      if (dir == ahead) {
        for (std::int64_t ts = 1; ts <= 45; ++ts) ASSERT_EQ(ok(g.try_poll())->first, ts);
        for (std::int64_t ts = 1; ts <= c.acknowledged; ++ts) ok(g.ack(ts));
      }
      ok(d.close());
    }
    // The 40-record dataset with the group's file of the 45-record one.
    write_bytes(behind / "queue" / "g", read_bytes(ahead / "queue" / "g"));
    Dataset d = ok(Dataset::open(key, behind));
    DatasetQueue dq = open_queue(d);
    auto g = ok(dq.open_consumer("g", {30, 3}));
    EXPECT_EQ(state(g).processed_ts, c.watermark);
    EXPECT_EQ(pending(g), c.pending);
    EXPECT_EQ(ok(dq.push(bytes("new"))), 41);
    std::vector<std::int64_t> expected = c.pending;
    expected.push_back(41);
    EXPECT_EQ(drain(g), expected);
  }
}

TEST_F(DatasetQueueTest, WithoutATimeoutOnlyAReopenRedelivers) {
  auto c = consumer("g", {0, 0});
  push("a");
  EXPECT_EQ(next_ts(c), 1);
  *now += 1'000'000;
  EXPECT_EQ(next_ts(c), std::nullopt);
  ok(c.close());
  auto again = consumer("g", {0, 0});
  EXPECT_EQ(next_ts(again), 1);
  EXPECT_EQ(state(again).pending_entries[0].retry_count, 1);
}

TEST_F(DatasetQueueTest, AGivenBackDeliveryIsDueAtOnceAndCountsNoRedelivery) {
  auto c = consumer("g", {30, 1});
  const std::int64_t t0 = *now;
  push("a");
  push("b");
  TakenDelivery first;
  auto r = ok(c.poll(Duration{}, {}, &first));
  ASSERT_TRUE(r && first);
  EXPECT_EQ(r->first, 1);
  TakenDelivery taken;
  ASSERT_TRUE(ok(c.try_poll(&taken)) && taken);
  ok(c.ack(2));
  ok(c.give_back(*first));
  // A done entry after it does not carry the watermark past a record nobody received.
  EXPECT_EQ(state(c).processed_ts, kMin);
  EXPECT_EQ(state(c).pending_entries, (std::vector<Entry>{{1, 0, Entry::kPending, 0}, {2, t0, Entry::kDone, 0}}));
  ok(c.give_back(*first));  // no longer in flight: nothing to undo
  ok(c.give_back(*taken));  // acknowledged since: left done
  EXPECT_EQ(state(c).pending_entries[1].status, Entry::kDone);

  // Due at once, and its next delivery is still its first: the limit allows one redelivery.
  r = ok(c.poll(Duration{}, {}, &taken));
  ASSERT_TRUE(r && taken);
  EXPECT_EQ(r->first, 1);
  EXPECT_EQ(state(c).pending_entries[0], (Entry{1, t0, Entry::kPending, 0}));
  *now += 30;
  ASSERT_TRUE(ok(c.try_poll(&taken)) && taken);
  EXPECT_EQ(state(c).pending_entries[0].retry_count, 1);
  ok(c.give_back(*taken));  // a redelivery given back is uncounted again
  EXPECT_EQ(state(c).pending_entries[0], (Entry{1, 0, Entry::kPending, 0}));
  EXPECT_EQ(next_ts(c), 1);
  EXPECT_EQ(state(c).pending_entries[0].retry_count, 1);
  *now += 30;
  EXPECT_EQ(next_ts(c), std::nullopt);  // given up at the limit
  EXPECT_EQ(state(c).processed_ts, 2);
}

// A redelivery whose record cannot be read for want of memory is given back: no attempt that
// ran out counts a retry, so the limit's one redelivery still hands the record out.
TEST_F(DatasetQueueTest, ARedeliveryThatRunsOutOfMemoryIsGivenBack) {
  auto c = consumer("g", {30, 1});
  push("a");
  EXPECT_EQ(next_ts(c), 1);
  *now += 30;
  int failures = 0;
  auto got = ok(once_memory_suffices([&] { return c.try_poll(); }, [&] { ++failures; }));
  EXPECT_GT(failures, 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (RecordData{1, bytes("a")}));
  *now += 30;
  EXPECT_EQ(next_ts(c), std::nullopt);  // given up after that one redelivery
}

TEST_F(DatasetQueueTest, RedeliveryOfAVanishedRecordReturnsNothingButCountsAsSent) {
  auto c = consumer("g", {30, 3});
  push("a");
  EXPECT_EQ(next_ts(c), 1);
  ok(ds.delete_record(1));
  *now += 30;
  EXPECT_EQ(next_ts(c), std::nullopt);
  EXPECT_EQ(state(c).pending_entries, (std::vector<Entry>{{1, *now, Entry::kPending, 1}}));
}

// Unacknowledged records that fall out of the retention window can never be delivered again: their
// due redeliveries are given up in the poll that meets them, counting no retry, and the same poll
// goes on to a record that exists, whatever the retry limit (0: none). A full pending list of
// such entries must not wedge the group.
TEST_F(DatasetQueueTest, RedeliveriesBelowTheRetentionThresholdAreGivenUpAndThePollGoesOn) {
  const ConsumerGroupConfig configs[] = {{30, 0}, {30, 1}, {900, 3}, {0, 0}};
  for (const ConsumerGroupConfig config : configs) {
    SCOPED_TRACE(::testing::Message() << "running_expired_seconds " << config.running_expired_seconds
                                      << ", max_retry_count " << int{config.max_retry_count});
    DataSetConfig c = small_config();
    c.retention_window = 300;
    const fs::Path at = tmp.path() / ("retained-" + std::to_string(config.running_expired_seconds) + "-" +
                                      std::to_string(config.max_retry_count));
    Dataset retained = ok(Dataset::create(key, at, c));
    DatasetQueue queue = open_queue(retained);
    std::optional<DatasetQueueConsumer> group = ok(queue.open_consumer("g", config));
    for (std::int64_t ts = 1; ts <= 226; ++ts) ASSERT_EQ(ok(queue.push(bytes("old"))), ts);
    for (std::int64_t ts = 1; ts <= 226; ++ts) ASSERT_EQ(next_ts(*group), ts);
    ok(retained.write(1000, bytes("new")));  // the threshold is now 700: every pending record is out
    EXPECT_EQ(ok(queue.push(bytes("newer"))), 1001);
    if (config.running_expired_seconds != 0) {
      *now += config.running_expired_seconds;
    } else {
      ok(group->close());  // without a timeout only a reopen makes deliveries due again
      group = ok(queue.open_consumer("g", config));
    }

    std::vector<std::string> warned;
    log::set_sink([&](log::Level, std::string_view, std::string_view text) { warned.emplace_back(text); },
                  log::Level::Warn);
    EXPECT_EQ(ok(group->try_poll()), std::optional(RecordData{1000, bytes("new")}));
    log::set_sink(nullptr, log::Level::Off);
    EXPECT_EQ(warned, std::vector<std::string>{
                          "[queue] consumer group g gave up 226 deliveries below the retention threshold 701"});
    EXPECT_EQ(next_ts(*group), 1001);
    const DatasetQueueConsumerState st = state(*group);
    EXPECT_EQ(st.processed_ts, 226);
    EXPECT_EQ(st.pending_entries, (std::vector<Entry>{{1000, *now, Entry::kPending, 0}, {1001, *now, Entry::kPending, 0}}));
    ok(queue.close());
  }
}

TEST_F(DatasetQueueTest, PendingListFullRefusesNewRecordsButNotRedeliveries) {
  auto c = consumer("g", {30, 3});
  for (int i = 0; i < 227; ++i) push("r");
  for (std::int64_t ts = 1; ts <= 226; ++ts) ASSERT_EQ(next_ts(c), ts);
  const Error full = err(c.try_poll());
  EXPECT_EQ(full, Error::pending_full((dir() / "queue" / "g").string() + " (226 entries)"));
  EXPECT_EQ(pending(c).size(), 226u);
  *now += 30;
  EXPECT_EQ(next_ts(c), 1);
  ok(c.ack(1));
  EXPECT_EQ(next_ts(c), 2);  // redeliveries still come first
}

TEST_F(DatasetQueueTest, HandlesOfOneGroupShareItsState) {
  auto h1 = consumer("g");
  auto h2 = consumer("g");
  auto other = consumer("other");
  push("a");
  push("b");
  EXPECT_EQ(next_ts(h1), 1);
  EXPECT_EQ(next_ts(h2), 2);  // 1 is pending for both
  EXPECT_EQ(next_ts(h2), std::nullopt);
  EXPECT_EQ(pending(h1), (std::vector<std::int64_t>{1, 2}));
  ok(h2.ack(1));
  EXPECT_EQ(state(h1).processed_ts, 1);

  EXPECT_EQ(err(q.open_consumer("g", {31, 3})),
            Error::invalid_data("consumer group g is already open with a different config"));
  ok(h1.close());
  ok(h1.close());  // a second close does nothing
  EXPECT_EQ(err(h2.try_poll()), Error::queue_closed("queue consumer is closed"));
  EXPECT_EQ(err(h2.ack(2)), Error::queue_closed("queue consumer is closed"));
  EXPECT_EQ(err(h2.inspect()), Error::queue_closed("queue consumer is closed"));
  EXPECT_EQ(drain(other), (std::vector<std::int64_t>{1, 2}));  // the queue stays open

  // Reopened with another config, the group continues from its file; the close released 2.
  auto h3 = consumer("g", {31, 3});
  EXPECT_EQ(ok(h3.inspect()).info, (DatasetQueueConsumerInfo{"g", 31, 3}));
  EXPECT_EQ(next_ts(h3), 2);
  EXPECT_EQ(state(h3).pending_entries[0].retry_count, 1);
  ok(h2.close());  // a stale handle's close leaves the reopened group alone
  EXPECT_EQ(pending(h3), (std::vector<std::int64_t>{2}));
}

TEST_F(DatasetQueueTest, NamesAreChecked) {
  const Error bad = Error::invalid_data("queue consumer group_name must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes");
  for (std::string name : {std::string(), std::string("a/b"), std::string(".."), std::string("a b"),
                           std::string(256, 'x')}) {
    EXPECT_EQ(err(q.open_consumer(name, {})), bad) << name;
    EXPECT_EQ(err(q.drop_consumer(name)), bad) << name;
  }
  ok(q.open_consumer(std::string(255, 'x'), {}));
}

TEST_F(DatasetQueueTest, BlockingPollIsWokenByAPushFromAnotherThread) {
  auto c = consumer();
  EXPECT_EQ(ok(c.poll(Duration{})), std::nullopt);  // timeout 0 never waits
  std::promise<void> waiting;
  std::atomic<bool> signalled{false};
  auto polled = std::async(std::launch::async, [&] {
    return c.poll(Duration::from_secs(600), [&](const std::function<void()>& wait) {
      if (!signalled.exchange(true)) waiting.set_value();
      wait();
      return true;
    });
  });
  waiting.get_future().wait();
  push("a");
  ASSERT_EQ(polled.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  auto r = ok(polled.get());
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (RecordData{1, bytes("a")}));
}

// Pollers of several groups (and of one handle) waiting at once are all woken by one push.
TEST_F(DatasetQueueTest, OnePushWakesEveryBlockedPoller) {
  auto a = consumer("a");
  auto b = consumer("b");
  struct Poller {
    DatasetQueueConsumer* consumer;
    Duration timeout;
  };
  const Poller pollers[] = {{&a, kForever}, {&b, Duration::from_secs(600)}, {&b, kForever}};
  std::atomic<int> waiting{0};
  std::vector<std::future<Result<std::optional<QueueRecord>>>> polled;
  for (const Poller& p : pollers) {
    polled.push_back(std::async(std::launch::async, [&, p] {
      bool counted = false;
      return p.consumer->poll(p.timeout, [&](const std::function<void()>& wait) {
        if (!std::exchange(counted, true)) ++waiting;
        wait();
        return true;
      });
    }));
  }
  while (waiting < 3) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let each reach its wait
  push("x");
  push("y");  // b's two polls each need a record
  std::vector<std::int64_t> got;
  for (auto& f : polled) {
    if (f.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      ADD_FAILURE() << "a poller was not woken";
      std::abort();  // the blocked thread cannot be joined
    }
    auto r = ok(f.get());
    ASSERT_TRUE(r);
    got.push_back(r->first);
  }
  EXPECT_EQ(got[0], 1);
  std::sort(got.begin() + 1, got.end());
  EXPECT_EQ(got, (std::vector<std::int64_t>{1, 1, 2}));
}

TEST_F(DatasetQueueTest, TimedOutPollMakesOneLastAttempt) {
  auto c = consumer("g", {30, 3});
  push("a");
  EXPECT_EQ(next_ts(c), 1);
  // The redelivery comes due while the poll waits; the attempt after the timeout returns it.
  auto r = ok(c.poll(Duration::from_millis(1), [&](const std::function<void()>& wait) {
    *now += 30;
    wait();
    return true;
  }));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, 1);
  // A huge timeout with a record at hand returns it at once.
  push("b");
  r = ok(c.poll(kForever));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, 2);
}

// Every way of closing a group wakes its blocked pollers at once, even a poll without a deadline,
// and so does a close whose sync of the group's state fails: the group is closed all the same.
TEST_F(DatasetQueueTest, ClosingWakesBlockedPollers) {
  struct Case {
    const char* what;
    std::function<Status(DatasetQueue&, Dataset&, DatasetQueueConsumer&)> close;
  };
  const Case cases[] = {
      {"queue close", [](DatasetQueue& q, Dataset&, DatasetQueueConsumer&) { return q.close(); }},
      {"dataset close", [](DatasetQueue&, Dataset& d, DatasetQueueConsumer&) { return d.close(); }},
      {"another handle's close", [](DatasetQueue&, Dataset&, DatasetQueueConsumer& h) { return h.close(); }},
      {"drop", [](DatasetQueue& q, Dataset&, DatasetQueueConsumer&) { return q.drop_consumer("g"); }},
  };
  int n = 0;
  for (const bool sync_fails : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.what << (sync_fails ? ", sync failing" : ""));
      const fs::Path d_dir = tmp.path() / "closing" / std::to_string(n++);
      Dataset d = ok(Dataset::create(key, d_dir, small_config()));
      DatasetQueue dq = open_queue(d);
      auto poller = ok(dq.open_consumer("g", {}));
      auto other = ok(dq.open_consumer("g", {}));
      std::promise<pid_t> waiting;
      std::atomic<bool> signalled{false};
      auto polled = std::async(std::launch::async, [&] {
        return poller.poll(kForever, [&](const std::function<void()>& wait) {
          if (!signalled.exchange(true)) waiting.set_value(this_thread_tid());
          wait();
          return true;
        });
      });
      // The poll's thread cannot be joined while it waits: a failure ends the process.
      auto give_up = [&](const char* why) {
        ADD_FAILURE() << c.what << (sync_fails ? ", sync failing" : "") << ": " << why;
        std::abort();
      };
      // Closed while it sleeps on the notifier: only a notification can end that wait.
      if (!await_sleeping(waiting.get_future().get())) give_up("the poll never waited");
      {
        std::optional<FailingSync> failing;
        if (sync_fails && !failing.emplace(d_dir / "queue" / "g").failing()) give_up("no mapping of the group");
        const Status closed = c.close(dq, d, other);
        if (sync_fails) {
          EXPECT_EQ(err(closed).kind(), ErrorKind::Io);
        } else {
          ok(closed);
        }
      }
      if (polled.wait_for(std::chrono::seconds(60)) != std::future_status::ready) give_up("the poller was not woken");
      EXPECT_EQ(err(polled.get()), Error::queue_closed("queue consumer is closed"));
    }
  }
}

// A producer, a consumer and a flusher on three threads meet only through the one lock order:
// every record arrives once, in order, and nothing hangs.
TEST_F(DatasetQueueTest, ProducerConsumerAndFlusherRunTogether) {
  ok(ds.attach_context(context()));
  auto c = consumer("g", {30, 3});
  constexpr std::int64_t kRecords = 400;
  std::atomic<bool> done{false};
  auto producer = std::async(std::launch::async, [&] {
    for (std::int64_t i = 1; i <= kRecords; ++i) ok(q.push(bytes(std::to_string(i))));
  });
  auto flusher = std::async(std::launch::async, [&] {
    while (!done.load()) ok(ds.flush());
  });
  std::vector<std::int64_t> got;
  while (static_cast<std::int64_t>(got.size()) < kRecords) {
    auto r = ok(c.poll(Duration::from_secs(60)));
    ASSERT_TRUE(r);
    EXPECT_EQ(text_of(r->second), std::to_string(r->first));
    got.push_back(r->first);
    ok(c.ack(r->first));
  }
  done = true;
  producer.get();
  flusher.get();
  std::vector<std::int64_t> expected(kRecords);
  std::iota(expected.begin(), expected.end(), 1);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(state(c).processed_ts, kRecords);
}

WakeCallback callback(std::function<void()> f) { return std::make_shared<const std::function<void()>>(std::move(f)); }

TEST_F(DatasetQueueTest, CallbacksRunAfterTheLocksAndEachOneRuns) {
  auto c = consumer("g");
  auto c2 = consumer("other");
  std::vector<std::string> calls;
  std::vector<bool> read_ok;
  ok(c.poll_callback(callback([&] {
    calls.push_back("first");
    // The dataset's and the queue's locks are free: the callback may read the dataset.
    read_ok.push_back(ds.read(-1).has_value());
    read_ok.push_back(q.get_consumer_group_names().has_value());
    throw std::runtime_error("callback failure");
  })));
  ok(c2.poll_callback(callback([&] { calls.push_back("second"); })));
  EXPECT_EQ(err(c.poll_callback(callback([] {}))), Error::invalid_data("queue poll callback is already registered"));

  push("a");  // a throwing callback neither fails the push nor stops the others
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(read_ok, (std::vector<bool>{true, true}));
  ok(ds.write(5, bytes("w")));  // a new record written through the dataset wakes too
  ok(ds.write(5, bytes("v")));  // a correction does not
  EXPECT_EQ(calls.size(), 4u);

  ok(c.poll_callback(nullptr));
  ok(c.poll_callback(nullptr));
  push("b");
  EXPECT_EQ(calls.back(), "second");
  EXPECT_EQ(calls.size(), 5u);

  // A handle released without close leaves its callback registered until the group goes.
  int kept = 0;
  {
    auto released = consumer("kept");
    ok(released.poll_callback(callback([&] { ++kept; })));
  }
  push("c");
  EXPECT_EQ(kept, 1);
  ok(q.drop_consumer("kept"));
  push("d");
  EXPECT_EQ(kept, 1);
}

// Releasing a callback may run user code: it happens after the queue's locks are dropped.
TEST_F(DatasetQueueTest, CallbacksAreReleasedOutsideTheLocks) {
  std::vector<Error> seen;
  auto watched = [&] {
    return WakeCallback(new std::function<void()>([] {}), [&](const std::function<void()>* f) {
      delete f;
      seen.push_back(err(q.drop_consumer("never-opened")));
    });
  };
  auto c = consumer("g1");
  ok(c.poll_callback(watched()));
  ok(c.close());
  auto d = consumer("g2");
  ok(d.poll_callback(watched()));
  ok(q.drop_consumer("g2"));
  EXPECT_EQ(seen, (std::vector<Error>(2, Error::consumer_group_not_found("never-opened"))));
}

// Closing from the dataset's side lets go of the callbacks after the dataset's lock too: a
// release that reaches the dataset finds it free.
TEST_F(DatasetQueueTest, ClosingFromTheDatasetReleasesCallbacksAfterItsLock) {
  struct Case {
    const char* what;
    std::function<void(DatasetQueue&, Dataset&)> close;
  };
  const Case cases[] = {
      {"queue close", [](DatasetQueue& q, Dataset&) { ok(q.close()); }},
      {"dataset close", [](DatasetQueue&, Dataset& d) { ok(d.close()); }},
  };
  int n = 0;
  for (const auto& c : cases) {
    Dataset d = ok(Dataset::create(key, tmp.path() / "release" / std::to_string(n++), small_config()));
    DatasetQueue dq = open_queue(d);
    std::vector<bool> lock_was_free;
    {
      auto held = ok(dq.open_consumer("g", {}));
      ok(held.poll_callback(WakeCallback(new std::function<void()>([] {}), [&](const std::function<void()>* f) {
        delete f;
        lock_was_free.push_back(queue::queue_dir(d).has_value());
      })));
    }  // the handle goes; its group's slot keeps the callback
    c.close(dq, d);
    EXPECT_EQ(lock_was_free, std::vector<bool>{true}) << c.what;
  }
}

TEST_F(DatasetQueueTest, DropAndListGroups) {
  EXPECT_EQ(ok(q.get_consumer_group_names()), std::vector<std::string>{});
  auto a = consumer("a");
  consumer("b");
  consumer("A");
  ok(fs::write_file(dir() / "queue" / "zz.junk", bytes("j")));
  ok(fs::write_file(dir() / "queue" / "\xff", bytes("j")));
  EXPECT_EQ(ok(q.get_consumer_group_names()),
            (std::vector<std::string>{"A", "a", "b", "zz.junk", "\xEF\xBF\xBD"}));

  push("x");
  EXPECT_EQ(next_ts(a), 1);
  ok(q.drop_consumer("a"));  // open: closed for every handle, file deleted
  EXPECT_EQ(err(a.try_poll()), Error::queue_closed("queue consumer is closed"));
  EXPECT_FALSE(fs::path_exists(dir() / "queue" / "a"));
  auto fresh = consumer("a");  // a fresh group starts at the latest timestamp
  EXPECT_EQ(state(fresh).processed_ts, 1);
  EXPECT_EQ(next_ts(fresh), std::nullopt);

  ok(fs::write_file(dir() / "queue" / "zz", bytes("left over")));
  ok(q.drop_consumer("zz"));  // never opened, but its file exists
  EXPECT_FALSE(fs::path_exists(dir() / "queue" / "zz"));
  EXPECT_EQ(err(q.drop_consumer("nosuch")), Error::consumer_group_not_found("nosuch"));
  ok(q.close());
  EXPECT_EQ(err(q.drop_consumer("b")), Error::queue_closed("queue is closed"));
  EXPECT_EQ(ok(q.get_consumer_group_names()).size(), 5u);  // a closed queue still answers
}

// A kill between a group's state file creation and its rename leaves the file under its
// temporary name: never a group, and removed when the queue is next opened.
TEST_F(DatasetQueueTest, LeftoverTemporaryStateFilesAreNoGroupsAndGoAtTheNextOpen) {
  consumer("a");
  const std::string longest(255, 'x');
  for (const std::string& name : {std::string("a"), std::string("b"), longest})
    ok(fs::write_file(fs::temporary_beside(dir() / "queue" / name), bytes("left by a kill")));
  EXPECT_EQ(ok(q.get_consumer_group_names()), std::vector<std::string>{"a"});
  ok(q.close());
  DatasetQueue again = open_queue(ds);
  EXPECT_EQ(ok(fs::list_dir(dir() / "queue")), std::vector<std::string>{"a"});
  // The longest group name still has room for its temporary name.
  ok(again.open_consumer(longest, {}));
  EXPECT_EQ(ok(again.get_consumer_group_names()), (std::vector<std::string>{"a", longest}));
}

TEST_F(DatasetQueueTest, OneQueuePerDatasetAndAfterCloseGroupsContinue) {
  EXPECT_EQ(err(DatasetQueue::open(ds, clock())), Error::queue_already_open("queue already open for dataset a"));
  auto c = consumer("g", {30, 3});
  push("a");
  EXPECT_EQ(next_ts(c), 1);
  ok(q.close());
  EXPECT_EQ(err(q.push(bytes("b"))), Error::queue_closed("queue is closed"));
  EXPECT_EQ(err(q.open_consumer("h", {})), Error::queue_closed("queue is closed"));
  EXPECT_EQ(err(c.try_poll()), Error::queue_closed("queue consumer is closed"));
  ok(c.close());  // still allowed
  ok(q.close());

  q = open_queue(ds);
  auto again = consumer("g", {30, 3});
  EXPECT_EQ(next_ts(again), 1);  // the close released the unacknowledged delivery
  EXPECT_EQ(state(again).pending_entries[0].retry_count, 1);

  ok(ds.close());
  EXPECT_EQ(err(again.try_poll()), Error::queue_closed("queue consumer is closed"));
  EXPECT_EQ(err(DatasetQueue::open(ds, clock())), Error::invalid_data("dataset a/b is closed"));

  Dataset ro = ok(Dataset::create(key, tmp.path() / "ro", small_config()));
  DatasetContext ctx = context();
  ctx.read_only = true;
  ok(ro.attach_context(ctx));
  EXPECT_EQ(err(DatasetQueue::open(ro, clock())), Error::invalid_data("read-only dataset cannot open queue"));
}

// The new-record search walks the index: huge gaps and placeholders cost nothing per timestamp.
TEST_F(DatasetQueueTest, NewRecordsAreFoundAcrossGapsAndPlaceholders) {
  auto c = consumer();
  ok(ds.write(5, bytes("a")));
  ok(ds.write(1'000'000'000'000'000'000, bytes("b")));
  EXPECT_EQ(drain(c), (std::vector<std::int64_t>{5, 1'000'000'000'000'000'000}));

  DataSetConfig cc = small_config();
  cc.index_continuous = 1;
  Dataset cont = ok(Dataset::create(key, tmp.path() / "continuous", cc));
  DatasetQueue cq = open_queue(cont);
  auto k = ok(cq.open_consumer("g", {30, 3}));
  ok(cont.write(0, bytes("0")));
  ok(cont.write(3000, bytes("3000")));  // fills 1..2999 with placeholders, across segments
  EXPECT_EQ(drain(k), (std::vector<std::int64_t>{0, 3000}));
  // A placeholder filled later is delivered below the pending entries, in order.
  ok(cont.write(1500, bytes("late")));
  EXPECT_EQ(drain(k), (std::vector<std::int64_t>{1500}));
  EXPECT_EQ(pending(k), (std::vector<std::int64_t>{0, 1500, 3000}));
}

// A lower timestamp delivered after higher ones is listed in order, so the file stays loadable.
// A poll passes over whole runs of deleted records and placeholders, across index segments and
// around pending entries, to the next live record; over nothing but such slots it finds nothing.
TEST_F(DatasetQueueTest, PollsPassOverDeletedAndPlaceholderRuns) {
  constexpr std::int64_t kRun = 3000;  // several index segments of the small config
  for (const std::uint8_t continuous : {std::uint8_t{0}, std::uint8_t{1}}) {
    SCOPED_TRACE(continuous ? "continuous" : "sparse");
    DataSetConfig config = small_config();
    config.index_continuous = continuous;
    Dataset d = ok(Dataset::create(key, tmp.path() / "runs" / std::to_string(continuous), config));
    DatasetQueue dq = open_queue(d);
    ok(d.write(0, bytes("0")));
    auto c = ok(dq.open_consumer("g", {30, 3}));
    for (std::int64_t t = 1; t <= kRun; ++t) ok(d.write(t, bytes("x")));
    EXPECT_EQ(next_ts(c), 1);  // stays pending: the run below is split around it
    for (std::int64_t t = 2; t <= kRun; ++t) ok(d.delete_record(t));
    EXPECT_EQ(next_ts(c), std::nullopt);  // a deleted tail
    EXPECT_EQ(next_ts(c), std::nullopt);
    ok(d.write(kRun + 1, bytes("after")));
    auto r = ok(c.try_poll());
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (RecordData{kRun + 1, bytes("after")}));
    ok(d.write(3 * kRun, bytes("far")));  // continuous: placeholders up to it
    EXPECT_EQ(next_ts(c), 3 * kRun);
    ok(d.write(2, bytes("again")));  // a deleted slot written again is new to the group
    EXPECT_EQ(drain(c), std::vector<std::int64_t>{2});
    EXPECT_EQ(pending(c), (std::vector<std::int64_t>{1, 2, kRun + 1, 3 * kRun}));
  }
}

TEST_F(DatasetQueueTest, LateLowerDeliveryKeepsTheStateFileLoadable) {
  auto c = consumer("g", {30, 3});
  write_n(ds, 1, 3);
  ok(ds.delete_record(2));
  EXPECT_EQ(drain(c), (std::vector<std::int64_t>{1, 3}));
  ok(ds.write(2, bytes("again")));  // a deleted record written again
  EXPECT_EQ(drain(c), (std::vector<std::int64_t>{2}));
  EXPECT_EQ(pending(c), (std::vector<std::int64_t>{1, 2, 3}));
  ok(c.close());
  auto reopened = consumer("g", {30, 3});
  EXPECT_EQ(drain(reopened), (std::vector<std::int64_t>{1, 2, 3}));
}

TEST_F(DatasetQueueTest, TheLargestTimestampEndsTheQueue) {
  auto c = consumer();
  ok(ds.write(kMax, bytes("last")));
  EXPECT_EQ(next_ts(c), kMax);
  ok(c.ack(kMax));
  EXPECT_EQ(state(c).processed_ts, kMax);
  EXPECT_EQ(next_ts(c), std::nullopt);  // not the record at the watermark again
  EXPECT_EQ(next_ts(c), std::nullopt);
  EXPECT_TRUE(pending(c).empty());

  const Error refused = err(q.push(bytes("over")));
  EXPECT_EQ(refused.kind(), ErrorKind::InvalidData);
  EXPECT_EQ(ok(ds.read(kMax))->second, bytes("last"));  // nothing was replaced
  ok(c.close());
  auto again = consumer();
  EXPECT_EQ(state(again).processed_ts, kMax);
}

TEST_F(DatasetQueueTest, AStateFileThatCannotBeExaminedIsNeitherCreatedNorTouched) {
  const fs::Path loop = dir() / "queue" / "loop";
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  const Error refused = err(q.open_consumer("loop", {}));
  EXPECT_EQ(refused.kind(), ErrorKind::Io);
  EXPECT_EQ(refused.os_code(), ELOOP);
  EXPECT_EQ(err(q.drop_consumer("loop")).kind(), ErrorKind::Io);
  char target[4096];
  ASSERT_GT(::readlink(loop.c_str(), target, sizeof target), 0);  // still the same link
}

// Deliveries and acks only mark the group; one flush target per burst, written at the flush.
TEST_F(DatasetQueueTest, StateIsSavedAtTheNextFlush) {
  DatasetContext ctx = context();
  ok(ds.attach_context(ctx));
  const fs::Path file = dir() / "queue" / "g";
  auto group_items = [&] {
    std::vector<FlushTarget> targets = ctx.dirty_queue->take_for(key);
    std::size_t n = 0;
    for (const auto& t : targets) n += t.kind() == FlushTarget::Kind::ConsumerGroup && t.group() == "g";
    ctx.dirty_queue->put_back(key, std::move(targets));
    return n;
  };
  auto on_disk = [&] {
    const auto b = ok(fs::read_file(file));
    return std::pair{bytes::load_le<std::int64_t>(&b[10]), bytes::load_le<std::uint16_t>(&b[18])};
  };
  auto c = consumer("g", {30, 3});
  EXPECT_EQ(group_items(), 0u);  // a new file is clean
  push("a");
  push("b");
  EXPECT_EQ(drain(c), (std::vector<std::int64_t>{1, 2}));
  ok(c.ack(1));
  EXPECT_EQ(group_items(), 1u);
  // Written into the mapping at once (a kill keeps it); only its sync waits for the flush.
  EXPECT_EQ(on_disk(), (std::pair<std::int64_t, std::uint16_t>{1, 1}));

  ok(ds.flush());
  EXPECT_EQ(group_items(), 0u);
  EXPECT_EQ(on_disk(), (std::pair<std::int64_t, std::uint16_t>{1, 1}));
  ok(c.ack(2));
  EXPECT_EQ(group_items(), 1u);  // the first change after a sync queues the group again
  ok(c.flush());                 // an explicit flush writes at once
  EXPECT_EQ(on_disk(), (std::pair<std::int64_t, std::uint16_t>{2, 0}));
}

}  // namespace
}  // namespace quelvane::testing
