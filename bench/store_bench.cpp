#include "store_bench.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>

#include "peers/peer.h"
#include "peers/quelvane_peer.h"
#include "bg/mod.h"
#include "dirty_queue.h"
#include "store/store.h"
#include "util/bytes.h"
#include "workload.h"

namespace bench {

namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;
using quelvane::Store;
using quelvane::StoreConfig;

double secs_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Small segments, so that thousands of datasets and a long journal stay small on disk (the
// journal rolls over every MiB and so has several segment files). The open and close figures
// leave the worker thread out: its start and join cost the same for every store and, on a busy
// machine, are mostly the scheduler's latency, which would hide what grows with the store.
StoreConfig bench_config(bool worker = true) {
  StoreConfig c;
  c.enable_background_thread = worker;
  c.data_segment_size = 1 << 20;
  c.initial_data_segment_size = 4096;
  c.index_segment_size = 64 << 10;
  c.initial_index_segment_size = 1024;
  return c;
}

std::unique_ptr<Store> open_store(const stdfs::path& dir, bool worker = true) {
  return value_or_die(Store::open(dir, bench_config(worker)), "open");
}

std::string name_of(std::size_t i) { return "n" + std::to_string(i / 100); }
std::string type_of(std::size_t i) { return "t" + std::to_string(i % 100); }

double time_creates(std::size_t creates, const stdfs::path& dir) {
  auto store = open_store(dir);
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < creates; ++i) value_or_die(store->create_dataset(name_of(i), type_of(i)), "create_dataset");
  return secs_since(t0);
}

// What every create does at the least, with plain calls: the dataset's directories, its meta,
// state and identifier files, and the rewrite of max_identifier.
double time_create_floor(std::size_t creates, const stdfs::path& dir) {
  namespace fs = quelvane::fs;
  const std::vector<std::uint8_t> meta(90, 1), state(64, 0);
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < creates; ++i) {
    const fs::Path d = dir / name_of(i) / type_of(i);
    check_ok(fs::create_dir_all(d / "data"), "mkdir");
    check_ok(fs::create_dir_all(d / "index"), "mkdir");
    check_ok(fs::write_file(d / "meta", meta), "meta");
    check_ok(fs::write_file(d / "state", state), "state");
    const std::string id = std::to_string(i + 1);
    check_ok(fs::write_file(d / "identifier", quelvane::bytes::as_bytes(id)), "identifier");
    check_ok(fs::overwrite_file(dir / "max_identifier", quelvane::bytes::as_bytes(id)), "max_identifier");
  }
  return secs_since(t0);
}

// datasets plain datasets, and one journalled dataset whose writes give the journal its records.
void fill(std::size_t datasets, std::size_t journal_records, const stdfs::path& dir) {
  auto store = open_store(dir);
  for (std::size_t i = 0; i < datasets; ++i) value_or_die(store->create_dataset(name_of(i), type_of(i)), "create_dataset");
  quelvane::DataSetConfigBuilder journalled(true);
  journalled.data_segment_size = 1 << 20;
  journalled.initial_data_segment_size = 4096;
  journalled.index_segment_size = 64 << 10;
  journalled.initial_index_segment_size = 1024;
  quelvane::Dataset ds = value_or_die(store->create_dataset("journalled", "records", journalled), "create_dataset");
  const std::uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (std::size_t i = 0; i < journal_records; ++i)
    check_ok(ds.write(kFirstTimestamp + static_cast<std::int64_t>(i), payload), "write");
  check_ok(ds.close(), "close");
  const auto latest = value_or_die(store->journal_latest_sequence(), "journal_latest_sequence");
  // The journalled dataset's create record, then one per write.
  if (latest.value_or(0) != static_cast<std::int64_t>(journal_records + 1))
    die(kQuelvaneName, "the journal holds another number of records than were written");
}

double open_close_us(const stdfs::path& dir) {
  const auto t0 = Clock::now();
  open_store(dir, false).reset();
  return secs_since(t0) * 1e6;
}

// The dirty-target queue's share of a flush tick: what one tick does with it (the keys, then
// each key's targets taken), over the items that `dirty` datasets with two dirty segments each
// leave on it, pushed in the order writes interleave them.
double time_queue_part(std::size_t dirty) {
  quelvane::DirtyQueue queue;
  for (std::size_t i = 0; i < dirty; ++i) {
    queue.push({name_of(i), type_of(i)}, quelvane::FlushTarget::data_segment(0));
    queue.push({name_of(i), type_of(i)}, quelvane::FlushTarget::index_segment(kFirstTimestamp));
  }
  const auto t0 = Clock::now();
  std::size_t taken = 0;
  for (const quelvane::DataSetKey& key : queue.keys()) taken += queue.take_for(key).size();
  const double secs = secs_since(t0);
  if (taken != 2 * dirty || queue.size() != 0) die(kQuelvaneName, "the dirty-target queue lost or kept items");
  return secs;
}

// One store holding the most datasets of dirty_counts; for each count, that many of them get one
// write and the one tick that flushes them is timed. The store's schedule reads a clock that
// stands still and flushes on every tick (a zero interval), so that tick runs the flush alone.
std::vector<TickRun> time_ticks(const std::vector<std::size_t>& dirty_counts, const stdfs::path& dir) {
  std::vector<TickRun> runs;
  if (dirty_counts.empty()) return runs;
  StoreConfig config = bench_config(false);
  config.flush_interval = quelvane::Duration{};
  const quelvane::Instant opened = Clock::now();
  const quelvane::bg::Clocks still{[opened] { return opened; }, [] { return std::int64_t{12 * 3600}; }};
  auto store = value_or_die(Store::open(dir, config, still), "open");
  std::vector<quelvane::Dataset> datasets;
  for (std::size_t i = 0; i < dirty_counts.back(); ++i)
    datasets.push_back(value_or_die(store->create_dataset(name_of(i), type_of(i)), "create_dataset"));
  value_or_die(store->tick_background_tasks(), "tick");  // what the creates left dirty
  const std::uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::int64_t ts = kFirstTimestamp;
  for (std::size_t dirty : dirty_counts) {
    for (std::size_t i = 0; i < dirty; ++i) check_ok(datasets[i].write(ts, payload), "write");
    ++ts;
    const auto t0 = Clock::now();
    const quelvane::bg::Tick tick = value_or_die(store->tick_background_tasks(), "tick");
    const double secs = secs_since(t0);
    if (tick.tasks_run != 1) die(kQuelvaneName, "the timed tick ran another task than the flush");
    runs.push_back({dirty, secs, time_queue_part(dirty)});
  }
  datasets.clear();
  store.reset();
  return runs;
}

}  // namespace

StoreRun run_store(std::size_t creates, std::size_t datasets, std::size_t journal_records, int open_rounds,
                   const std::vector<std::size_t>& dirty_counts, const stdfs::path& dir) {
  StoreRun run;
  std::error_code ec;
  for (const char* sub : {"creates", "floor", "empty", "datasets", "full", "ticks"})
    stdfs::create_directories(dir / sub, ec);
  run.create_secs = time_creates(creates, dir / "creates");
  run.create_floor_secs = time_create_floor(creates, dir / "floor");
  stdfs::remove_all(dir / "creates", ec);
  stdfs::remove_all(dir / "floor", ec);

  open_store(dir / "empty").reset();  // its .lock and journal directories exist from here on
  const auto t0 = Clock::now();
  fill(datasets, 0, dir / "datasets");
  fill(datasets, journal_records, dir / "full");
  run.fill_secs = secs_since(t0);
  // Taken in turn, so that none profits from a warmer cache.
  for (int r = 0; r < open_rounds; ++r) {
    run.open_empty_us.push_back(open_close_us(dir / "empty"));
    run.open_datasets_us.push_back(open_close_us(dir / "datasets"));
    run.open_full_us.push_back(open_close_us(dir / "full"));
  }
  run.ticks = time_ticks(dirty_counts, dir / "ticks");
  stdfs::remove_all(dir / "ticks", ec);
  return run;
}

}  // namespace bench
