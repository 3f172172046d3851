#include "mod.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "../dataset.h"
#include "../util/forced_unwind.h"
#include "../util/log.h"
#include "../util/mutex.h"

namespace quelvane {

namespace {

constexpr const char* kLogTarget = "quelvane::bg";
constexpr Duration kNever{std::numeric_limits<std::uint64_t>::max(), 999'999'999};

Duration duration_of(Clock::duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  if (ns <= 0) return {};
  const auto u = static_cast<std::uint64_t>(ns);
  return {u / 1'000'000'000, static_cast<std::uint32_t>(u % 1'000'000'000)};
}

bool due(std::optional<Instant> deadline, Instant now) { return deadline && now >= *deadline; }

struct BgState {
  Instant last_flush;
  Instant last_idle_check;
  Instant last_cache_check;
  std::optional<Instant> next_retention;  // none: beyond the clock's range, never due
  bool flush_running = false;
  bool idle_running = false;
  bool cache_running = false;
  bool retention_running = false;
};

struct Started {
  bool flush = false;
  bool idle = false;
  bool cache = false;
  bool retention = false;

  std::uint32_t count() const { return std::uint32_t{flush} + idle + cache + retention; }
};

// One task of a tick: whatever it throws is logged, and the tick goes on with the next task. A
// thread being ended inside it (a forced unwind) is let go: swallowing that unwind aborts.
// (Not a template: the sanitizer attribute holds only for a plain function.)
QV_PASSES_FORCED_UNWIND void run_task(const char* name, const std::function<void()>& task) {
  try {
    task();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    QV_LOG(Error, kLogTarget, "[bg] ", name, " task failed: ", e.what());
  } catch (...) {
    QV_LOG(Error, kLogTarget, "[bg] ", name, " task failed");
  }
}

}  // namespace

namespace bg {

Clocks Clocks::system() {
  return {[] { return Clock::now(); }, [] { return unix_secs_now(); }};
}

std::uint64_t secs_until_hour(std::uint8_t hour, std::int64_t unix_secs) {
  const std::uint64_t h = static_cast<std::uint64_t>(hour % 24) * 3600;
  const std::uint64_t s = unix_secs < 0 ? 0 : static_cast<std::uint64_t>(unix_secs) % 86400;
  return s < h ? h - s : h + 86400 - s;
}

Settings Settings::of(const StoreConfig& c) {
  return {c.flush_interval, c.idle_timeout, c.cache_idle_timeout, c.retention_check_hour};
}

}  // namespace bg

struct BackgroundTasks::StopSignal {
  std::mutex mutex;
  std::condition_variable cv;
  bool stopped = false;

  void request() {
    {
      std::lock_guard lock(mutex);
      stopped = true;
    }
    cv.notify_all();
  }
  bool is_stopped() {
    std::lock_guard lock(mutex);
    return stopped;
  }
  // True when a stop was asked for, now or during the wait.
  bool wait_for(Duration d) {
    const Clock::duration span = *std::min(d, bg::kLongestWait).to_clock();
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, span, [this] { return stopped; });
  }
};

struct BackgroundTasks::Core {
  Core(bg::Handles h, bg::Settings s, bg::Clocks c) : handles(std::move(h)), settings(s), clocks(std::move(c)) {
    const Instant now = clocks.monotonic();
    auto st = state.lock_or_panic();
    st->last_flush = st->last_idle_check = st->last_cache_check = now;
    st->next_retention = retention_after(now);
  }

  bg::Handles handles;
  bg::Settings settings;
  bg::Clocks clocks;
  Mutex<BgState> state{"background state mutex"};

  bool cache_enabled() const { return handles.block_cache && handles.block_cache->max_memory() != 0; }

  std::optional<Instant> retention_after(Instant now) const {
    return deadline_after(now, Duration::from_secs(bg::secs_until_hour(settings.retention_check_hour, clocks.unix_secs())));
  }

  Duration next_delay(const BgState& st, Instant now) const {
    std::optional<Instant> earliest;
    auto consider = [&](std::optional<Instant> d) {
      if (d && (!earliest || *d < *earliest)) earliest = d;
    };
    consider(deadline_after(st.flush_running ? now : st.last_flush, settings.flush_interval));
    consider(deadline_after(st.idle_running ? now : st.last_idle_check, bg::kIdlePeriod));
    consider(st.retention_running ? deadline_after(now, bg::kRetentionRunningDelay) : st.next_retention);
    if (cache_enabled()) consider(deadline_after(st.cache_running ? now : st.last_cache_check, bg::kCachePeriod));
    if (!earliest) return kNever;
    return *earliest <= now ? Duration{} : duration_of(*earliest - now);
  }

  Duration next_delay_snapshot() {
    auto st = state.lock_or_panic();
    return next_delay(*st, clocks.monotonic());
  }

  Started mark_due_tasks(BgState& st, Instant now) {
    Started s;
    if (!st.flush_running && due(deadline_after(st.last_flush, settings.flush_interval), now)) {
      st.last_flush = now;
      st.flush_running = s.flush = true;
    }
    if (!st.idle_running && due(deadline_after(st.last_idle_check, bg::kIdlePeriod), now)) {
      st.last_idle_check = now;
      st.idle_running = s.idle = true;
    }
    if (cache_enabled() && !st.cache_running && due(deadline_after(st.last_cache_check, bg::kCachePeriod), now)) {
      st.last_cache_check = now;
      st.cache_running = s.cache = true;
    }
    if (!st.retention_running && due(st.next_retention, now)) {
      st.next_retention = retention_after(clocks.monotonic());
      st.retention_running = s.retention = true;
    }
    return s;
  }

  // Clears the running flags a tick set, however the tick ends.
  struct ClearFlags {
    Core& core;
    Started started;
    ~ClearFlags() {
      if (started.count() == 0) return;
      try {
        auto st = core.state.lock_or_panic();
        if (started.flush) st->flush_running = false;
        if (started.idle) st->idle_running = false;
        if (started.cache) st->cache_running = false;
        if (started.retention) st->retention_running = false;
      } catch (...) {
        // A poisoned state lock: every later tick reports it.
      }
    }
  };

  bg::Tick run_due_tasks() {
    Started started;
    Duration delay;
    {
      auto st = state.lock_or_panic();
      const Instant now = clocks.monotonic();
      started = mark_due_tasks(*st, now);
      delay = next_delay(*st, now);
    }
    ClearFlags clear{*this, started};
    if (started.flush) run_task("flush", [this] { flush_task(); });
    if (started.idle) run_task("idle", [this] { idle_task(); });
    if (started.cache) run_task("cache", [this] { cache_task(); });
    if (started.retention) run_task("retention", [this] { retention_task(); });
    return {started.count(), delay};
  }

  // Each dataset's items leave the queue under that dataset's lock, so an explicit flush of it
  // either finds them still queued or waits until they are synced; what fails goes back on the
  // queue. A handle closed since it was looked up takes nothing: the key's items stay for the
  // dataset opened under it again. Activity is not stamped: background flushes must not keep a
  // dataset from idling.
  // With whole, everything of the dataset that is not clean is synchronised, queued or not.
  static Status flush_dataset(const Dataset& ds, bool whole = false) {
    if (whole) return ds.flush_quietly();
    auto guard = QV_TRY(ds.lock());
    Status st = guard->flush_queued();
    Wake wake = guard->take_wake();
    guard.release();
    wake.run();
    return st;
  }

  // After a report the queue could not keep, the queue no longer names everything that
  // changed: every open dataset is synchronised whole, and the mark stays owed until that
  // has gone through.
  void flush_every_dataset(DirtyQueue& dirty) {
    bool done = false;
    try {
      if (auto snapshot = handles.open_datasets->snapshot()) {
        done = true;
        for (const auto& [key, ds] : *snapshot) {
          if (auto st = flush_dataset(ds, true); !st) {
            done = false;
            QV_LOG(Error, kLogTarget, "[bg flush] failed for ", key.debug(), ": ", st.error().display());
          }
        }
      }
    } catch (...) {
      dirty.note_missed();
      throw;
    }
    if (!done) dirty.note_missed();
  }

  void flush_task() {
    DirtyQueue& dirty = *handles.dirty_queue;
    if (dirty.take_missed()) flush_every_dataset(dirty);
    for (const DataSetKey& key : dirty.keys()) {
      if (key == store::kJournalKey) {
        dirty.take_for(key);  // the journal flush below syncs the journal whole
        continue;
      }
      bool poisoned = false;
      const std::optional<Dataset> ds = handles.open_datasets->find(key, &poisoned);
      if (poisoned) continue;
      if (!ds) {
        dirty.take_for(key);  // no longer open here: nobody left to sync them
        continue;
      }
      if (auto st = flush_dataset(*ds); !st)
        QV_LOG(Error, kLogTarget, "[bg flush] failed for ", key.debug(), ": ", st.error().display());
    }
    if (handles.flush_journal) {
      if (auto st = handles.flush_journal(); !st)
        QV_LOG(Error, kLogTarget, "[bg flush] failed for journal: ", st.error().display());
    }
  }

  // The keys of the registered datasets for which keep(dataset) holds. The registry is only
  // copied under its lock; each dataset's own lock is taken afterwards.
  template <class Keep>
  std::optional<std::vector<DataSetKey>> collect(Keep keep) const {
    auto snapshot = handles.open_datasets->snapshot();
    if (!snapshot) return std::nullopt;
    std::vector<DataSetKey> keys;
    for (const auto& [key, ds] : *snapshot)
      if (keep(ds)) keys.push_back(key);
    return keys;
  }

  void idle_task() {
    const Duration timeout = settings.idle_timeout;
    auto is_idle = [&](const Dataset& ds) {
      return elapsed_at_least(ds.last_activity(), clocks.monotonic(), timeout);
    };
    const auto keys = collect(is_idle);
    if (!keys) return;
    for (const DataSetKey& key : *keys) {
      std::optional<Dataset> ds = handles.open_datasets->find(key);
      if (!ds || !is_idle(*ds)) continue;
      if (auto st = ds->release_idle(); st)
        QV_LOG(Info, kLogTarget, "[bg idle] closed dataset ", key.debug());
      else
        QV_LOG(Error, kLogTarget, "[bg idle] close failed for ", key.debug(), ": ", st.error().display());
    }
  }

  void cache_task() {
    const std::size_t evicted = handles.block_cache->evict_idle(settings.cache_idle_timeout);
    if (evicted > 0) QV_LOG(Info, kLogTarget, "[bg cache] evicted ", evicted, " idle entries");
  }

  void retention_task() {
    const auto keys = collect([](const Dataset& ds) { return ds.retention_window() != 0; });
    if (!keys) return;
    std::uint64_t total = 0;
    for (const DataSetKey& key : *keys) {
      std::optional<Dataset> ds = handles.open_datasets->find(key);
      if (!ds) continue;
      auto reclaimed = ds->reclaim_expired();
      if (!reclaimed) {
        QV_LOG(Error, kLogTarget, "[bg retention] ", key.debug(), ": reclaim failed: ", reclaimed.error().display());
      } else if (*reclaimed > 0) {
        QV_LOG(Info, kLogTarget, "[bg retention] ", key.debug(), ": reclaimed ", *reclaimed, " segments");
        total += *reclaimed;
      }
    }
    if (total > 0) QV_LOG(Info, kLogTarget, "[bg retention] reclaimed ", total, " segment files total");
  }
};

namespace {

// The worker: waits on the stop signal until the next task is due, runs a tick, and starts
// over; a stop ends the wait at once. After a tick that left a zero delay (a flush_interval of
// 0) it pauses briefly instead of spinning.
void run_loop(BackgroundTasks::Core& core, BackgroundTasks::StopSignal& stop) {
  bool pause = false;
  for (;;) {
    Duration delay = core.next_delay_snapshot();
    if (pause) delay = std::max(delay, bg::kZeroDelayPause);
    const bool stopped = delay.is_zero() ? stop.is_stopped() : stop.wait_for(delay);
    if (stopped) {
      QV_LOG(Info, kLogTarget, "[bg] received shutdown signal");
      return;
    }
    pause = core.run_due_tasks().next_delay.is_zero();
  }
}

QV_PASSES_FORCED_UNWIND void thread_entry(std::shared_ptr<BackgroundTasks::Core> core,
                                          std::shared_ptr<BackgroundTasks::StopSignal> stop) {
  // Nothing may escape a thread's body. What does get here is a poisoned schedule, after
  // which no tick can run: the worker ends and the store keeps working unmaintained.
  try {
    run_loop(*core, *stop);
  } catch (const abi::__forced_unwind&) {
    throw;  // the thread is being ended: that unwind must reach its start
  } catch (const std::exception& e) {
    QV_LOG(Error, kLogTarget, "[bg] worker stopped: ", e.what());
  } catch (...) {
    QV_LOG(Error, kLogTarget, "[bg] worker stopped");
  }
}

}  // namespace

std::unique_ptr<BackgroundTasks> BackgroundTasks::spawn(bg::Handles handles, bg::Settings settings, bg::Clocks clocks) {
  auto core = std::make_shared<Core>(std::move(handles), settings, std::move(clocks));
  auto stop = std::make_shared<StopSignal>();
  std::unique_ptr<BackgroundTasks> tasks(new BackgroundTasks(core, stop));
  tasks->worker_ = std::thread(thread_entry, std::move(core), std::move(stop));
  return tasks;
}

std::unique_ptr<BackgroundTasks> BackgroundTasks::new_manual(bg::Handles handles, bg::Settings settings,
                                                             bg::Clocks clocks) {
  auto core = std::make_shared<Core>(std::move(handles), settings, std::move(clocks));
  return std::unique_ptr<BackgroundTasks>(new BackgroundTasks(std::move(core), nullptr));
}

BackgroundTasks::~BackgroundTasks() { shutdown(); }

void BackgroundTasks::shutdown() {
  if (auto stop = std::move(stop_)) stop->request();
  if (worker_.joinable()) worker_.join();
}

bg::Tick BackgroundTasks::run_due_tasks() { return core_->run_due_tasks(); }

Duration BackgroundTasks::next_delay_snapshot() { return core_->next_delay_snapshot(); }

const std::shared_ptr<DirtyQueue>& BackgroundTasks::dirty_queue() const { return core_->handles.dirty_queue; }

}  // namespace quelvane
