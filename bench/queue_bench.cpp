#include "queue_bench.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "peers/peer.h"
#include "peers/quelvane_peer.h"
#include "queue/mod.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using quelvane::DatasetQueue;
using quelvane::DatasetQueueConsumer;

// Long enough that no poll of the run ends by its timeout.
constexpr quelvane::Duration kBlockedPoll = quelvane::Duration::from_secs(3600);
// Between the poller announcing its wait and the push: time to be asleep in the kernel, and to
// pass the one wait a leftover notification may still end at once.
constexpr auto kSettle = std::chrono::microseconds(100);

double secs_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

bool same_record(const quelvane::QueueRecord& got, std::int64_t ts, std::span<const std::uint8_t> data) {
  return got.first == ts && got.second.size() == data.size() &&
         std::memcmp(got.second.data(), data.data(), data.size()) == 0;
}

// Pushes every payload of the stream, then polls and acknowledges until the group has nothing
// left; pushes are numbered from 1 on the empty dataset.
void load_and_drain(const RecordStream& stream, DatasetQueue& queue, DatasetQueueConsumer& consumer, QueueRun& run) {
  Digest want;
  for (std::size_t i = 0; i < stream.count(); ++i) want.take(static_cast<std::int64_t>(i) + 1, stream.data(i));

  auto t0 = Clock::now();
  for (std::size_t i = 0; i < stream.count(); ++i)
    if (value_or_die(queue.push(stream.data(i)), "push") != static_cast<std::int64_t>(i) + 1)
      die(kQuelvaneName, "push returned another timestamp than the next one");
  run.push_secs = secs_since(t0);

  Digest got;
  t0 = Clock::now();
  while (auto record = value_or_die(consumer.try_poll(), "try_poll")) {
    got.take(record->first, record->second);
    check_ok(consumer.ack(record->first), "ack");
  }
  run.drain_secs = secs_since(t0);
  if (!(got == want))
    die(kQuelvaneName, "the group received other records than were pushed (" + std::to_string(got.count()) + " of " +
                           std::to_string(want.count()) + ")");
}

// The two threads' side of one wake-up after another: the poller announces the round it waits
// in, the pusher waits for that, pushes, and waits for the poller to report the round back.
struct Handshake {
  std::atomic<std::uint64_t> blocked{0};
  std::atomic<std::uint64_t> returned{0};
  std::atomic<bool> failed{false};

  template <class Pred>
  bool await(Pred done) const {
    while (!done()) {
      if (failed.load(std::memory_order_acquire)) return false;
      std::this_thread::yield();
    }
    return true;
  }
};

void time_wakes(const RecordStream& stream, std::size_t wakes, DatasetQueue& queue, DatasetQueueConsumer& consumer,
                QueueRun& run) {
  const auto first_ts = static_cast<std::int64_t>(stream.count()) + 1;
  auto payload = [&](std::uint64_t round) { return stream.data(static_cast<std::size_t>((round - 1) % stream.count())); };
  std::vector<Clock::time_point> pushed(wakes), woke(wakes);
  Handshake hs;
  std::string poller_error;

  std::thread poller([&] {
    std::uint64_t round = 0;
    const quelvane::PollWaitRunner announce = [&](const std::function<void()>& wait) {
      hs.blocked.store(round, std::memory_order_release);
      wait();
      return true;
    };
    for (round = 1; round <= wakes; ++round) {
      auto got = consumer.poll(kBlockedPoll, announce);
      woke[round - 1] = Clock::now();
      const std::int64_t ts = first_ts + static_cast<std::int64_t>(round) - 1;
      if (!got) {
        poller_error = "poll: " + got.error().display();
      } else if (!*got || !same_record(**got, ts, payload(round))) {
        poller_error = "a blocked poll returned another record than the one pushed at " + std::to_string(ts);
      } else if (auto acked = consumer.ack(ts); !acked) {
        poller_error = "ack: " + acked.error().display();
      }
      if (!poller_error.empty()) {
        hs.failed.store(true, std::memory_order_release);
        return;
      }
      hs.returned.store(round, std::memory_order_release);
    }
  });

  std::string pusher_error;
  for (std::uint64_t round = 1; round <= wakes; ++round) {
    if (!hs.await([&] { return hs.blocked.load(std::memory_order_acquire) >= round; })) break;
    std::this_thread::sleep_for(kSettle);
    pushed[round - 1] = Clock::now();
    if (auto ts = queue.push(payload(round)); !ts) {
      pusher_error = "push: " + ts.error().display();
      break;
    }
    if (!hs.await([&] { return hs.returned.load(std::memory_order_acquire) >= round; })) break;
  }
  // A pusher that stopped early leaves the poller waiting: closing the queue ends its poll.
  if (!pusher_error.empty()) check_ok(queue.close(), "close the queue");
  poller.join();
  if (!pusher_error.empty()) die(kQuelvaneName, pusher_error);
  if (!poller_error.empty()) die(kQuelvaneName, poller_error);

  run.wake_us.resize(wakes);
  for (std::size_t i = 0; i < wakes; ++i)
    run.wake_us[i] = std::chrono::duration<double, std::micro>(woke[i] - pushed[i]).count();
}

// A dataset of its own for the gap runs, with the defaults a store hands a new dataset.
quelvane::Dataset create_gap_dataset(const std::filesystem::path& dir, bool continuous) {
  quelvane::DataSetConfig config;
  config.index_continuous = continuous ? 1 : 0;
  return value_or_die(quelvane::Dataset::create({"gaps", continuous ? "continuous" : "sparse"},
                                                dir / "gaps" / (continuous ? "continuous" : "sparse"), config),
                      "create");
}

// The median of `polls` timed polls by a group that has delivered everything live and whose
// watermark lies below [first, last], all empty slots; and the time of query_all over them.
std::pair<double, double> time_empty_polls(quelvane::Dataset& dataset, DatasetQueueConsumer& consumer,
                                           std::int64_t first, std::int64_t last, int polls) {
  std::vector<double> ms;
  for (int i = 0; i < polls; ++i) {
    const auto t0 = Clock::now();
    auto got = value_or_die(consumer.try_poll(), "try_poll");
    ms.push_back(secs_since(t0) * 1e3);
    if (got) die(kQuelvaneName, "a poll over empty slots delivered " + std::to_string(got->first));
  }
  std::sort(ms.begin(), ms.end());
  const auto t0 = Clock::now();
  auto records = value_or_die(dataset.query_all(first, last), "query_all");
  const double query_ms = secs_since(t0) * 1e3;
  if (!records.empty()) die(kQuelvaneName, "query_all found records among empty slots");
  return {ms[ms.size() / 2], query_ms};
}

}  // namespace

GapRun run_queue_gaps(std::size_t gap, std::size_t tail, int polls, const std::filesystem::path& dir) {
  const std::uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  GapRun run;
  {
    // 0, then gap placeholders, then the record after them, delivered and left unacknowledged:
    // the watermark stays at 0 and every later poll looks at the gap again.
    quelvane::Dataset dataset = create_gap_dataset(dir, true);
    DatasetQueue queue = value_or_die(DatasetQueue::open(dataset), "open the queue");
    check_ok(dataset.write(0, payload), "write");
    DatasetQueueConsumer consumer = value_or_die(queue.open_consumer("gap", {}), "open_consumer");
    const auto after = static_cast<std::int64_t>(gap) + 1;
    check_ok(dataset.write(after, payload), "write");
    auto first = value_or_die(consumer.try_poll(), "try_poll");
    if (!first || first->first != after) die(kQuelvaneName, "the record after the gap was not delivered");
    std::tie(run.gap_poll_ms, run.gap_query_ms) = time_empty_polls(dataset, consumer, 1, after - 1, polls);
    check_ok(queue.close(), "close the queue");
    check_ok(dataset.close(), "close");
  }
  {
    quelvane::Dataset dataset = create_gap_dataset(dir, false);
    DatasetQueue queue = value_or_die(DatasetQueue::open(dataset), "open the queue");
    check_ok(dataset.write(0, payload), "write");
    DatasetQueueConsumer consumer = value_or_die(queue.open_consumer("tail", {}), "open_consumer");
    const auto last = static_cast<std::int64_t>(tail);
    for (std::int64_t t = 1; t <= last; ++t) check_ok(dataset.write(t, payload), "write");
    for (std::int64_t t = 1; t <= last; ++t) check_ok(dataset.delete_record(t), "delete");
    std::tie(run.tail_poll_ms, run.tail_query_ms) = time_empty_polls(dataset, consumer, 1, last, polls);
    check_ok(queue.close(), "close the queue");
    check_ok(dataset.close(), "close");
  }
  return run;
}

QueueRun run_queue(const RecordStream& stream, std::size_t wakes, const std::filesystem::path& dir) {
  quelvane::Dataset dataset = create_bench_dataset(dir);
  DatasetQueue queue = value_or_die(DatasetQueue::open(dataset), "open the queue");
  DatasetQueueConsumer consumer = value_or_die(queue.open_consumer("bench", quelvane::ConsumerGroupConfig{}),
                                               "open_consumer");
  QueueRun run;
  load_and_drain(stream, queue, consumer, run);
  time_wakes(stream, wakes, queue, consumer, run);
  check_ok(consumer.close(), "close the group");
  check_ok(queue.close(), "close the queue");
  check_ok(dataset.close(), "close");
  return run;
}

}  // namespace bench
