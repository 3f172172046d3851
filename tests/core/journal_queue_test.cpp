#include "journal/queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/allocation_counter.h"
#include "support/blocked_thread.h"
#include "support/dataset_fixture.h"
#include "support/file_faults.h"
#include "support/interrupted_write.h"
#include "support/power_loss.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "util/log.h"

namespace quelvane {
namespace {

using testing::Bytes;
using testing::err;
using testing::ok;
using testing::read_bytes;

JournalEntry entry(std::int64_t i) { return JournalEntry::write(1, {i, 124, 0}); }
Bytes encoded(std::int64_t i) { return *journal::record::encode(entry(i)); }

std::optional<std::int64_t> seq_of(const std::optional<JournalRecordData>& r) {
  if (!r) return std::nullopt;
  return r->first;
}

WakeCallback callback(std::function<void()> f) { return std::make_shared<const std::function<void()>>(std::move(f)); }

class JournalQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { journal_ = ok(Journal::open(tmp_.path(), StoreConfig{})); }

  fs::Path group_file(const std::string& name) const { return journal::journal_dir(tmp_.path()) / "queue" / name; }
  std::int64_t watermark_in_file(const std::string& name) const {
    return bytes::get<std::int64_t>(read_bytes(group_file(name)), 10);
  }
  std::uint16_t pending_in_file(const std::string& name) const {
    return bytes::get<std::uint16_t>(read_bytes(group_file(name)), 18);
  }
  void append_n(std::int64_t first, std::int64_t last) {
    for (std::int64_t i = first; i <= last; ++i) ASSERT_EQ(ok(journal_->append(entry(i))), i);
  }
  // A queue of the journal that runs on the test's clock.
  std::shared_ptr<JournalQueue> clocked_queue() {
    return std::make_shared<JournalQueue>(journal_->log(), journal::journal_dir(tmp_.path()) / "queue",
                                          [this] { return now_; });
  }
  testing::TempDir tmp_;
  std::shared_ptr<Journal> journal_;
  std::int64_t now_ = 1000;
};

// A group's progress is never durable before the journal records it covers: after a power loss
// that keeps only what the syncs made durable, the journal still holds what the group finished.
TEST_F(JournalQueueTest, AGroupsSyncMakesTheJournalRecordsItCoversDurableFirst) {
  const struct {
    const char* how;
    std::function<Status(JournalQueue&)> sync;
  } cases[] = {
      {"the groups' flush", [](JournalQueue& q) { return q.flush_groups(); }},
      {"the queue's close", [](JournalQueue& q) { return q.close(); }},
  };
  int n = 0;
  std::int64_t first = 1;
  for (const auto& [how, sync] : cases) {
    SCOPED_TRACE(how);
    const std::string name = "g" + std::to_string(n);
    auto queue = clocked_queue();
    auto c = ok(queue->open_consumer(name, 0, 3));
    testing::PowerLossRecorder recorder(tmp_.path());
    for (std::int64_t seq = first; seq < first + 3; ++seq) {
      ASSERT_EQ(ok(journal_->append(entry(seq))), seq);
      ASSERT_EQ(seq_of(ok(c.try_poll())), seq);
      ok(c.ack(seq));
    }
    ok(sync(*queue));
    const fs::Path disk = tmp_.path().parent_path() / (tmp_.path().filename().string() + "-disk" + std::to_string(n++));
    testing::PowerLoss loss;
    loss.lose_unsynced_entries = false;  // only the order of the syncs here
    recorder.build_disk(disk, loss);
    EXPECT_EQ(bytes::get<std::int64_t>(read_bytes(journal::journal_dir(disk) / "queue" / name), 10), first + 2);
    auto after = ok(Journal::open(disk, StoreConfig{}));
    EXPECT_EQ(ok(after->latest_sequence()), first + 2);
    ok(after->close());
    first += 3;
  }
}

TEST_F(JournalQueueTest, NewGroupStartsAtTheLatestSequence) {
  append_n(1, 10);
  auto queue = ok(journal_->open_queue());
  EXPECT_EQ(ok(journal_->open_queue()), queue);
  auto c = ok(queue->open_consumer("g", 0, 3));
  EXPECT_EQ(watermark_in_file("g"), 10);
  EXPECT_EQ(ok(c.try_poll()), std::nullopt);
  append_n(11, 11);
  auto got = ok(c.poll(Duration{}));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->first, 11);
  EXPECT_EQ(got->second, encoded(11));

  // Over an empty journal a group starts at 0 and gets sequence 1 first.
  testing::TempDir other;
  auto empty = ok(Journal::open(other.path(), StoreConfig{}));
  auto c0 = ok(ok(empty->open_queue())->open_consumer("g", 0, 3));
  ASSERT_EQ(ok(empty->append(entry(1))), 1);
  EXPECT_EQ(seq_of(ok(c0.try_poll())), 1);
}

TEST_F(JournalQueueTest, DeliveryAckAndWatermarkGoThroughTheFile) {
  auto queue = ok(journal_->open_queue());
  auto c = ok(queue->open_consumer("g", 0, 3));
  append_n(1, 3);
  for (std::int64_t s : {1, 2, 3}) EXPECT_EQ(seq_of(ok(c.try_poll())), s);
  // With running_expired_seconds 0 nothing is delivered twice while the group is open.
  EXPECT_EQ(ok(c.try_poll()), std::nullopt);
  EXPECT_EQ(pending_in_file("g"), 3);  // written at every delivery, before any flush
  ok(c.ack(2));
  EXPECT_EQ(watermark_in_file("g"), 0);
  ok(c.ack(1));
  EXPECT_EQ(watermark_in_file("g"), 2);
  EXPECT_EQ(err(c.ack(9)), Error::not_found("pending entry for timestamp 9"));
  ok(c.ack(3));
  EXPECT_EQ(watermark_in_file("g"), 3);
  EXPECT_EQ(pending_in_file("g"), 0);
}

TEST_F(JournalQueueTest, HandlesOfOneGroupShareItsState) {
  append_n(1, 2);
  auto queue = ok(journal_->open_queue());
  auto a = ok(queue->open_consumer("g", 60, 3));
  auto b = ok(queue->open_consumer("g", 60, 3));
  EXPECT_EQ(err(queue->open_consumer("g", 900, 3)),
            Error::invalid_data("journal consumer group g is already open with a different config"));
  EXPECT_EQ(err(queue->open_consumer("g", 60, 4)),
            Error::invalid_data("journal consumer group g is already open with a different config"));
  append_n(3, 4);
  EXPECT_EQ(seq_of(ok(a.try_poll())), 3);
  EXPECT_EQ(seq_of(ok(b.try_poll())), 4);  // 3 is pending for both
  ok(b.ack(3));
  ok(a.ack(4));
  EXPECT_EQ(watermark_in_file("g"), 4);
}

TEST_F(JournalQueueTest, GroupNames) {
  auto queue = ok(journal_->open_queue());
  const Error bad = Error::invalid_data(
      "journal queue consumer group_name must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes");
  for (const std::string& name : {std::string(), std::string("a.b"), std::string(256, 'a'), std::string("a b")})
    EXPECT_EQ(err(queue->open_consumer(name, 0, 0)), bad) << name;
  const std::string longest = "az_-09AZ" + std::string(247, 'x');
  ASSERT_EQ(longest.size(), 255u);
  ok(queue->open_consumer(longest, 0, 0));
}

TEST_F(JournalQueueTest, RedeliveryAndRetryLimit) {
  auto queue = clocked_queue();
  auto c = ok(queue->open_consumer("g", 60, 2));
  append_n(1, 2);
  EXPECT_EQ(seq_of(ok(c.try_poll())), 1);
  now_ += 59;
  EXPECT_EQ(seq_of(ok(c.try_poll())), 2);  // 1 is not due yet
  now_ += 1;
  EXPECT_EQ(seq_of(ok(c.try_poll())), 1);  // redelivery 1
  now_ += 60;
  // Both are due: the head first.
  EXPECT_EQ(seq_of(ok(c.try_poll())), 1);  // redelivery 2
  EXPECT_EQ(seq_of(ok(c.try_poll())), 2);
  ok(c.ack(2));
  now_ += 60;
  // The third redelivery of 1 is beyond the limit: given up, it finishes the group's prefix.
  EXPECT_EQ(ok(c.try_poll()), std::nullopt);
  EXPECT_EQ(watermark_in_file("g"), 2);
  EXPECT_EQ(pending_in_file("g"), 0);
}

TEST_F(JournalQueueTest, AGivenBackDeliveryIsDueAtOnceAndCountsNoRedelivery) {
  auto queue = clocked_queue();
  auto c = ok(queue->open_consumer("g", 60, 1));
  append_n(1, 1);
  for (int round = 0; round < 2; ++round) {  // a new delivery given back, then its redelivery
    TakenDelivery taken;
    EXPECT_EQ(seq_of(ok(c.poll(Duration{}, {}, &taken))), 1);
    ASSERT_TRUE(taken);
    ok(c.give_back(*taken));
    if (round == 0) {
      EXPECT_EQ(seq_of(ok(c.try_poll())), 1);  // due at once
      now_ += 60;
    }
  }
  // What went out once and came back counts as one redelivery: the limit allows one more.
  EXPECT_EQ(seq_of(ok(c.try_poll())), 1);
  now_ += 60;
  EXPECT_EQ(ok(c.try_poll()), std::nullopt);
  EXPECT_EQ(watermark_in_file("g"), 1);
}

// A redelivery whose record cannot be read for want of memory is given back: no attempt that
// ran out counts a retry, so the limit's one redelivery still hands the record out.
TEST_F(JournalQueueTest, ARedeliveryThatRunsOutOfMemoryIsGivenBack) {
  auto queue = clocked_queue();
  auto c = ok(queue->open_consumer("g", 60, 1));
  append_n(1, 1);
  EXPECT_EQ(seq_of(ok(c.try_poll())), 1);
  now_ += 60;
  int failures = 0;
  auto got = ok(testing::once_memory_suffices([&] { return c.try_poll(); }, [&] { ++failures; }));
  EXPECT_GT(failures, 0);
  EXPECT_EQ(seq_of(got), 1);
  now_ += 60;
  EXPECT_EQ(ok(c.try_poll()), std::nullopt);  // given up after that one redelivery
}

TEST_F(JournalQueueTest, InFlightEntriesAreDeliveredAgainAfterARestart) {
  {
    auto c = ok(ok(journal_->open_queue())->open_consumer("g", 0, 3));
    append_n(1, 3);
    EXPECT_EQ(seq_of(ok(c.try_poll())), 1);
    EXPECT_EQ(seq_of(ok(c.try_poll())), 2);
    ok(c.ack(1));
    ok(journal_->flush());
  }
  journal_.reset();
  journal_ = ok(Journal::open(tmp_.path(), StoreConfig{}));
  auto c = ok(ok(journal_->open_queue())->open_consumer("g", 0, 3));
  EXPECT_EQ(seq_of(ok(c.try_poll())), 2);
  EXPECT_EQ(seq_of(ok(c.try_poll())), 3);
  EXPECT_EQ(ok(c.try_poll()), std::nullopt);
}

TEST_F(JournalQueueTest, PendingListHoldsAtMost226Entries) {
  auto c = ok(ok(journal_->open_queue())->open_consumer("g", 0, 3));
  append_n(1, 230);
  for (std::int64_t s = 1; s <= 226; ++s) ASSERT_EQ(seq_of(ok(c.try_poll())), s);
  EXPECT_EQ(err(c.try_poll()).kind(), ErrorKind::PendingFull);
  ok(c.ack(1));
  EXPECT_EQ(seq_of(ok(c.try_poll())), 227);
}

TEST_F(JournalQueueTest, ClosingIsStoreWideAndForGood) {
  auto queue = ok(journal_->open_queue());
  auto c = ok(queue->open_consumer("g", 0, 3));
  append_n(1, 1);
  EXPECT_EQ(seq_of(ok(c.try_poll())), 1);
  std::atomic<bool> waiting{false};
  Result<std::optional<JournalRecordData>> blocked = std::nullopt;
  std::thread poller([&] {
    auto other = ok(queue->open_consumer("g", 0, 3));
    waiting = true;
    blocked = other.poll(Duration::from_secs(30));
  });
  while (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ok(queue->close());
  poller.join();
  const Error closed = Error::queue_closed("journal queue is closed");
  EXPECT_EQ(err(blocked), closed);
  EXPECT_EQ(err(c.poll(Duration{})), closed);
  EXPECT_EQ(err(c.ack(1)), closed);
  EXPECT_EQ(err(queue->open_consumer("h", 0, 3)), closed);
  auto again = ok(journal_->open_queue());
  EXPECT_EQ(again, queue);
  EXPECT_EQ(err(again->open_consumer("g", 0, 3)), closed);
  ok(queue->close());
  // The close synced the group: the delivery is in the file.
  EXPECT_EQ(pending_in_file("g"), 1);
}

// A close whose sync of a group fails still closes the queue and wakes a poll without a deadline.
TEST_F(JournalQueueTest, ClosingWakesABlockedPollWhenTheSyncFails) {
  auto queue = ok(journal_->open_queue());
  auto c = ok(queue->open_consumer("g", 0, 3));
  append_n(1, 1);
  EXPECT_EQ(seq_of(ok(c.try_poll())), 1);  // the group is not clean: the close must sync it
  std::promise<pid_t> waiting;
  std::atomic<bool> signalled{false};
  auto polled = std::async(std::launch::async, [&] {
    return c.poll(Duration{std::numeric_limits<std::uint64_t>::max(), 999'999'999},
                  [&](const std::function<void()>& wait) {
                    if (!signalled.exchange(true)) waiting.set_value(testing::this_thread_tid());
                    wait();
                    return true;
                  });
  });
  // The poll's thread cannot be joined while it waits: a failure ends the process.
  auto give_up = [](const char* why) {
    ADD_FAILURE() << why;
    std::abort();
  };
  if (!testing::await_sleeping(waiting.get_future().get())) give_up("the poll never waited");
  {
    testing::FailingSync failing(group_file("g"));
    if (!failing.failing()) give_up("no mapping of the group");
    ok(queue->close());  // a close reports no sync failure of its groups
  }
  if (polled.wait_for(std::chrono::seconds(60)) != std::future_status::ready) give_up("the poller was not woken");
  EXPECT_EQ(err(polled.get()), Error::queue_closed("journal queue is closed"));
  EXPECT_TRUE(queue->closed());
}

TEST_F(JournalQueueTest, BlockedPollWakesOnAnAppend) {
  auto c = ok(ok(journal_->open_queue())->open_consumer("g", 0, 3));
  auto started = Clock::now();
  EXPECT_EQ(ok(c.poll(Duration{})), std::nullopt);
  EXPECT_EQ(ok(c.poll(Duration::from_millis(100))), std::nullopt);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(100));
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(journal_->append(entry(1)).has_value());
  });
  started = Clock::now();
  auto got = ok(c.poll(Duration::from_secs(10)));
  writer.join();
  EXPECT_EQ(seq_of(got), 1);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
}

TEST_F(JournalQueueTest, CallbacksRunOncePerAppendWithNoJournalLockHeld) {
  auto queue = ok(journal_->open_queue());
  auto c = ok(queue->open_consumer("g", 0, 3));
  std::vector<bool> free;
  ok(c.set_poll_callback(callback([&] {
    // Each of these takes a journal lock: none of them is held while callbacks run.
    free.push_back(journal_->latest_sequence().has_value() && journal_->open_queue().has_value() &&
                   queue->flush_groups().has_value());
  })));
  EXPECT_EQ(err(c.set_poll_callback(callback([] {}))),
            Error::invalid_data("journal queue poll callback is already registered"));
  append_n(1, 2);
  EXPECT_EQ(free, (std::vector<bool>{true, true}));
  // The hook hands them back to its caller instead.
  Wake wake;
  ok(journal_->on_write({}, 1, {3, 124, 0}, wake));
  EXPECT_EQ(free.size(), 2u);
  EXPECT_EQ(wake.size(), 1u);
  wake.run();
  EXPECT_EQ(free.size(), 3u);
  ok(c.set_poll_callback(nullptr));
  append_n(4, 4);
  EXPECT_EQ(free.size(), 3u);
  ok(c.set_poll_callback(callback([] {})));
}

TEST_F(JournalQueueTest, ClosingTheJournalClosesItsQueueAndRefusesWrites) {
  auto queue = ok(journal_->open_queue());
  auto c = ok(queue->open_consumer("g", 0, 3));
  append_n(1, 2);
  EXPECT_EQ(seq_of(ok(c.try_poll())), 1);
  ok(journal_->close());
  EXPECT_TRUE(queue->closed());
  EXPECT_EQ(err(c.poll(Duration{})), Error::queue_closed("journal queue is closed"));
  const Error closed = Error::invalid_data("journal is closed");
  EXPECT_EQ(err(journal_->append(entry(3))), closed);
  Wake wake;
  EXPECT_EQ(err(journal_->make_room(JournalHook::Change::Write, 1)), closed);
  EXPECT_EQ(err(journal_->on_write({}, 1, {3, 124, 0}, wake)), closed);
  EXPECT_EQ(err(journal_->open_queue()), closed);
  ok(journal_->flush());
  ok(journal_->close());
  // What it held is on disk and reads on.
  EXPECT_EQ(ok(journal_->latest_sequence()), 2);
  EXPECT_EQ(pending_in_file("g"), 1);
  auto reopened = ok(Journal::open(tmp_.path(), StoreConfig{}));
  EXPECT_EQ(ok(reopened->latest_sequence()), 2);
  EXPECT_EQ(ok(reopened->append(entry(3))), 3);
}

class JournalQueueOfADataset : public testing::DatasetTest {};

TEST_F(JournalQueueOfADataset, CallbacksRunAfterTheDatasetIsUnlocked) {
  auto journal = ok(Journal::open(tmp.path() / "store", StoreConfig{}));
  auto c = ok(ok(journal->open_queue())->open_consumer("g", 0, 3));
  Dataset ds = create();
  std::vector<bool> unlocked;
  ok(c.set_poll_callback(callback([&] { unlocked.push_back(ds.lock().has_value()); })));
  DatasetContext ctx = context();
  ctx.journal_hook = journal;
  ok(ds.attach_context(std::move(ctx)));
  ok(ds.set_identifier(7));
  ok(ds.write(1, testing::bytes("a")));
  ok(ds.append(1, testing::bytes("b")));
  ok(ds.delete_record(1));
  EXPECT_EQ(unlocked, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(seq_of(ok(c.try_poll())), 1);
}

// Writes the journal's segment files: each (base, count) holds the records of base .. base +
// count - 1, so that a sequence between them reads as a gap a damaged segment left.
void write_segments(const fs::Path& data_dir, const std::vector<std::pair<std::int64_t, int>>& segments) {
  const fs::Path data = journal::journal_dir(data_dir) / "data";
  for (auto [base, count] : segments) {
    auto seg = ok(JournalSegment::create(data / journal::segment_file_name(base), base, 4096, 1 << 20, 3, 0));
    for (int i = 0; i < count; ++i) ok(seg.append(base + i, encoded(base + i)));
    ok(seg.flush());
  }
}

TEST_F(JournalQueueTest, GroupStepsOverASequenceGap) {
  // Segments 1..5 and 10..12: a damaged segment lost 6..9.
  write_segments(tmp_.path(), {{1, 5}, {10, 3}});
  ok(QueueState::open_or_create(group_file("g"), 3));
  journal_ = ok(Journal::open(tmp_.path(), StoreConfig{}));
  auto c = ok(ok(journal_->open_queue())->open_consumer("g", 0, 3));
  std::vector<std::int64_t> got;
  while (auto r = ok(c.try_poll())) {
    EXPECT_EQ(r->second, encoded(r->first));
    got.push_back(r->first);
    ok(c.ack(r->first));
  }
  EXPECT_EQ(got, (std::vector<std::int64_t>{4, 5, 10, 11, 12}));
  EXPECT_EQ(watermark_in_file("g"), 12);
}

TEST_F(JournalQueueTest, DeliveriesOfLostRecordsNeitherStallNorSkipTheGroup) {
  // The group delivered 4..7 and acknowledged none; then the journal lost 6 and 7: inside a gap
  // left by a damaged segment (6..9 gone, 10..12 kept), or with its tail (everything above 5).
  struct Case {
    const char* name;
    bool gap;
    std::uint16_t running_expired_seconds;
    std::uint8_t max_retry_count;
  };
  const Case cases[] = {
      {"gap, redelivery off", true, 0, 0},      {"tail, redelivery off", false, 0, 0},
      {"gap, retry limit 1", true, 60, 1},      {"tail, retry limit 1", false, 60, 1},
      {"gap, default settings", true, 900, 3},  {"tail, default settings", false, 900, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    if (c.gap) {
      write_segments(dir.path(), {{1, 5}, {10, 3}});
    } else {
      write_segments(dir.path(), {{1, 5}});
    }
    const fs::Path file = journal::journal_dir(dir.path()) / "queue" / "g";
    {
      auto state = ok(QueueState::open_or_create(file, 3));
      for (std::int64_t s = 4; s <= 7; ++s) ok(state.push_pending({s, now_, 0, 0}));
      ok(state.sync());
    }
    auto journal = ok(Journal::open(dir.path(), StoreConfig{}));
    auto queue = std::make_shared<JournalQueue>(journal->log(), file.parent_path(), [this] { return now_; });
    std::size_t warned = 0;
    log::set_sink([&](log::Level, std::string_view, std::string_view) { ++warned; }, log::Level::Warn);
    auto consumer = ok(queue->open_consumer("g", c.running_expired_seconds, c.max_retry_count));
    log::set_sink(nullptr, log::Level::Off);
    EXPECT_EQ(warned, c.gap ? 0u : 1u);  // the deliveries of the lost tail are dropped
    std::vector<std::int64_t> got;
    // Takes every delivery there is, acknowledging each; the first none ends it.
    auto drain = [&] {
      while (true) {
        auto r = consumer.try_poll();
        ASSERT_TRUE(r.has_value()) << "after " << got.size() << " deliveries: " << r.error().display();
        if (!*r) return;
        ASSERT_EQ((*r)->second, encoded((*r)->first));
        got.push_back((*r)->first);
        ok(consumer.ack((*r)->first));
      }
    };
    drain();
    // Later records arrive, under the lost sequences 6 and 7 when the tail was lost, and
    // whatever was in flight is due again.
    while (ok(journal->latest_sequence()) < 300) ok(journal->append(entry(*ok(journal->latest_sequence()) + 1)));
    now_ += 3600;
    drain();
    std::vector<std::int64_t> want{4, 5};
    for (std::int64_t s = c.gap ? 10 : 6; s <= 300; ++s) want.push_back(s);
    EXPECT_EQ(got, want);
    EXPECT_EQ(bytes::get<std::int64_t>(read_bytes(file), 10), 300);
  }
}

TEST_F(JournalQueueTest, GroupAheadOfTheJournalComesDownToIt) {
  append_n(1, 5);
  {
    auto state = ok(QueueState::open_or_create(group_file("g"), 50));
    ok(state.push_pending({52, 0, 0, 0}));
    ok(state.sync());
  }
  std::vector<std::string> warns;
  log::set_sink([&](log::Level, std::string_view, std::string_view text) { warns.emplace_back(text); },
                log::Level::Warn);
  auto c = ok(ok(journal_->open_queue())->open_consumer("g", 0, 3));
  log::set_sink(nullptr, log::Level::Off);
  EXPECT_EQ(warns.size(), 1u);
  EXPECT_EQ(watermark_in_file("g"), 5);
  EXPECT_EQ(pending_in_file("g"), 0);
  append_n(6, 6);
  EXPECT_EQ(seq_of(ok(c.try_poll())), 6);
}

}  // namespace
}  // namespace quelvane
