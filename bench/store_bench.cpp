#include "store_bench.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>

#include "peers/peer.h"
#include "peers/quelvane_peer.h"
#include "bg/mod.h"
#include "config.h"
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
void make_plain_datasets(std::size_t creates, const stdfs::path& dir) {
  namespace fs = quelvane::fs;
  const std::vector<std::uint8_t> meta(90, 1), state(64, 0);
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
}

double time_create_floor(std::size_t creates, const stdfs::path& dir) {
  const auto t0 = Clock::now();
  make_plain_datasets(creates, dir);
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

// Each block one record, so that the cache fills with few writes and reads: a record this long
// leaves no room for another in its 64 KiB block, which is sealed by the next write.
constexpr std::size_t kBlockRecordLen = 65'000;
constexpr std::uint64_t kCacheEntryOverhead = 96;

// Opens the datasets 0..count-1 (untimed), then closes each of them (timed).
double time_closing(Store& store, std::size_t count) {
  std::vector<quelvane::Dataset> opened;
  opened.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    opened.push_back(value_or_die(store.open_dataset(name_of(i), type_of(i)), "open_dataset"));
  const auto t0 = Clock::now();
  for (quelvane::Dataset& ds : opened) check_ok(ds.close(), "close");
  return secs_since(t0);
}

// The store's cache, at its default budget, filled by reading the sealed blocks of one dataset
// (as many as the budget holds without an eviction), which stays open while `closes` other
// datasets are closed; the same closes beside the empty cache first.
CloseRun time_closes(std::size_t closes, const stdfs::path& dir) {
  CloseRun run;
  run.closes = closes;
  auto store = open_store(dir, false);
  for (std::size_t i = 0; i < closes; ++i)
    check_ok(value_or_die(store->create_dataset(name_of(i), type_of(i)), "create_dataset").close(), "close");
  run.empty_cache_secs = time_closing(*store, closes);

  quelvane::DataSetConfigBuilder big(false);
  big.data_segment_size = 256 << 20;
  big.initial_data_segment_size = 1 << 20;
  big.index_segment_size = 1 << 20;
  big.initial_index_segment_size = 64 << 10;
  quelvane::Dataset filler = value_or_die(store->create_dataset("cache-filler", "blocks", big), "create_dataset");
  const std::uint64_t cost = kBlockRecordLen + kRecordHeader + kCacheEntryOverhead;
  run.cached_blocks = static_cast<std::size_t>(quelvane::defaults::kCacheMaxMemory / cost);
  std::vector<std::uint8_t> record(kBlockRecordLen);
  for (std::size_t i = 0; i <= run.cached_blocks; ++i) {  // the last one stays in the open block
    const std::int64_t ts = kFirstTimestamp + static_cast<std::int64_t>(i);
    fill_payload(i, ts, record);
    check_ok(filler.write(ts, record), "write");
  }
  for (std::size_t i = 0; i < run.cached_blocks; ++i) {
    const auto got = value_or_die(filler.read(kFirstTimestamp + static_cast<std::int64_t>(i)), "read");
    if (!got || got->second.size() != kBlockRecordLen) die(kQuelvaneName, "a block of the cache filler reads wrong");
  }
  run.full_cache_secs = time_closing(*store, closes);
  const auto t0 = Clock::now();
  check_ok(filler.close(), "close");
  run.own_close_secs = secs_since(t0);
  return run;
}

// Names of 100 types each, laid out with plain calls (the listing reads directories alone); up to
// 32 names are listed, one call each, and the median call is kept.
TypesRun time_types(std::size_t datasets, const stdfs::path& dir) {
  make_plain_datasets(datasets, dir);
  auto store = open_store(dir, false);
  const std::size_t names = (datasets + 99) / 100;
  const std::size_t step = std::max<std::size_t>(1, names / 32);
  std::vector<double> calls;
  for (std::size_t n = 0; n < names; n += step) {
    const std::size_t first = n * 100;
    const auto t0 = Clock::now();
    const std::vector<std::string> types = value_or_die(store->get_dataset_types(name_of(first)), "get_dataset_types");
    calls.push_back(secs_since(t0) * 1e6);
    if (types.size() != std::min<std::size_t>(100, datasets - first)) die(kQuelvaneName, "a name lists other types");
  }
  std::sort(calls.begin(), calls.end());
  return {datasets, calls[calls.size() / 2]};
}

}  // namespace

StoreRun run_store(const StoreSizes& sizes, const stdfs::path& dir) {
  StoreRun run;
  std::error_code ec;
  for (const char* sub : {"creates", "floor", "empty", "datasets", "full", "ticks", "closes"})
    stdfs::create_directories(dir / sub, ec);
  run.create_secs = time_creates(sizes.creates, dir / "creates");
  run.create_floor_secs = time_create_floor(sizes.creates, dir / "floor");
  stdfs::remove_all(dir / "creates", ec);
  stdfs::remove_all(dir / "floor", ec);

  open_store(dir / "empty").reset();  // its .lock and journal directories exist from here on
  const auto t0 = Clock::now();
  fill(sizes.datasets, 0, dir / "datasets");
  fill(sizes.datasets, sizes.journal_records, dir / "full");
  run.fill_secs = secs_since(t0);
  // Taken in turn, so that none profits from a warmer cache.
  for (int r = 0; r < sizes.open_rounds; ++r) {
    run.open_empty_us.push_back(open_close_us(dir / "empty"));
    run.open_datasets_us.push_back(open_close_us(dir / "datasets"));
    run.open_full_us.push_back(open_close_us(dir / "full"));
  }
  for (const char* sub : {"empty", "datasets", "full"}) stdfs::remove_all(dir / sub, ec);
  run.ticks = time_ticks(sizes.dirty_counts, dir / "ticks");
  stdfs::remove_all(dir / "ticks", ec);
  if (sizes.closes > 0) run.closes = time_closes(sizes.closes, dir / "closes");
  stdfs::remove_all(dir / "closes", ec);
  for (std::size_t datasets : sizes.type_list_datasets) {
    const stdfs::path sub = dir / ("types-" + std::to_string(datasets));
    stdfs::create_directories(sub, ec);
    run.types.push_back(time_types(datasets, sub));
    stdfs::remove_all(sub, ec);
  }
  return run;
}

}  // namespace bench
