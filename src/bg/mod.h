// Background maintenance of a writable store: four periodic tasks (flushing what writers marked
// dirty, then the journal; releasing the files of idle datasets; evicting idle cache entries;
// reclaiming segments that fell out of a dataset's retention window, daily at a fixed UTC hour)
// run either by one worker thread of the store's own or, in manual mode, by the caller's ticks.
//
// Each task is marked running by the tick that starts it, so two ticks (the worker and a
// caller) never run the same task at once. No store lock is held while a task works on a
// dataset: the registry is read into a snapshot first, and each dataset is then locked alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "../cache.h"
#include "../config.h"
#include "../dirty_queue.h"
#include "../error.h"
#include "../store/registry.h"
#include "../util/time.h"

namespace quelvane {

namespace bg {

inline constexpr Duration kIdlePeriod = Duration::from_secs(60);
inline constexpr Duration kCachePeriod = Duration::from_secs(60);
// While a retention pass runs, the next delay is at most this.
inline constexpr Duration kRetentionRunningDelay = Duration::from_secs(1);
// A flush_interval of 0 makes every delay 0; the worker then pauses this long between ticks
// instead of spinning (a manual tick still flushes every time).
inline constexpr Duration kZeroDelayPause{0, 100'000'000};
// The longest single wait of the worker; a longer delay is waited out in steps.
inline constexpr Duration kLongestWait = Duration::from_secs(3600);

// Where the schedule reads the time: the monotonic clock for every deadline, the real-time
// clock (whole seconds since the Unix epoch, 0 before it) for the retention hour.
struct Clocks {
  std::function<Instant()> monotonic;
  std::function<std::int64_t()> unix_secs;

  static Clocks system();
};

// Whole seconds from unix_secs to the next hour:00:00 UTC, 1 to 86400 (86400 exactly on the hour).
std::uint64_t secs_until_hour(std::uint8_t hour, std::int64_t unix_secs);

struct Settings {
  Duration flush_interval;
  Duration idle_timeout;
  Duration cache_idle_timeout;
  std::uint8_t retention_check_hour = 0;

  static Settings of(const StoreConfig& config);
};

// The store's shared objects the tasks work on.
struct Handles {
  std::shared_ptr<OpenDatasets> open_datasets;
  std::shared_ptr<DirtyQueue> dirty_queue;
  std::shared_ptr<BlockCache> block_cache;
  // Flushes the store's journal; empty when there is none to flush.
  std::function<Status()> flush_journal;
};

struct Tick {
  std::uint32_t tasks_run = 0;  // tasks this tick started, 0 to 4
  Duration next_delay;          // until the next task is due, computed before the tasks ran
};

}  // namespace bg

class BackgroundTasks {
 public:
  // One worker thread. A thread that cannot be started (no memory or mapping for its stack)
  // throws std::system_error, which the caller makes its error.
  static std::unique_ptr<BackgroundTasks> spawn(bg::Handles handles, bg::Settings settings,
                                                bg::Clocks clocks = bg::Clocks::system());
  // No thread: nothing runs but the caller's ticks.
  static std::unique_ptr<BackgroundTasks> new_manual(bg::Handles handles, bg::Settings settings,
                                                     bg::Clocks clocks = bg::Clocks::system());
  ~BackgroundTasks();
  BackgroundTasks(const BackgroundTasks&) = delete;
  BackgroundTasks& operator=(const BackgroundTasks&) = delete;

  // Tells the worker to stop and waits for it; it ends at once whatever it was waiting for,
  // or after the task it is running. A manual record has nothing to stop.
  void shutdown();
  // One tick: starts every due task that is not running, runs them, and returns how many it
  // started and the delay until the next one is due.
  bg::Tick run_due_tasks();
  Duration next_delay_snapshot();

  const std::shared_ptr<DirtyQueue>& dirty_queue() const;
  bool has_worker() const { return worker_.joinable(); }

  struct Core;
  struct StopSignal;

 private:
  BackgroundTasks(std::shared_ptr<Core> core, std::shared_ptr<StopSignal> stop)
      : core_(std::move(core)), stop_(std::move(stop)) {}

  std::shared_ptr<Core> core_;
  std::shared_ptr<StopSignal> stop_;  // the sending side; none in manual mode
  std::thread worker_;
};

}  // namespace quelvane
