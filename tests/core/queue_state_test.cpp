// A consumer group's state file: its exact bytes, the checks a loaded file must pass, the
// repair at load, and the delivery, acknowledgement and redelivery bookkeeping.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "queue/state.h"
#include "support/interrupted_write.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "util/fs.h"

namespace quelvane {
namespace {

using testing::TempDir;
using Entry = DatasetQueueConsumerPendingEntry;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// A state file's bytes, built field by field independently of the code under test.
struct FileImage {
  Bytes bytes = Bytes(4096, 0);

  explicit FileImage(std::int64_t processed_ts, std::vector<Entry> entries = {}) {
    std::memcpy(bytes.data(), "QSTF", 4);
    bytes::store_le<std::uint32_t>(&bytes[4], 1);
    bytes::store_le<std::uint16_t>(&bytes[8], 8);
    bytes::store_le<std::int64_t>(&bytes[10], processed_ts);
    bytes::store_le<std::uint16_t>(&bytes[18], static_cast<std::uint16_t>(entries.size()));
    bytes[20] = 18;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      std::uint8_t* p = &bytes[21 + 18 * i];
      bytes::store_le<std::int64_t>(p, entries[i].timestamp);
      bytes::store_le<std::int64_t>(p + 8, entries[i].start_time);
      p[16] = entries[i].status;
      p[17] = entries[i].retry_count;
    }
  }
};

Bytes read_all(const fs::Path& path) { return fs::read_file(path).value(); }

void write_all(const fs::Path& path, const Bytes& bytes) { ASSERT_TRUE(fs::write_file(path, bytes).has_value()); }

Entry delivered(std::int64_t position, std::int64_t at) { return Entry{position, at, Entry::kPending, 0}; }

TEST(ConsumerConfig, WidthsAreCheckedInOrder) {
  EXPECT_EQ(queue::check_consumer_config(65536, 300).error(),
            Error::invalid_data("running_expired_seconds exceeds u16::MAX: 65536"));
  EXPECT_EQ(queue::check_consumer_config(5, 256).error(), Error::invalid_data("max_retry_count exceeds u8::MAX: 256"));
  EXPECT_EQ(queue::check_consumer_config(65535, 255).value(), (ConsumerGroupConfig{65535, 255}));
  EXPECT_NE((ConsumerGroupConfig{900, 3}), (ConsumerGroupConfig{900, 4}));
}

TEST(QueueStateFile, MissingFileIsCreatedWithItsParentsAndExactBytes) {
  TempDir dir;
  auto path = dir / "ds/queue/g";
  auto state = QueueState::open_or_create(path, 0x0102030405060708).value();
  EXPECT_EQ(read_all(path), FileImage(0x0102030405060708).bytes);
  EXPECT_EQ(read_all(path)[10], 0x08) << "little-endian, unaligned at offset 10";
  EXPECT_TRUE(state.clean());
  EXPECT_FALSE(state.flush_scheduled());
  EXPECT_EQ(state.processed_ts(), 0x0102030405060708);
  EXPECT_TRUE(state.pending().empty());
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4096);
}

TEST(QueueStateFile, AFileFailingACheckIsRefusedAndLeftByteIdentical) {
  auto with = [](Bytes b, std::size_t off, std::initializer_list<std::uint8_t> patch) {
    std::copy(patch.begin(), patch.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
    return b;
  };
  const Bytes good = FileImage(7, {delivered(9, 0), delivered(12, 0)}).bytes;
  Bytes short_file(good.begin(), good.end() - 1);
  Bytes long_file = good;
  long_file.push_back(0);
  Bytes bad_status_and_order = FileImage(7, {delivered(9, 0), {3, 0, 2, 0}}).bytes;
  struct Case {
    const char* what;
    Bytes bytes;
    Error error;
  } cases[] = {
      {"4095 bytes", short_file, Error::invalid_data("invalid queue state file length: 4095")},
      {"4097 bytes", long_file, Error::invalid_data("invalid queue state file length: 4097")},
      {"magic", with(good, 3, {'X'}), Error::invalid_magic()},
      {"version low 16 bits", with(good, 4, {2, 0, 1, 0}), Error::unsupported_version(2)},
      {"state length", with(good, 8, {9, 0}), Error::invalid_data("invalid queue state length: 9")},
      {"entry size before count", with(good, 18, {0x2c, 0x01, 17}),
       Error::invalid_data("invalid queue pending entry size: 17")},
      {"count", with(good, 18, {227, 0}), Error::invalid_data("queue pending length exceeds capacity: 227")},
      {"status before order", bad_status_and_order, Error::invalid_data("invalid queue pending status at entry 1: 2")},
      {"first entry at the watermark", FileImage(7, {delivered(7, 0)}).bytes,
       Error::invalid_data("invalid queue pending timestamp order at entry 0: 7 <= 7")},
      {"descending entries", FileImage(7, {delivered(9, 0), delivered(8, 0)}).bytes,
       Error::invalid_data("invalid queue pending timestamp order at entry 1: 8 <= 9")},
  };
  for (const auto& c : cases) {
    TempDir dir;
    auto path = dir / "g";
    write_all(path, c.bytes);
    auto r = QueueState::open_or_create(path, 100);
    ASSERT_FALSE(r.has_value()) << c.what;
    EXPECT_EQ(r.error(), c.error) << c.what;
    EXPECT_EQ(read_all(path), c.bytes) << c.what << ": the file is untouched";
  }
}

TEST(QueueStateFile, OnlyAMissingFileIsCreated) {
  TempDir dir;
  // The parent is a regular file: looking at the path fails with ENOTDIR, not ENOENT.
  write_all(dir / "plain", Bytes{1, 2, 3});
  auto r = QueueState::open_or_create(dir / "plain/g", 0);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(r.error().os_code(), ENOTDIR);
  EXPECT_EQ(read_all(dir / "plain"), (Bytes{1, 2, 3}));

  // A directory in the file's place is an I/O error, not a new file.
  ASSERT_TRUE(fs::create_dir_all(dir / "d").has_value());
  EXPECT_EQ(QueueState::open_or_create(dir / "d", 0).error().os_code(), EISDIR);
}

TEST(QueueStateFile, AFileLeftBlankByAnInterruptedCreateIsMadeAnew) {
  for (std::size_t length : {std::size_t{0}, std::size_t{4096}}) {
    TempDir dir;
    auto path = dir / "g";
    write_all(path, Bytes(length, 0));
    auto state = QueueState::open_or_create(path, 41);
    ASSERT_TRUE(state.has_value()) << length << ": " << state.error().display();
    EXPECT_EQ(state->processed_ts(), 41);
    EXPECT_EQ(read_all(path), FileImage(41, {}).bytes);
  }
}

// Only what an interrupted create leaves is made anew; a zero-filled file of another length
// keeps its length error, and a FIFO at the path is neither read (which would wait for a
// writer for ever) nor replaced.
TEST(QueueStateFile, NothingButABlankRegularFileOfTheFullLengthIsMadeAnew) {
  struct Case {
    std::size_t length;
    const char* error;
  };
  const Case cases[] = {
      {4095, "invalid data: invalid queue state file length: 4095"},
      {4097, "invalid data: invalid queue state file length: 4097"},
      {1, "invalid data: invalid queue state file length: 1"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto path = dir / "g";
    write_all(path, Bytes(c.length, 0));
    auto r = QueueState::open_or_create(path, 41);
    ASSERT_FALSE(r.has_value()) << c.length;
    EXPECT_EQ(r.error().display(), c.error);
    EXPECT_EQ(read_all(path), Bytes(c.length, 0)) << "the file is untouched";
  }

  TempDir dir;
  auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::alarm(20);  // a read of the FIFO would block this test for ever
  auto r = QueueState::open_or_create(fifo, 41);
  ::alarm(0);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "invalid data: invalid queue state file length: 0");
  struct stat st;
  ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(QueueStateFile, LoadTrimsDoneHeadsAndReleasesInFlightEntries) {
  TempDir dir;
  auto path = dir / "g";
  write_all(path, FileImage(1, {{5, 0, 1, 0}, {6, 1700000000, 0, 2}, {8, 0, 1, 0}}).bytes);
  auto state = QueueState::open_or_create(path, 100).value();
  EXPECT_EQ(state.processed_ts(), 5);
  ASSERT_EQ(state.pending().size(), 2u);
  EXPECT_EQ(state.pending()[0], (Entry{6, 0, 0, 2}));
  EXPECT_EQ(state.pending()[1], (Entry{8, 0, 1, 0}));
  EXPECT_FALSE(state.clean()) << "the caller must schedule a flush of the repair";
  EXPECT_EQ(read_all(path), FileImage(5, {{6, 0, 0, 2}, {8, 0, 1, 0}}).bytes) << "written through, tail zeroed";
}

TEST(QueueStateFile, AnUnchangedLoadIsCleanAndRoundTripsEveryField) {
  TempDir dir;
  auto path = dir / "g";
  const Bytes image = FileImage(kMin, {{kMin + 1, 0, 0, 255}, {-3, 0, 1, 0}, {kMax, 0, 0, 7}}).bytes;
  write_all(path, image);
  auto state = QueueState::open_or_create(path, 100).value();
  EXPECT_TRUE(state.clean());
  EXPECT_EQ(state.processed_ts(), kMin) << "the initial value only seeds a new file";
  EXPECT_EQ(state.pending().size(), 3u);
  ASSERT_TRUE(state.sync().has_value());
  EXPECT_EQ(read_all(path), image);
}

TEST(QueueState, DeliveriesAndAcknowledgementsMoveTheWatermark) {
  TempDir dir;
  auto path = dir / "g";
  auto state = QueueState::open_or_create(path, 10).value();
  EXPECT_EQ(state.next_new_position(), 11);
  ASSERT_TRUE(state.push_pending(delivered(11, 100)).has_value());
  ASSERT_TRUE(state.push_pending(delivered(12, 100)).has_value());
  EXPECT_FALSE(state.clean());
  EXPECT_TRUE(state.is_pending(12));
  EXPECT_FALSE(state.is_pending(13));

  // Out of order: 12 stays listed, done, until 11 is finished.
  ASSERT_TRUE(state.acknowledge(12).has_value());
  EXPECT_EQ(state.processed_ts(), 10);
  ASSERT_EQ(state.pending().size(), 2u);
  EXPECT_EQ(state.pending()[1].status, Entry::kDone);
  EXPECT_TRUE(state.acknowledge(12).has_value()) << "a listed done entry can be acknowledged again";
  EXPECT_EQ(state.acknowledge(13).error(), Error::not_found("pending entry for timestamp 13"));

  ASSERT_TRUE(state.acknowledge(11).has_value());
  EXPECT_EQ(state.processed_ts(), 12);
  EXPECT_TRUE(state.pending().empty());
  EXPECT_EQ(state.acknowledge(12).error().kind(), ErrorKind::NotFound) << "trimmed entries are gone";

  // A deferred flush is claimed once per change, and every sync makes the state clean again.
  EXPECT_TRUE(state.claim_flush());
  EXPECT_FALSE(state.claim_flush());
  EXPECT_TRUE(state.flush_scheduled());
  ASSERT_TRUE(state.sync().has_value());
  EXPECT_TRUE(state.clean());
  EXPECT_FALSE(state.flush_scheduled());
  EXPECT_FALSE(state.claim_flush()) << "nothing to flush";
  EXPECT_EQ(read_all(path), FileImage(12).bytes);
}

TEST(QueueState, ALowerPositionDeliveredLateKeepsTheFileLoadable) {
  // A record written into an earlier gap is delivered after higher ones.
  TempDir dir;
  auto path = dir / "g";
  auto state = QueueState::open_or_create(path, 1).value();
  ASSERT_TRUE(state.push_pending(delivered(3, 100)).has_value());
  ASSERT_TRUE(state.push_pending(delivered(5, 100)).has_value());
  ASSERT_TRUE(state.push_pending(delivered(2, 100)).has_value());
  ASSERT_TRUE(state.push_pending(delivered(4, 100)).has_value());
  ASSERT_EQ(state.pending().size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(state.pending()[i].timestamp, static_cast<std::int64_t>(i + 2));

  ASSERT_TRUE(state.acknowledge(3).has_value());
  EXPECT_EQ(state.processed_ts(), 1) << "2 is still outstanding";
  ASSERT_TRUE(state.sync().has_value());
  QueueState reloaded = QueueState::open_or_create(path, 0).value();
  EXPECT_EQ(reloaded.pending().size(), 4u);
  EXPECT_THROW((void)state.push_pending(delivered(4, 100)), InternalFailure) << "never pending twice";
  EXPECT_THROW((void)state.push_pending(delivered(1, 100)), InternalFailure) << "never at the watermark";
}

// Every change is written into the mapping at once, so a kill can stop a write anywhere: each
// file it can leave must load, with the watermark old or new and no position that neither state
// lists.
TEST(QueueState, AKillInsideAWriteLeavesAFileThatLoads) {
  static std::vector<Bytes>* steps = nullptr;
  const struct {
    const char* change;
    std::vector<std::int64_t> listed;
    std::function<void(QueueState&)> make;
  } changes[] = {
      {"a delivery at the end", {5, 6}, [](QueueState& s) { ASSERT_TRUE(s.push_pending(delivered(7, 9)).has_value()); }},
      {"a delivery into a gap", {5, 7}, [](QueueState& s) { ASSERT_TRUE(s.push_pending(delivered(6, 9)).has_value()); }},
      {"an acknowledgement that trims the head", {5, 6, 7}, [](QueueState& s) { ASSERT_TRUE(s.acknowledge(5).has_value()); }},
      {"an acknowledgement behind the head", {5, 6, 7}, [](QueueState& s) { ASSERT_TRUE(s.acknowledge(6).has_value()); }},
      {"a give-up that trims every entry", {5}, [](QueueState& s) { EXPECT_TRUE(s.take_redelivery(30, 1, 100).changed); }},
      {"a redelivery", {5, 6}, [](QueueState& s) { EXPECT_EQ(s.take_redelivery(30, 3, 100).position, 5); }},
      {"deliveries dropped above a position", {5, 6, 7}, [](QueueState& s) { EXPECT_EQ(s.drop_above(5), 2u); }},
  };
  for (const auto& [change, listed, make] : changes) {
    SCOPED_TRACE(change);
    TempDir dir;
    auto path = dir / "g";
    auto state = QueueState::open_or_create(path, 4).value();
    for (std::int64_t p : listed) ASSERT_TRUE(state.push_pending(Entry{p, 1, Entry::kPending, 1}).has_value());
    ASSERT_TRUE(state.write_block().has_value());
    std::vector<Bytes> recorded{read_all(path)};
    const std::int64_t old_watermark = state.processed_ts();
    steps = &recorded;
    queue::set_state_step_observer([](const fs::Path& p) { steps->push_back(read_all(p)); });
    make(state);
    ASSERT_TRUE(state.write_block().has_value());
    queue::set_state_step_observer(nullptr);
    recorded.push_back(read_all(path));

    std::vector<std::int64_t> known(listed);
    for (const auto& e : state.pending()) known.push_back(e.timestamp);
    for (const auto& torn : testing::interrupted_states(recorded, 10, 18)) {
      auto copy = dir / "torn";
      write_all(copy, torn.bytes);
      auto loaded = QueueState::open_or_create(copy, 0);
      if (!loaded) {
        ADD_FAILURE() << torn.label << ": " << loaded.error().display();
        continue;
      }
      EXPECT_TRUE(loaded->processed_ts() == old_watermark || loaded->processed_ts() == state.processed_ts()) << torn.label;
      for (const auto& e : loaded->pending())
        EXPECT_NE(std::find(known.begin(), known.end(), e.timestamp), known.end()) << torn.label;
    }
  }
}

TEST(QueueState, AWatermarkAtTheLargestPositionLeavesNothingNew) {
  TempDir dir;
  EXPECT_EQ(QueueState::open_or_create(dir / "a", kMax).value().next_new_position(), std::nullopt);
  EXPECT_EQ(QueueState::open_or_create(dir / "b", kMin).value().next_new_position(), kMin + 1);
  auto state = QueueState::open_or_create(dir / "c", kMax - 1).value();
  ASSERT_TRUE(state.push_pending(delivered(kMax, 100)).has_value());
  ASSERT_TRUE(state.acknowledge(kMax).has_value());
  EXPECT_EQ(state.processed_ts(), kMax);
  EXPECT_EQ(state.next_new_position(), std::nullopt);
}

TEST(QueueState, TheListHoldsAtMost226Entries) {
  TempDir dir;
  auto path = dir / "g";
  auto state = QueueState::open_or_create(path, 0).value();
  for (std::int64_t p = 1; p <= 226; ++p) ASSERT_TRUE(state.push_pending(delivered(p, 100)).has_value());
  auto r = state.push_pending(delivered(227, 100));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::pending_full(path.string() + " (226 entries)"));
  EXPECT_EQ(r.error().display(), "pending entries full: " + path.string() + " (226 entries)");
  EXPECT_EQ(state.pending().size(), 226u);

  ASSERT_TRUE(state.sync().has_value());
  Bytes bytes = read_all(path);
  EXPECT_EQ(bytes::load_le<std::int64_t>(&bytes[21 + 18 * 225]), 226) << "the last entry ends at 4089";
  EXPECT_EQ(Bytes(bytes.begin() + 4089, bytes.end()), Bytes(7, 0));
  EXPECT_EQ(QueueState::open_or_create(path, 0).value().pending().size(), 226u);
}

TEST(QueueState, RedeliveryFollowsTheTimeoutAndTheRetryLimit) {
  TempDir dir;
  auto state = QueueState::open_or_create(dir / "g", 0).value();
  ASSERT_TRUE(state.push_pending(delivered(1, 1000)).has_value());
  ASSERT_TRUE(state.sync().has_value());

  // Timeout 30 s, at most 2 redeliveries.
  auto take = [&](std::int64_t now) { return state.take_redelivery(30, 2, now); };
  EXPECT_EQ(take(1029).position, std::nullopt) << "not yet due";
  EXPECT_FALSE(take(1029).changed);
  EXPECT_TRUE(state.clean());
  EXPECT_EQ(take(999).position, std::nullopt) << "a clock that went backwards";
  auto first = take(1030);
  EXPECT_EQ(first.position, 1) << "due exactly at the timeout";
  EXPECT_TRUE(first.changed);
  EXPECT_FALSE(state.clean());
  EXPECT_EQ(state.pending()[0], (Entry{1, 1030, 0, 1}));
  EXPECT_EQ(take(1059).position, std::nullopt) << "the timeout restarts at each redelivery";
  EXPECT_EQ(take(1060).position, 1);
  EXPECT_EQ(state.pending()[0].retry_count, 2);

  auto given_up = take(1090);
  EXPECT_EQ(given_up.position, std::nullopt);
  EXPECT_TRUE(given_up.changed);
  EXPECT_TRUE(state.pending().empty());
  EXPECT_EQ(state.processed_ts(), 1) << "a given-up entry counts as finished";
}

TEST(QueueState, RedeliveryPickTable) {
  TempDir dir;
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    std::uint16_t timeout;
    std::uint8_t limit;
    std::int64_t now;
    std::optional<std::int64_t> chosen;
    std::int64_t processed_ts;
    std::vector<Entry> after;
    std::int64_t expired_below = kMin;
  } cases[] = {
      {"timeout 0 never picks an in-flight entry", {delivered(7, 100)}, 0, 0, kMax, std::nullopt, 6,
       {delivered(7, 100)}},
      {"a released entry is due at once", {{7, 0, 0, 4}}, 0, 0, 100, 7, 6, {{7, 100, 0, 5}}},
      {"limit 0: retry_count saturates at 255", {{7, 100, 0, 255}}, 10, 0, 200, 7, 6, {{7, 200, 0, 255}}},
      {"give up at the limit, pick the next, trim",
       {{7, 100, 0, 3}, {9, 0, 0, 0}},
       10,
       3,
       200,
       9,
       7,
       {{9, 200, 0, 1}}},
      {"entries not due and done entries are passed over",
       {{7, 150, 0, 0}, {8, 0, 1, 0}, {9, 0, 0, 0}},
       10,
       3,
       155,
       9,
       6,
       {{7, 150, 0, 0}, {8, 0, 1, 0}, {9, 155, 0, 1}}},
      {"elapsed time saturates instead of overflowing", {{7, kMin, 0, 0}}, 65535, 0, kMax, 7, 6, {{7, kMax, 0, 1}}},
      {"due below the threshold: given up with no retry counted; in flight below it: kept",
       {{7, 195, 0, 0}, {8, 100, 0, 2}, {9, 0, 0, 0}},
       10,
       0,
       200,
       9,
       6,
       {{7, 195, 0, 0}, {8, 100, 1, 2}, {9, 200, 0, 1}},
       9},
  };
  int n = 0;
  for (auto& c : cases) {
    auto state = QueueState::open_or_create(dir / std::to_string(n++), 6).value();
    for (const auto& e : c.entries) {
      ASSERT_TRUE(state.push_pending(e).has_value());
    }
    auto r = state.take_redelivery(c.timeout, c.limit, c.now, kMax, c.expired_below);
    EXPECT_EQ(r.position, c.chosen) << c.what;
    EXPECT_EQ(state.processed_ts(), c.processed_ts) << c.what;
    EXPECT_EQ(std::vector<Entry>(state.pending().begin(), state.pending().end()), c.after) << c.what;
  }
}

TEST(QueueState, EveryDeliveryIsCountedUpToTheLimit) {
  // With a limit of 3, a never-acknowledged entry is delivered four times, then given up.
  TempDir dir;
  auto state = QueueState::open_or_create(dir / "g", 0).value();
  ASSERT_TRUE(state.push_pending(delivered(1, 1)).has_value());
  int deliveries = 1;
  for (std::int64_t now = 61; now < 1000; now += 60) {
    if (state.take_redelivery(60, 3, now).position) ++deliveries;
  }
  EXPECT_EQ(deliveries, 4);
  EXPECT_EQ(state.processed_ts(), 1);
}

TEST(QueueState, ClearInFlightMakesEntriesDueAtOnce) {
  TempDir dir;
  auto state = QueueState::open_or_create(dir / "g", 0).value();
  ASSERT_TRUE(state.push_pending(delivered(1, 50)).has_value());
  ASSERT_TRUE(state.sync().has_value());
  EXPECT_EQ(state.take_redelivery(0, 0, 60).position, std::nullopt);
  state.clear_in_flight();
  EXPECT_FALSE(state.clean());
  EXPECT_EQ(state.take_redelivery(0, 0, 60).position, 1);
  ASSERT_TRUE(state.sync().has_value());
  ASSERT_TRUE(state.acknowledge(1).has_value());
  ASSERT_TRUE(state.sync().has_value());
  state.clear_in_flight();
  EXPECT_TRUE(state.clean()) << "nothing was in flight";
}

TEST(QueueState, HandlesOfOneGroupShareOneState) {
  TempDir dir;
  auto path = dir / "g";
  SharedQueueState first = share_queue_state(QueueState::open_or_create(path, 0).value());
  SharedQueueState second = first;
  EXPECT_EQ(first->name(), "state file mutex");
  EXPECT_EQ(share_queue_state(QueueState::open_or_create(dir / "j", 0).value(), "journal ")->name(),
            "journal state file mutex");

  // Two consumers deliver interleaved positions concurrently through their own handles.
  auto deliver = [](SharedQueueState handle, std::int64_t from) {
    for (std::int64_t p = from; p <= 200; p += 2) {
      auto state = handle->lock().value();
      ASSERT_TRUE(state->push_pending(delivered(p, 100)).has_value());
    }
  };
  std::thread a(deliver, first, 1);
  std::thread b(deliver, second, 2);
  a.join();
  b.join();
  {
    auto state = second->lock().value();
    ASSERT_EQ(state->pending().size(), 200u);
    ASSERT_TRUE(state->acknowledge(1).has_value());
  }
  {
    auto state = first->lock().value();
    EXPECT_EQ(state->processed_ts(), 1) << "an acknowledgement through one handle is seen by the other";
    ASSERT_TRUE(state->sync().has_value());
  }
  first.reset();
  second.reset();
  auto reloaded = QueueState::open_or_create(path, 0).value();
  EXPECT_EQ(reloaded.processed_ts(), 1);
  EXPECT_EQ(reloaded.pending().size(), 199u);
}

}  // namespace
}  // namespace quelvane
