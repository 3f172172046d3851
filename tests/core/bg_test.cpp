// Background maintenance: the schedule (driven by fake clocks, no sleeps), what each task does
// to the datasets, failure isolation, two ticks at once, and the worker's stop.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bg/mod.h"
#include "support/dataset_fixture.h"
#include "support/msync_counter.h"
#include "support/temp_dir.h"
#include "util/log.h"

namespace quelvane {
namespace {

using testing::ok;
using testing::TempDir;

constexpr std::uint64_t kNeverSecs = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kSomeMidnight = 20'000 * kDay;  // a UTC midnight

// Monotonic time from a real instant on (so datasets' own activity stamps compare), moved by
// the test; the real-time clock moves with it.
struct FakeTime {
  Instant base = Clock::now();
  std::int64_t unix_base = kSomeMidnight + 14 * 3600;  // 14:00:00 UTC
  std::shared_ptr<std::atomic<std::int64_t>> offset = std::make_shared<std::atomic<std::int64_t>>(0);
  // Runs at each read of the monotonic clock, inside the task that reads it: what the test
  // does there happens between that task's steps.
  std::shared_ptr<std::function<void()>> on_read = std::make_shared<std::function<void()>>();

  void set(std::int64_t secs) { offset->store(secs); }
  bg::Clocks clocks() const {
    return {[base = base, offset = offset, on_read = on_read] {
              if (*on_read) (*on_read)();
              return base + std::chrono::seconds(offset->load());
            },
            [unix_base = unix_base, offset = offset] { return unix_base + offset->load(); }};
  }
};

struct LogCapture {
  std::mutex mutex;
  std::vector<std::string> lines;
  LogCapture() {
    log::set_sink(
        [this](log::Level, std::string_view target, std::string_view text) {
          if (target != "quelvane::bg") return;
          std::lock_guard lock(mutex);
          lines.emplace_back(text);
        },
        log::Level::Info);
  }
  ~LogCapture() { log::set_sink(nullptr, log::Level::Off); }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex);
    return std::exchange(lines, {});
  }
  bool has_prefix(std::string_view prefix) {
    std::lock_guard lock(mutex);
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
  }
};

std::uint64_t secs(Duration d) { return d.secs; }

class Bg : public ::testing::Test {
 protected:
  TempDir tmp;
  FakeTime time;
  std::shared_ptr<OpenDatasets> registry = std::make_shared<OpenDatasets>();
  std::shared_ptr<DirtyQueue> dirty = std::make_shared<DirtyQueue>();
  std::shared_ptr<BlockCache> cache = std::make_shared<BlockCache>(1 << 20);
  std::shared_ptr<std::atomic<int>> journal_flushes = std::make_shared<std::atomic<int>>(0);
  std::function<Status()> journal = [n = journal_flushes] {
    ++*n;
    return Status{};
  };
  bg::Settings settings{Duration::from_secs(15), Duration::from_secs(1800), Duration::from_secs(1800), 0};

  bg::Handles handles() { return {registry, dirty, cache, journal}; }
  std::unique_ptr<BackgroundTasks> manual() { return BackgroundTasks::new_manual(handles(), settings, time.clocks()); }

  // A registered dataset whose segments report to the queue, as a writable store's do.
  Dataset add(const std::string& name, DataSetConfig config = testing::small_config()) {
    const DataSetKey key{name, "t"};
    Dataset ds = ok(Dataset::create(key, tmp / name / "t", config));
    attach(ds);
    ok(ds.set_identifier(registry->snapshot()->size() + 1));
    registry->write([&](OpenDatasets::Map& m) { return m.emplace(key, ds).second; });
    return ds;
  }
  void attach(Dataset& ds) {
    DatasetContext ctx;
    ctx.block_cache = cache;
    ctx.dirty_queue = dirty;
    ok(ds.attach_context(ctx));
  }
  // Closes ds and opens its dataset again under the same key, with a write queued for flushing;
  // the registry holds the new handle only when `register_it`.
  Dataset reopen(Dataset& ds, const std::string& name, bool register_it) {
    ok(ds.close());  // no store behind it: the registry keeps what it held
    Dataset again = ok(Dataset::open({name, "t"}, tmp / name / "t"));
    attach(again);
    ok(again.write(2, testing::bytes("two")));
    if (register_it) registry->write([&](OpenDatasets::Map& m) { return m.insert_or_assign({name, "t"}, again).second; });
    return again;
  }
};

TEST(BgSchedule, SecsUntilHour) {
  struct Case {
    std::uint8_t hour;
    std::int64_t unix_secs;
    std::uint64_t want;
  };
  for (const Case& c : std::vector<Case>{
           {0, kSomeMidnight - 3600, 3600},   // 23:00:00
           {0, kSomeMidnight, 86400},         // on the hour: a day
           {5, kSomeMidnight + 5 * 3600 - 1, 1},
           {23, kSomeMidnight, 23 * 3600},
           {0, kSomeMidnight + 1, 86399},
           {3, -5, 3 * 3600},                 // before 1970 reads as 00:00:00
       }) {
    SCOPED_TRACE(c.unix_secs);
    EXPECT_EQ(bg::secs_until_hour(c.hour, c.unix_secs), c.want);
  }
}

// Each step: the fake time, then the tasks that tick starts and the delay it returns.
struct Step {
  std::int64_t at;
  std::uint32_t tasks;
  std::uint64_t delay_secs;
};

void run_steps(BackgroundTasks& tasks, FakeTime& time, const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    SCOPED_TRACE(s.at);
    time.set(s.at);
    const bg::Tick tick = tasks.run_due_tasks();
    EXPECT_EQ(tick.tasks_run, s.tasks);
    EXPECT_EQ(secs(tick.next_delay), s.delay_secs);
  }
}

TEST_F(Bg, ScheduleFromOpening) {
  auto tasks = manual();
  EXPECT_EQ(tasks->next_delay_snapshot(), Duration::from_secs(15));
  run_steps(*tasks, time,
            {
                {0, 0, 15},   // nothing at start
                {20, 1, 15},  // the flush, counted again from now
                {30, 0, 5},
                {60, 3, 15},  // flush, idle and cache
                {61, 0, 14},
            });
  EXPECT_EQ(journal_flushes->load(), 2);
}

TEST_F(Bg, ScheduleWithoutCacheBudget) {
  cache = std::make_shared<BlockCache>(0);
  auto tasks = manual();
  run_steps(*tasks, time, {{60, 2, 15}, {120, 2, 15}});
}

TEST_F(Bg, RetentionFirstAtTheHourThenDaily) {
  settings.flush_interval = Duration::from_secs(kNeverSecs);  // never due, and no overflow
  time.unix_base = kSomeMidnight - 3600;                      // 23:00:00, retention hour 0
  auto tasks = manual();
  EXPECT_EQ(tasks->next_delay_snapshot(), Duration::from_secs(60));
  run_steps(*tasks, time,
            {
                {0, 0, 60},
                {3599, 2, 1},     // idle and cache; retention due in a second
                {3600, 1, 1},     // retention starts: at most a second while it runs
                {3601, 0, 58},    // the next one is a day away
                {3600 + kDay, 3, 1},
            });
}

TEST_F(Bg, ZeroFlushIntervalFlushesOnEveryTick) {
  settings.flush_interval = {};
  auto tasks = manual();
  run_steps(*tasks, time, {{0, 1, 0}, {0, 1, 0}, {1, 1, 0}});
  EXPECT_EQ(journal_flushes->load(), 3);
}

TEST_F(Bg, FlushSyncsEachDatasetAndIsolatesFailures) {
  Dataset good = add("good");
  Dataset bad = add("bad");
  ok(good.write(1, testing::bytes("g")));
  {
    // bad's consumer group cannot be written.
    auto g = ok(bad.lock());
    auto q = std::make_shared<testing::FakeQueue>();
    q->fail = Error::io("group state write failed");
    g->queue = q;
  }
  dirty->push({"bad", "t"}, FlushTarget::consumer_group("g1"));
  dirty->push({"gone", "t"}, FlushTarget::data_segment(0));     // not registered: dropped
  dirty->push({".journal", "logs"}, FlushTarget::data_segment(0));  // the journal flushes whole
  const Instant activity = good.last_activity();
  ASSERT_TRUE(std::ranges::count(dirty->keys(), DataSetKey{"good", "t"}) == 1);

  LogCapture logs;
  auto tasks = manual();
  time.set(15);
  EXPECT_EQ(tasks->run_due_tasks().tasks_run, 1u);
  EXPECT_EQ(logs.take(), (std::vector<std::string>{
                             "[bg flush] failed for DataSetKey { name: \"bad\", dataset_type: \"t\" }: "
                             "I/O error: group state write failed"}));
  // The failed target waits for the next flush; the others are done; the journal still flushed.
  EXPECT_EQ(dirty->keys(), (std::vector<DataSetKey>{{"bad", "t"}}));
  EXPECT_EQ(dirty->take_all(), (std::vector<DirtyItem>{{{"bad", "t"}, FlushTarget::consumer_group("g1")}}));
  EXPECT_EQ(journal_flushes->load(), 1);
  // A background flush is not activity: it must not keep a dataset from idling.
  EXPECT_EQ(good.last_activity(), activity);
  {
    auto g = ok(bad.lock());
    g->queue.reset();
  }
}

TEST_F(Bg, JournalFailureIsLoggedAndTaskFailuresClearTheirFlags) {
  journal = [] { return Status(fail(Error::io("journal sync failed"))); };
  LogCapture logs;
  auto tasks = manual();
  run_steps(*tasks, time, {{15, 1, 15}});
  EXPECT_EQ(logs.take(), (std::vector<std::string>{"[bg flush] failed for journal: I/O error: journal sync failed"}));

  // An internal failure inside a task ends that task only; its flag is cleared, so the next
  // flush runs again.
  journal = [] () -> Status { internal_failure("boom"); };
  tasks = manual();
  run_steps(*tasks, time, {{30, 1, 15}, {45, 1, 15}});
  EXPECT_TRUE(logs.has_prefix("[bg] flush task failed"));
}

// A thread ended inside a task (pthread_exit, as the interpreter ends a daemon thread at exit)
// is let go: the tick's catch-all passes the unwind on instead of swallowing it, which would
// abort the process.
TEST_F(Bg, AThreadEndedInsideATaskIsLetGo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        settings.idle_timeout = Duration::from_secs(30);
        Dataset ds = add("a");
        auto tasks = manual();
        time.set(61);
        int reads = 0;
        // The tick reads the clock once before its tasks; the idle task reads it next.
        *time.on_read = [&] {
          if (++reads == 2) pthread_exit(nullptr);
        };
        std::thread([&] {
          (void)tasks->run_due_tasks();
          std::exit(2);  // the thread went on
        }).join();
        *time.on_read = {};
        if (reads != 2) std::exit(3);

        // The worker thread likewise, wherever it reads the clock.
        const std::thread::id caller = std::this_thread::get_id();
        std::atomic<bool> ended{false};
        *time.on_read = [&] {
          if (std::this_thread::get_id() == caller) return;
          ended = true;
          pthread_exit(nullptr);
        };
        auto worker = BackgroundTasks::spawn(handles(), settings, time.clocks());
        while (!ended) std::this_thread::yield();
        worker.reset();  // joins the thread that ended
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Bg, IdleDatasetsAreReleasedAndStayRegistered) {
  struct Case {
    std::uint64_t timeout;
    bool released;
  };
  for (const Case& c : std::vector<Case>{{30, true}, {1800, false}, {kNeverSecs, false}}) {
    SCOPED_TRACE(c.timeout);
    registry = std::make_shared<OpenDatasets>();
    time.set(0);
    settings.idle_timeout = Duration::from_secs(c.timeout);
    Dataset ds = add("a" + std::to_string(c.timeout));
    ok(ds.write(1, testing::bytes("one")));
    ASSERT_EQ(ok(ds.inspect()).state.open_data_segments, 1u);

    LogCapture logs;
    auto tasks = manual();
    time.set(61);
    EXPECT_EQ(tasks->run_due_tasks().tasks_run, 3u);
    EXPECT_EQ(ok(ds.inspect()).state.open_data_segments, c.released ? 0u : 1u);
    EXPECT_EQ(logs.has_prefix("[bg idle] closed dataset DataSetKey { name: \"a" + std::to_string(c.timeout) +
                              "\", dataset_type: \"t\" }"),
              c.released);
    EXPECT_TRUE(registry->find({"a" + std::to_string(c.timeout), "t"}).has_value());
    EXPECT_EQ(ok(ds.read(1))->second, testing::bytes("one"));  // reopened on use
  }
}

// A task that looked a dataset up before the caller closed it and opened it again holds a stale,
// closed handle: that handle takes nothing off the dirty queue, and the reopened dataset's
// targets wait there for the next flush, which syncs them.
TEST_F(Bg, AStaleHandleLeavesTheReopenedDatasetsTargetsQueued) {
  settings.idle_timeout = Duration::from_secs(30);
  struct Case {
    const char* task;
    std::int64_t at;  // when the tick that meets the stale handle runs
  };
  for (const Case& c : {Case{"flush", 15}, Case{"idle", 61}}) {
    SCOPED_TRACE(c.task);
    const std::string name = std::string("a-") + c.task;
    const DataSetKey key{name, "t"};
    registry = std::make_shared<OpenDatasets>();
    time.set(0);
    Dataset old = add(name);
    ok(old.write(1, testing::bytes("one")));
    ok(old.flush());
    ASSERT_TRUE(dirty->keys().empty());
    auto tasks = manual();
    std::optional<Dataset> again;
    int reads = 0;
    if (std::string_view(c.task) == "flush") {
      // The flush task looks the key up and then locks the handle; here the registry still
      // holds the handle it found when the caller closed that dataset.
      again = reopen(old, name, false);
    } else {
      // The idle task looks the key up and reads the clock before it releases the handle. The
      // tick's reads: its start, the idle scan's look at the dataset, then the look at the
      // handle it took: the caller closes and reopens the dataset there.
      *time.on_read = [&] {
        if (++reads == 3) again = reopen(old, name, true);
      };
    }
    time.set(c.at);
    tasks->run_due_tasks();
    *time.on_read = nullptr;
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(dirty->keys(), std::vector<DataSetKey>{key});

    registry->write([&](OpenDatasets::Map& m) { return m.insert_or_assign(key, *again).second; });
    testing::MsyncCounter msyncs;
    time.set(c.at + 15);
    tasks->run_due_tasks();
    EXPECT_TRUE(dirty->keys().empty());
    EXPECT_GT(msyncs.take(), 0u);
    EXPECT_EQ(ok(again->read(2))->second, testing::bytes("two"));
    ok(again->close());
  }
}

TEST_F(Bg, RetentionReclaimsDatasetsWithAWindow) {
  DataSetConfig c = testing::small_config();
  c.retention_window = 100;
  c.data_segment_size = 8192;
  c.initial_data_segment_size = 8192;
  c.index_segment_size = 256;
  c.initial_index_segment_size = 256;
  Dataset windowed = add("windowed", c);
  c.retention_window = 0;
  Dataset kept = add("kept", c);
  for (std::int64_t t = 0; t < 400; t += 10) {
    ok(windowed.write(t, testing::filled(1000, 1)));
    ok(kept.write(t, testing::filled(1000, 1)));
  }
  LogCapture logs;
  settings.retention_check_hour = 15;  // an hour after the fake 14:00
  auto tasks = manual();
  time.set(3600);
  EXPECT_EQ(tasks->run_due_tasks().tasks_run, 4u);
  EXPECT_TRUE(logs.has_prefix("[bg retention] DataSetKey { name: \"windowed\", dataset_type: \"t\" }: reclaimed "));
  EXPECT_FALSE(logs.has_prefix("[bg retention] DataSetKey { name: \"kept\""));
  EXPECT_TRUE(logs.has_prefix("[bg retention] reclaimed "));
  EXPECT_GT(ok(windowed.query_all(0, 400)).size(), 0u);
  EXPECT_LT(ok(windowed.query_all(0, 400)).size(), ok(kept.query_all(0, 400)).size());
}

TEST_F(Bg, ATickBesideARunningFlushDoesNotFlushAgain) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  journal = [&entered, released] {
    entered.set_value();
    released.wait();
    return Status{};
  };
  auto tasks = manual();
  time.set(20);
  auto first = std::async(std::launch::async, [&] { return tasks->run_due_tasks(); });
  entered.get_future().wait();
  time.set(61);
  const bg::Tick second = tasks->run_due_tasks();
  EXPECT_EQ(second.tasks_run, 2u);  // idle and cache; the flush is still running
  EXPECT_EQ(second.next_delay, Duration::from_secs(15));
  release.set_value();
  EXPECT_EQ(first.get().tasks_run, 1u);
}

TEST_F(Bg, WorkerStopsAtOnceWhateverTheInterval) {
  for (std::uint64_t interval : {std::uint64_t{15}, std::uint64_t{0}, kNeverSecs}) {
    SCOPED_TRACE(interval);
    journal_flushes->store(0);
    settings.flush_interval = Duration::from_secs(interval);
    LogCapture logs;
    auto tasks = BackgroundTasks::spawn(handles(), settings);
    ASSERT_TRUE(tasks->has_worker());
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    const auto before = Clock::now();
    tasks->shutdown();
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_EQ(logs.take(), (std::vector<std::string>{"[bg] received shutdown signal"}));
    // A zero interval flushes often but does not spin.
    if (interval == 0) {
      EXPECT_GE(journal_flushes->load(), 2);
      EXPECT_LE(journal_flushes->load(), 6);
    } else {
      EXPECT_EQ(journal_flushes->load(), 0);
    }
  }
}

}  // namespace
}  // namespace quelvane
