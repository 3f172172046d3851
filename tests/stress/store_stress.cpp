// Threads on one store: writers (in-order and out-of-order writes, appends, deletes, explicit
// flushes) and readers (point reads, ranges, cursors, inspection) on shared datasets, a queue
// with a pusher and two consumer groups polling and acknowledging (one with a wake callback
// that writes to another dataset), a journal consumer, explicit idle releases, and the
// background worker at a short interval; then every record is checked and everything closed.
// Run under ThreadSanitizer by scripts/stress; it exits 0 only when every check passed.
//
//   store_stress [--seconds S] [--seed X] [--dir D]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "journal/queue.h"
#include "queue/mod.h"
#include "store/store.h"
#include "util/fs.h"

using namespace quelvane;

namespace {

std::atomic<int> failures{0};

void fail(const std::string& what) {
  std::fprintf(stderr, "stress check failed: %s\n", what.c_str());
  failures.fetch_add(1);
}

template <class T>
T must(Result<T> r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().display().c_str());
    std::exit(1);
  }
  return std::move(*r);
}
void must(const Status& s, const char* what) {
  if (!s) {
    std::fprintf(stderr, "%s: %s\n", what, s.error().display().c_str());
    std::exit(1);
  }
}
// A failure an operation may report under contention is still a failure here: nothing the
// threads do is refused by a sound store.
void expect(const Status& s, const char* what) {
  if (!s) fail(std::string(what) + ": " + s.error().display());
}

std::vector<std::uint8_t> payload(std::uint64_t tag, std::size_t len) {
  std::vector<std::uint8_t> d(len);
  for (std::size_t k = 0; k < len; ++k) d[k] = static_cast<std::uint8_t>(tag * 131 + k * 7);
  return d;
}

constexpr int kWriters = 3;

// What one writer left in one dataset: its own timestamps only, so no other thread changes them.
struct Expected {
  std::map<std::int64_t, std::vector<std::uint8_t>> records;
};

void writer(Dataset ds, int w, std::uint64_t seed, std::atomic<bool>& stop, Expected& out) {
  std::mt19937_64 rng(seed * 977 + static_cast<std::uint64_t>(w));
  std::int64_t next = 1;
  for (std::uint64_t op = 0; !stop.load(); ++op) {
    const std::int64_t ts = next * kWriters + w;
    const unsigned pick = static_cast<unsigned>(rng() % 100);
    if (pick < 60 || out.records.empty()) {  // a new record, large now and then (a block of its own)
      auto data = payload(op, rng() % 16 == 0 ? 70000 : 10 + rng() % 400);
      // Another writer may be ahead: below the latest timestamp a write must replace an existing
      // record, so a new one there is refused with NotFound, and changes nothing.
      auto written = ds.write(ts, data);
      if (written) out.records[ts] = data;
      else if (written.error().kind() != ErrorKind::NotFound) fail("write: " + written.error().display());
      ++next;
    } else {
      auto it = out.records.lower_bound(static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(ts)));
      if (it == out.records.end()) it = out.records.begin();
      if (pick < 75) {  // a correction or an out-of-order replacement
        auto data = payload(op + 1, 5 + rng() % 200);
        expect(ds.write(it->first, data), "rewrite");
        it->second = data;
      } else if (pick < 85) {
        expect(ds.delete_record(it->first), "delete");
        out.records.erase(it);
      } else if (pick < 95) {
        auto more = payload(op + 2, 1 + rng() % 50);
        // Appending extends only the latest record of the dataset; others are refused.
        if (ds.append(it->first, more)) it->second.insert(it->second.end(), more.begin(), more.end());
      } else {
        expect(ds.flush(), "flush");
      }
    }
  }
}

void reader(Dataset ds, std::atomic<bool>& stop) {
  std::mt19937_64 rng(99);
  while (!stop.load()) {
    const auto latest = ds.latest_timestamp();
    const std::int64_t top = latest ? *latest : 1;
    const std::int64_t t = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(top + 1));
    auto r = ds.read(t);
    if (!r) fail("read: " + r.error().display());
    else if (*r && (*r)->first != t) fail("a read returned another timestamp");
    if (auto l = ds.read_length(t); !l) fail("read_length: " + l.error().display());
    if (auto q = ds.query_all(t, t + 50); !q) fail("query_all: " + q.error().display());
    if (auto e = ds.query_exist(t, t + 64); !e) fail("query_exist: " + e.error().display());
    if (auto cursor = ds.query(t, t + 30); !cursor) fail("query: " + cursor.error().display());
    if (auto i = ds.inspect(); !i) fail("inspect: " + i.error().display());
    if (auto l = ds.read_latest(); !l) fail("read_latest: " + l.error().display());
  }
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  std::uint64_t seed = 1;
  std::string dir_arg;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--seconds") seconds = std::stod(argv[i + 1]);
    else if (a == "--seed") seed = std::stoull(argv[i + 1]);
    else if (a == "--dir") dir_arg = argv[i + 1];
  }
  const fs::Path dir = dir_arg.empty() ? fs::Path("/tmp") / ("quelvane-stress-" + std::to_string(::getpid())) : fs::Path(dir_arg);
  (void)fs::remove_tree(dir);
  must(fs::create_dir_all(dir), "create the store directory");


  StoreConfig config;
  config.flush_interval = Duration::from_millis(5);
  config.idle_timeout = Duration::from_millis(20);
  config.cache_idle_timeout = Duration::from_millis(20);
  config.data_segment_size = 256 << 10;  // roll-overs within seconds
  config.initial_data_segment_size = 8 << 10;
  config.index_segment_size = 4096;
  config.initial_index_segment_size = 1024;
  config.cache_max_memory = 1 << 20;
  config.enable_background_thread = true;
  config.enable_journal = true;
  auto store = must(Store::open(dir, config), "open the store");

  DataSetConfigBuilder sparse(false);
  DataSetConfigBuilder continuous(false);
  continuous.set_index_continuous(true);
  continuous.compress_type = 1;
  DataSetConfigBuilder journalled(true);
  std::vector<Dataset> shared = {must(store->create_dataset("sparse", "zstd", sparse), "create sparse"),
                                 must(store->create_dataset("continuous", "deflate", continuous), "create continuous"),
                                 must(store->create_dataset("journalled", "zstd", journalled), "create journalled")};
  Dataset queued = must(store->create_dataset("queued", "q", std::nullopt), "create queued");
  Dataset woken = must(store->create_dataset("woken", "q", std::nullopt), "create woken");
  auto queue = must(DatasetQueue::open(queued), "open the queue");
  auto journal_queue = must(store->open_journal_queue(), "open the journal queue");

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  std::vector<std::vector<Expected>> expected(shared.size(), std::vector<Expected>(kWriters));
  for (std::size_t d = 0; d < shared.size(); ++d) {
    for (int w = 0; w < kWriters; ++w)
      threads.emplace_back(writer, shared[d], w, seed, std::ref(stop), std::ref(expected[d][static_cast<std::size_t>(w)]));
    threads.emplace_back(reader, shared[d], std::ref(stop));
  }

  // The queue: two groups, opened before the first push (a new group starts at the latest
  // record), and one pusher; group "b" has a wake callback writing to another dataset.
  std::atomic<int> wakes{0};
  std::vector<DatasetQueueConsumer> consumers;
  for (int g = 0; g < 2; ++g) {
    consumers.push_back(must(queue.open_consumer(g == 0 ? "a" : "b", must(queue::check_consumer_config(1, 0), "config")),
                             "open a consumer"));
  }
  auto callback = std::make_shared<const std::function<void()>>([&wakes, woken]() mutable {
    wakes.fetch_add(1);
    (void)woken.push_next(payload(7, 8));
  });
  must(consumers[1].poll_callback(callback), "set a wake callback");
  std::atomic<std::int64_t> pushed_count{0};
  std::mutex pushed_mutex;
  std::set<std::int64_t> pushed;
  std::atomic<bool> pushing{true};
  threads.emplace_back([&] {
    for (std::uint64_t k = 0; !stop.load(); ++k) {
      auto pos = queue.push(payload(k, 30));
      if (!pos) {
        fail("push: " + pos.error().display());
        break;
      }
      {
        std::lock_guard lock(pushed_mutex);
        pushed.insert(*pos);
      }
      pushed_count.fetch_add(1);
      if (k % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pushing.store(false);
  });
  std::vector<std::set<std::int64_t>> delivered(2);
  std::vector<std::atomic<std::size_t>> delivered_count(2);
  for (int g = 0; g < 2; ++g) {
    threads.emplace_back([&, consumer = consumers[static_cast<std::size_t>(g)], g]() mutable {
      auto& seen = delivered[static_cast<std::size_t>(g)];
      for (;;) {
        auto r = consumer.poll(Duration::from_millis(20));
        if (!r) {
          fail("poll: " + r.error().display());
          return;
        }
        if (!*r) {
          if (!pushing.load()) {
            std::lock_guard lock(pushed_mutex);
            if (std::includes(seen.begin(), seen.end(), pushed.begin(), pushed.end())) break;
          }
          continue;
        }
        seen.insert((*r)->first);
        delivered_count[static_cast<std::size_t>(g)].store(seen.size());
        expect(consumer.ack((*r)->first), "ack");
        if (seen.size() % 100 == 0) expect(consumer.flush(), "consumer flush");
      }
      expect(consumer.close(), "consumer close");
    });
  }
  std::atomic<std::int64_t> journal_seen{0};
  auto journal_consumer = must(journal_queue->open_consumer("all", 0, 0), "open a journal consumer");
  threads.emplace_back([&, journal_consumer]() mutable {
    std::int64_t last = -1;
    while (!stop.load()) {
      auto r = journal_consumer.poll(Duration::from_millis(20));
      if (!r) {
        fail("journal poll: " + r.error().display());
        return;
      }
      if (!*r) continue;
      if ((*r)->first <= last) fail("journal sequences go backwards");
      last = (*r)->first;
      journal_seen.fetch_add(1);
      expect(journal_consumer.ack(last), "journal ack");
    }
  });
  threads.emplace_back([&] {
    while (!stop.load()) {
      for (auto& ds : shared) expect(ds.release_idle(), "release_idle");
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });

  // A watchdog: a deadlock fails the run instead of hanging it, and says how far each part got.
  std::thread([&, seconds] {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds + 120));
    std::fprintf(stderr, "stress: still running 120 s after its end (%lld pushed, %zu and %zu delivered)\n",
                 static_cast<long long>(pushed_count.load()), delivered_count[0].load(), delivered_count[1].load());
    std::_Exit(3);
  }).detach();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true);
  for (auto& t : threads) t.join();

  std::uint64_t checked = 0;
  for (std::size_t d = 0; d < shared.size(); ++d) {
    for (const auto& e : expected[d]) {
      for (const auto& [ts, data] : e.records) {
        auto r = shared[d].read(ts);
        if (!r || !*r || (*r)->second != data) fail("record " + std::to_string(ts) + " does not read back");
        ++checked;
      }
    }
  }
  expect(queue.close(), "queue close");
  expect(journal_queue->close(), "journal queue close");
  for (auto& ds : shared) expect(ds.close(), "dataset close");
  expect(queued.close(), "dataset close");
  expect(woken.close(), "dataset close");
  store.reset();
  (void)fs::remove_tree(dir);
  std::printf("stress: %.1f s, seed %llu: %llu records checked, %lld pushed, %zu and %zu delivered, %d wakes, %lld "
              "journal records consumed, %d failures\n",
              seconds, static_cast<unsigned long long>(seed), static_cast<unsigned long long>(checked),
              static_cast<long long>(pushed_count.load()), delivered[0].size(), delivered[1].size(), wakes.load(),
              static_cast<long long>(journal_seen.load()), failures.load());
  return failures.load() == 0 ? 0 : 1;
}
