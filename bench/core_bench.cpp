// Single-threaded comparison of the store with LMDB, RocksDB and SQLite on one workload, and
// with the zstd floor: in-order loads of 100-byte and 1,000-byte records, a full forward scan,
// warm random point reads and the size on disk, each engine on a fresh directory.
// With --queue, the dataset queue's figures instead: push, poll and acknowledge throughput of one
// consumer group, the time from a push to a poll blocked on another thread returning, and a poll
// over a 1M-slot gap and over a 200k deleted tail against query_all over the same slots.
// With --store, the store's: create_dataset throughput against the bare file operations of a
// create, the open and close of a store holding many datasets and a long journal against an
// empty one, one background flush tick over 1,000, 4,000 and 16,000 dirty datasets, closing
// 4,000 datasets beside an empty and a full block cache, and get_dataset_types of one name
// among 1,000 and 20,000 datasets.
// With --journal, the journal's: one dataset's write throughput without and with the journal
// (100- and 1,000-byte records) against the compression of the journal's own records, reads of
// random sequences, one query of the whole journal, and a journal-queue group's poll and ack.
//
//   core_bench [--records-scale F] [--repeat N] [--engines a,b] [--sizes 100,1000] [--dir PARENT]
//   core_bench --queue [--records-scale F] [--repeat N] [--dir PARENT]
//   core_bench --store [--records-scale F] [--repeat N] [--dir PARENT]
//   core_bench --journal [--records-scale F] [--repeat N] [--sizes 100,1000] [--dir PARENT]

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "floor.h"
#include "peers/peer.h"
#include "workload.h"
#ifdef QV_BENCH_QUELVANE
#include "peers/quelvane_peer.h"
#endif
#ifdef QV_BENCH_QUEUE
#include "queue_bench.h"
#endif
#ifdef QV_BENCH_STORE
#include "store_bench.h"
#endif
#ifdef QV_BENCH_JOURNAL
#include "journal_bench.h"
#endif
#ifdef QV_BENCH_LMDB
#include "peers/lmdb_peer.h"
#endif
#ifdef QV_BENCH_ROCKSDB
#include "peers/rocksdb_peer.h"
#endif
#ifdef QV_BENCH_SQLITE
#include "peers/sqlite_peer.h"
#endif

namespace bench {

namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kZstdLevel = 6;
constexpr std::size_t kVerifiedReads = 2000;

struct Engine {
  std::string_view name;
  std::function<std::unique_ptr<Peer>()> make;
};

std::vector<Engine> built_engines() {
  std::vector<Engine> e;
#ifdef QV_BENCH_QUELVANE
  e.push_back({kQuelvaneName, make_quelvane_peer});
  e.push_back({kQuelvaneViewName, make_quelvane_view_peer});
#endif
#ifdef QV_BENCH_LMDB
  e.push_back({"lmdb", make_lmdb_peer});
#endif
#ifdef QV_BENCH_ROCKSDB
  e.push_back({"rocksdb", make_rocksdb_peer});
#endif
#ifdef QV_BENCH_SQLITE
  e.push_back({"sqlite", make_sqlite_peer});
#endif
  return e;
}

struct Workload {
  std::size_t records;
  std::size_t payload;
  std::size_t reads;
};

struct Options {
  double scale = 1.0;
  int repeat = 1;
  std::vector<std::string> engines;  // empty: every engine built
  std::vector<std::size_t> sizes{100, 1000};
  stdfs::path parent;
  bool queue = false;
  bool store = false;
  bool journal = false;
};

// ---- the temporary root, removed on every exit path that runs exit handlers

stdfs::path g_root;

void remove_root() {
  if (g_root.empty()) return;
  std::error_code ec;
  stdfs::remove_all(g_root, ec);
  g_root.clear();
}

stdfs::path make_root(const stdfs::path& parent) {
  std::string tmpl = (parent / "quelvane-bench-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) die("bench", "cannot create a temporary directory under " + parent.string());
  g_root = tmpl;
  std::atexit(remove_root);
  return g_root;
}

stdfs::path fresh_dir(const std::string& name) {
  stdfs::path dir = g_root / name;
  std::error_code ec;
  stdfs::remove_all(dir, ec);
  if (!stdfs::create_directories(dir, ec) || ec) die("bench", "cannot create " + dir.string());
  return dir;
}

struct DiskUse {
  std::uint64_t allocated = 0;  // blocks the files hold (what du reports)
  std::uint64_t apparent = 0;   // sum of file lengths
};

DiskUse disk_use(const stdfs::path& dir) {
  DiskUse u;
  std::error_code ec;
  for (auto it = stdfs::recursive_directory_iterator(dir, ec); !ec && it != stdfs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      u.allocated += static_cast<std::uint64_t>(st.st_blocks) * 512;
      u.apparent += static_cast<std::uint64_t>(st.st_size);
    }
  }
  if (ec) die("bench", "cannot measure " + dir.string() + ": " + ec.message());
  return u;
}

// ---- one engine through the workload

struct Times {
  double write = 0;
  double scan = 0;
  double read = 0;
  DiskUse disk;
};

double secs_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Expected {
  Digest scan;
  Digest reads;
};

Times run_engine(const Engine& engine, const RecordStream& stream, const std::vector<std::int64_t>& reads,
                 const Expected& want, const stdfs::path& dir) {
  std::unique_ptr<Peer> peer = engine.make();
  peer->open(dir);
  Times t;

  auto t0 = Clock::now();
  for (std::size_t i = 0; i < stream.count(); ++i) peer->put(stream.ts(i), stream.data(i));
  peer->finish_load();
  t.write = secs_since(t0);

  Digest scanned;
  t0 = Clock::now();
  peer->scan(scanned);
  t.scan = secs_since(t0);
  if (!(scanned == want.scan))
    die(engine.name, "the scan returned other records than were written (" + std::to_string(scanned.count()) + " of " +
                         std::to_string(want.scan.count()) + ")");

  Digest read;
  t0 = Clock::now();
  for (std::int64_t ts : reads)
    if (!peer->get(ts, read)) die(engine.name, "a written record was not found at " + std::to_string(ts));
  t.read = secs_since(t0);
  if (!(read == want.reads)) die(engine.name, "point reads returned other payloads than were written");

  // Untimed: every byte of a sample of records, the first and the last included.
  Verifier verifier(stream);
  std::size_t n = std::min(kVerifiedReads, reads.size());
  for (std::size_t i = 0; i < n; ++i) peer->get(reads[i], verifier);
  peer->get(stream.ts(0), verifier);
  peer->get(stream.ts(stream.count() - 1), verifier);
  if (verifier.mismatches() != 0 || verifier.seen() != n + 2)
    die(engine.name, std::to_string(verifier.mismatches()) + " records read back differ from what was written");

  peer->close();
  t.disk = disk_use(dir);
  return t;
}

// ---- the table

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The nearest-rank percentile: the smallest sample at or above the fraction p of them.
double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

std::string grouped(double value) {
  auto n = static_cast<unsigned long long>(value + 0.5);
  std::string s = std::to_string(n);
  for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<std::size_t>(i), ",");
  return s;
}

std::string mib(std::uint64_t bytes) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f", static_cast<double>(bytes) / (1 << 20));
  return b;
}

std::string ratio(double x) {
  char b[32];
  std::snprintf(b, sizeof b, "%.2fx", x);
  return b;
}

struct Row {
  std::string name;
  double write_rate = 0, scan_rate = 0, read_rate = 0;  // records per second; 0: not measured
  DiskUse disk;
};

void print_workload(const Workload& w, int repeat, const FloorTimes& floor, double floor_compress_rate,
                    double floor_decompress_rate, const std::vector<Row>& rows) {
  std::printf("\n== %s records of %zu bytes, %s point reads; zstd level %d; median of %d run%s\n",
              grouped(static_cast<double>(w.records)).c_str(), w.payload, grouped(static_cast<double>(w.reads)).c_str(),
              kZstdLevel, repeat, repeat == 1 ? "" : "s");
  std::printf("%-12s %14s %14s %14s %12s %12s\n", "engine", "write rec/s", "scan rec/s", "read rec/s", "disk MiB",
              "files MiB");
  std::printf("%-12s %14s %14s %14s %12s %12s\n", "zstd floor", grouped(floor_compress_rate).c_str(),
              grouped(floor_decompress_rate).c_str(), "-", mib(floor.compressed_bytes).c_str(), "-");
  for (const Row& r : rows)
    std::printf("%-12s %14s %14s %14s %12s %12s\n", r.name.c_str(), grouped(r.write_rate).c_str(),
                grouped(r.scan_rate).c_str(), grouped(r.read_rate).c_str(), mib(r.disk.allocated).c_str(),
                mib(r.disk.apparent).c_str());
  std::printf("(zstd floor: write = compression, scan = decompression of %llu blocks; its size is the compressed "
              "blocks alone; raw stream %s MiB)\n",
              static_cast<unsigned long long>(floor.blocks),
              mib(w.records * (kRecordHeader + w.payload)).c_str());

  auto q = std::find_if(rows.begin(), rows.end(), [](const Row& r) { return r.name == "quelvane"; });
  if (q == rows.end()) return;

  std::printf("\nquelvane / X    %10s %10s %10s %10s\n", "write", "scan", "read", "disk");
  std::printf("%-15s %10s %10s %10s %10s\n", "zstd floor", ratio(q->write_rate / floor_compress_rate).c_str(),
              ratio(q->scan_rate / floor_decompress_rate).c_str(), "-",
              ratio(static_cast<double>(q->disk.allocated) / static_cast<double>(floor.compressed_bytes)).c_str());
  for (const Row& r : rows) {
    if (&r == &*q) continue;
    std::printf("%-15s %10s %10s %10s %10s\n", r.name.c_str(), ratio(q->write_rate / r.write_rate).c_str(),
                ratio(q->scan_rate / r.scan_rate).c_str(), ratio(q->read_rate / r.read_rate).c_str(),
                ratio(static_cast<double>(q->disk.allocated) / static_cast<double>(r.disk.allocated)).c_str());
  }

  std::printf("\ntargets\n");
  auto target = [](const char* what, double got, double need) {
    std::printf("  %-44s %8s  (need %s)  %s\n", what, ratio(got).c_str(), ratio(need).c_str(),
                got >= need ? "met" : "MISSED");
  };
  double wf = q->write_rate / floor_compress_rate;
  target("write vs compression floor", wf, 0.8);
  std::printf("  %-44s %7.0f%%  (need under 25%%)\n", "  cost besides compression, of compression", (1 / wf - 1) * 100);
  target("scan vs decompression floor", q->scan_rate / floor_decompress_rate, 0.65);
  auto view = std::find_if(rows.begin(), rows.end(), [](const Row& r) { return r.name == kQuelvaneViewName; });
  if (view != rows.end()) target("view scan vs decompression floor", view->scan_rate / floor_decompress_rate, 0.65);
  if (w.payload != 100) return;  // the peer targets are set on the 100-byte records
  auto peer = [&](const char* name) {
    auto it = std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return r.name == name; });
    return it == rows.end() ? nullptr : &*it;
  };
  if (const Row* r = peer("rocksdb")) {
    target("write vs rocksdb", q->write_rate / r->write_rate, 2.0);
    target("scan vs rocksdb", q->scan_rate / r->scan_rate, 3.0);
  }
  if (const Row* r = peer("lmdb")) target("warm point reads vs lmdb", q->read_rate / r->read_rate, 1.0);
}

// ---- the run

void run_workload(const Workload& w, const Options& opt, const std::vector<Engine>& engines) {
  std::fprintf(stderr, "generating %zu records of %zu bytes\n", w.records, w.payload);
  RecordStream stream(w.records, w.payload);

  std::mt19937_64 rng(0x51ed2701u + w.payload);
  std::uniform_int_distribution<std::size_t> pick(0, w.records - 1);
  std::vector<std::int64_t> reads(w.reads);
  for (auto& ts : reads) ts = stream.ts(pick(rng));

  Expected want;
  for (std::size_t i = 0; i < stream.count(); ++i) want.scan.take(stream.ts(i), stream.data(i));
  for (std::int64_t ts : reads) want.reads.take(ts, stream.data(stream.index_of(ts)));

  std::vector<double> fc, fd;
  FloorTimes floor;
  std::vector<std::vector<Times>> runs(engines.size());
  for (int rep = 0; rep < opt.repeat; ++rep) {
    std::fprintf(stderr, "run %d: zstd floor\n", rep + 1);
    floor = run_floor(stream, kZstdLevel);
    fc.push_back(floor.compress_secs);
    fd.push_back(floor.decompress_secs);
    for (std::size_t e = 0; e < engines.size(); ++e) {
      std::fprintf(stderr, "run %d: %.*s\n", rep + 1, static_cast<int>(engines[e].name.size()), engines[e].name.data());
      stdfs::path dir = fresh_dir(std::string(engines[e].name) + "-" + std::to_string(w.payload));
      runs[e].push_back(run_engine(engines[e], stream, reads, want, dir));
      std::error_code ec;
      stdfs::remove_all(dir, ec);
    }
  }

  auto n = static_cast<double>(w.records);
  auto nr = static_cast<double>(w.reads);
  std::vector<Row> rows;
  for (std::size_t e = 0; e < engines.size(); ++e) {
    std::vector<double> wr, sc, rd;
    for (const Times& t : runs[e]) {
      wr.push_back(t.write);
      sc.push_back(t.scan);
      rd.push_back(t.read);
    }
    rows.push_back({std::string(engines[e].name), n / median(wr), n / median(sc), nr / median(rd),
                    runs[e].back().disk});
  }
  print_workload(w, opt.repeat, floor, n / median(fc), n / median(fd), rows);
}

#ifdef QV_BENCH_QUEUE
constexpr std::size_t kQueuePayload = 100;

void run_queue_workload(std::size_t records, std::size_t wakes, std::size_t gap, std::size_t tail,
                        const Options& opt) {
  std::fprintf(stderr, "generating %zu records of %zu bytes\n", records, kQueuePayload);
  RecordStream stream(records, kQueuePayload);

  std::vector<QueueRun> runs;
  for (int rep = 0; rep < opt.repeat; ++rep) {
    std::fprintf(stderr, "run %d: queue\n", rep + 1);
    stdfs::path dir = fresh_dir("queue");
    runs.push_back(run_queue(stream, wakes, dir));
    std::error_code ec;
    stdfs::remove_all(dir, ec);
  }

  std::printf("\n== dataset queue, one group: %s records of %zu bytes pushed, then polled and acknowledged; "
              "%s wake-ups of a blocked poll; default options\n",
              grouped(static_cast<double>(records)).c_str(), kQueuePayload,
              grouped(static_cast<double>(wakes)).c_str());
  std::printf("%-8s %14s %16s %20s %15s %12s\n", "run", "push rec/s", "poll+ack rec/s", "push+poll+ack rec/s",
              "wake median us", "wake p99 us");
  auto n = static_cast<double>(records);
  std::vector<double> push, drain, cycle, wake_median, wake_p99;
  auto row = [](const std::string& name, double p, double d, double c, double wm, double wp) {
    std::printf("%-8s %14s %16s %20s %15.1f %12.1f\n", name.c_str(), grouped(p).c_str(), grouped(d).c_str(),
                grouped(c).c_str(), wm, wp);
  };
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const QueueRun& r = runs[i];
    push.push_back(n / r.push_secs);
    drain.push_back(n / r.drain_secs);
    cycle.push_back(n / (r.push_secs + r.drain_secs));
    wake_median.push_back(median(r.wake_us));
    wake_p99.push_back(percentile(r.wake_us, 0.99));
    row(std::to_string(i + 1), push.back(), drain.back(), cycle.back(), wake_median.back(), wake_p99.back());
  }
  if (runs.size() > 1)
    row("median", median(push), median(drain), median(cycle), median(wake_median), median(wake_p99));
  std::printf("(push+poll+ack: every record pushed, then every record polled and acknowledged; wake: from just "
              "before a push until the poller blocked in poll() has the record, on its own thread)\n");

  constexpr int kGapPolls = 21;
  std::vector<GapRun> gaps;
  for (int rep = 0; rep < opt.repeat; ++rep) {
    std::fprintf(stderr, "run %d: queue gaps\n", rep + 1);
    stdfs::path dir = fresh_dir("queue-gaps");
    gaps.push_back(run_queue_gaps(gap, tail, kGapPolls, dir));
    std::error_code ec;
    stdfs::remove_all(dir, ec);
  }
  std::printf("\n== dataset queue: a poll that finds nothing while the group's watermark lies below a run of empty "
              "slots (median of %d polls), against query_all over the same slots; default options\n",
              kGapPolls);
  std::printf("%-36s %10s %16s %8s\n", "empty slots", "poll ms", "query_all ms", "ratio");
  auto gap_row = [&](const std::string& what, double GapRun::*poll, double GapRun::*query) {
    std::vector<double> p, q;
    for (const GapRun& g : gaps) {
      p.push_back(g.*poll);
      q.push_back(g.*query);
    }
    std::printf("%-36s %10.3f %16.3f %8.2f\n", what.c_str(), median(p), median(q), median(p) / median(q));
  };
  gap_row(grouped(static_cast<double>(gap)) + " placeholders (continuous gap)", &GapRun::gap_poll_ms,
          &GapRun::gap_query_ms);
  gap_row(grouped(static_cast<double>(tail)) + " deleted records (sparse tail)", &GapRun::tail_poll_ms,
          &GapRun::tail_query_ms);
  std::printf("(ratio: poll / query_all; query_all passes over empty slots without reading them one by one)\n");
}
#endif

#ifdef QV_BENCH_STORE
void run_store_workload(const StoreSizes& sizes, const Options& opt) {
  const std::size_t creates = sizes.creates, datasets = sizes.datasets, journal_records = sizes.journal_records;
  const int kOpenRounds = sizes.open_rounds;
  const std::vector<std::size_t>& dirty_counts = sizes.dirty_counts;
  std::vector<StoreRun> runs;
  for (int rep = 0; rep < opt.repeat; ++rep) {
    std::fprintf(stderr, "run %d: store\n", rep + 1);
    stdfs::path dir = fresh_dir("store");
    runs.push_back(run_store(sizes, dir));
    std::error_code ec;
    stdfs::remove_all(dir, ec);
  }
  std::printf("\n== store: %s create_dataset calls on a fresh store; open then close of a store with %s datasets, "
              "and of one that also holds a journal of %s records, against an empty store (fastest of %d rounds "
              "each, taken in turn: the machine's other load only ever adds; without the worker thread, whose start and "
              "join every store pays alike); small segments\n",
              grouped(static_cast<double>(creates)).c_str(), grouped(static_cast<double>(datasets)).c_str(),
              grouped(static_cast<double>(journal_records)).c_str(), kOpenRounds);
  std::printf("%-8s %10s %13s %7s %10s %12s %7s %14s %7s\n", "run", "create/s", "file floor/s", "ratio", "empty us",
              "datasets us", "ratio", "+journal us", "ratio");
  auto row = [](const std::string& name, double c, double f, double empty, double ds, double full) {
    std::printf("%-8s %10s %13s %7.2f %10.0f %12.0f %7.2f %14.0f %7.2f\n", name.c_str(), grouped(c).c_str(),
                grouped(f).c_str(), c / f, empty, ds, ds / empty, full, full / empty);
  };
  const auto n = static_cast<double>(creates);
  std::vector<double> create, floor_rate, empty, ds, full;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    create.push_back(n / runs[i].create_secs);
    floor_rate.push_back(n / runs[i].create_floor_secs);
    empty.push_back(*std::min_element(runs[i].open_empty_us.begin(), runs[i].open_empty_us.end()));
    ds.push_back(*std::min_element(runs[i].open_datasets_us.begin(), runs[i].open_datasets_us.end()));
    full.push_back(*std::min_element(runs[i].open_full_us.begin(), runs[i].open_full_us.end()));
    row(std::to_string(i + 1), create.back(), floor_rate.back(), empty.back(), ds.back(), full.back());
  }
  if (runs.size() > 1) row("median", median(create), median(floor_rate), median(empty), median(ds), median(full));
  std::printf("(file floor: the directories, meta, state and identifier files and the max_identifier rewrite of "
              "each create, made with plain calls; ratios: store / floor, and open+close / the empty store's)\n");

  std::printf("\n== store: one background flush tick over N dirty datasets (one write each; two dirty segments "
              "each), against the tick over the fewest; median of %d runs\n",
              opt.repeat);
  std::printf("%10s %12s %14s %10s %15s %16s\n", "dirty", "tick ms", "us/dataset", "tick x", "queue part ms",
              "queue us/dataset");
  auto medians = [&](std::size_t k) {
    std::vector<double> tick, queue;
    for (const StoreRun& r : runs) {
      tick.push_back(r.ticks[k].tick_secs);
      queue.push_back(r.ticks[k].queue_secs);
    }
    return std::pair{median(tick), median(queue)};
  };
  const double tick0 = medians(0).first;
  for (std::size_t k = 0; k < dirty_counts.size(); ++k) {
    const auto [tick, queue] = medians(k);
    const auto n = static_cast<double>(dirty_counts[k]);
    std::printf("%10s %12.2f %14.2f %10.2f %15.3f %16.3f\n", grouped(n).c_str(), tick * 1e3, tick / n * 1e6,
                tick / tick0, queue * 1e3, queue / n * 1e6);
  }
  std::printf("(tick: the whole flush task, the syncs of every dirty segment and the journal included; queue part: "
              "the dirty-target queue's share of it (its keys, then each key's targets taken) over the same items "
              "on a bare queue; tick x: against the first row, %s dirty datasets; linear growth keeps us/dataset level)\n",
              grouped(static_cast<double>(dirty_counts.front())).c_str());

  const CloseRun& c0 = runs.front().closes;
  std::printf("\n== store: closing %s datasets, each opened just before, beside an empty block cache and beside one "
              "filled to its default budget (%s blocks of another open dataset), then closing that dataset; "
              "median of %d runs\n",
              grouped(static_cast<double>(c0.closes)).c_str(), grouped(static_cast<double>(c0.cached_blocks)).c_str(),
              opt.repeat);
  std::printf("%16s %16s %16s %16s %8s %18s\n", "empty cache ms", "us/close", "full cache ms", "us/close", "ratio",
              "filler close ms");
  std::vector<double> empty_close, full_close, own_close;
  for (const StoreRun& r : runs) {
    empty_close.push_back(r.closes.empty_cache_secs);
    full_close.push_back(r.closes.full_cache_secs);
    own_close.push_back(r.closes.own_close_secs);
  }
  const auto closes = static_cast<double>(c0.closes);
  std::printf("%16.2f %16.2f %16.2f %16.2f %8.2f %18.2f\n", median(empty_close) * 1e3,
              median(empty_close) / closes * 1e6, median(full_close) * 1e3, median(full_close) / closes * 1e6,
              median(full_close) / median(empty_close), median(own_close) * 1e3);
  std::printf("(ratio: full / empty; a close removes its own blocks from the cache, so the other dataset's blocks "
              "should cost the closes nothing; filler close: the close that removes every cached block)\n");

  std::printf("\n== store: get_dataset_types of one name (100 types) in a data directory of N datasets laid out with "
              "plain calls (median call over up to 32 names, median of %d runs)\n",
              opt.repeat);
  std::printf("%10s %12s %10s\n", "datasets", "call us", "call x");
  double types0 = 0;
  for (std::size_t k = 0; k < sizes.type_list_datasets.size(); ++k) {
    std::vector<double> calls;
    for (const StoreRun& r : runs) calls.push_back(r.types[k].call_us);
    const double us = median(calls);
    if (k == 0) types0 = us;
    std::printf("%10s %12.1f %10.2f\n", grouped(static_cast<double>(sizes.type_list_datasets[k])).c_str(), us,
                us / types0);
  }
  std::printf("(call x: against the first row; a call lists its own name's directory, so it should not grow with "
              "the store)\n");
}
#endif

#ifdef QV_BENCH_JOURNAL
void run_journal_workload(std::size_t records, std::size_t payload, std::size_t reads, const Options& opt) {
  std::fprintf(stderr, "generating %zu records of %zu bytes\n", records, payload);
  RecordStream stream(records, payload);
  std::vector<JournalRun> runs;
  for (int rep = 0; rep < opt.repeat; ++rep) {
    std::fprintf(stderr, "run %d: journal, %zu bytes\n", rep + 1, payload);
    stdfs::path dir = fresh_dir("journal-" + std::to_string(payload));
    runs.push_back(run_journal(stream, reads, dir));
    std::error_code ec;
    stdfs::remove_all(dir, ec);
  }
  std::printf("\n== journal: %s records of %zu bytes written to one dataset without and with the journal; %s reads "
              "of random sequences; one query of all; one journal-queue group; default options\n",
              grouped(static_cast<double>(records)).c_str(), payload, grouped(static_cast<double>(reads)).c_str());
  std::printf("%-8s %13s %13s %7s %11s %12s %12s %12s %14s\n", "run", "plain rec/s", "journal rec/s", "ratio",
              "extra us", "compress us", "read rec/s", "query rec/s", "poll+ack rec/s");
  const auto n = static_cast<double>(records);
  std::vector<double> plain, journalled, extra, compress, read, query, drain;
  auto row = [](const std::string& name, double p, double j, double e, double c, double r, double q, double d) {
    std::printf("%-8s %13s %13s %7.2f %11.3f %12.3f %12s %12s %14s\n", name.c_str(), grouped(p).c_str(),
                grouped(j).c_str(), j / p, e, c, grouped(r).c_str(), grouped(q).c_str(), grouped(d).c_str());
  };
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const JournalRun& r = runs[i];
    plain.push_back(n / r.plain_write_secs);
    journalled.push_back(n / r.journal_write_secs);
    extra.push_back((r.journal_write_secs - r.plain_write_secs) / n * 1e6);
    compress.push_back(r.record_compress_secs / n * 1e6);
    read.push_back(static_cast<double>(reads) / r.read_secs);
    query.push_back(n / r.query_secs);
    drain.push_back(n / r.drain_secs);
    row(std::to_string(i + 1), plain.back(), journalled.back(), extra.back(), compress.back(), read.back(),
        query.back(), drain.back());
  }
  if (runs.size() > 1)
    row("median", median(plain), median(journalled), median(extra), median(compress), median(read), median(query),
        median(drain));
  std::printf("(extra us: what the journal adds to one write; compress us: the compression of the journal's records "
              "per write, in 64 KiB blocks, the floor of that cost)\n");
}
#endif

std::vector<std::string> split(std::string_view s) {
  std::vector<std::string> out;
  while (!s.empty()) {
    std::size_t c = s.find(',');
    if (c != 0) out.emplace_back(s.substr(0, c));
    if (c == std::string_view::npos) break;
    s.remove_prefix(c + 1);
  }
  return out;
}

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "%s\nusage: core_bench [--records-scale F] [--repeat N] [--engines quelvane,lmdb,rocksdb,sqlite] "
               "[--sizes 100,1000] [--dir PARENT]\n"
               "       core_bench --queue [--records-scale F] [--repeat N] [--dir PARENT]\n"
               "       core_bench --store [--records-scale F] [--repeat N] [--dir PARENT]\n"
               "       core_bench --journal [--records-scale F] [--repeat N] [--sizes 100,1000] [--dir PARENT]\n",
               why);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  const char* tmp = std::getenv("TMPDIR");
  o.parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    auto value = [&]() -> std::string_view {
      if (i + 1 >= argc) usage("missing value");
      return argv[++i];
    };
    if (a == "--records-scale") {
      char* end = nullptr;
      std::string v(value());
      o.scale = std::strtod(v.c_str(), &end);
      if (end == v.c_str() || *end != '\0' || !(o.scale > 0) || o.scale > 100) usage("bad --records-scale");
    } else if (a == "--repeat") {
      o.repeat = std::atoi(std::string(value()).c_str());
      if (o.repeat < 1 || o.repeat > 99) usage("bad --repeat");
    } else if (a == "--engines") {
      o.engines = split(value());
    } else if (a == "--sizes") {
      o.sizes.clear();
      for (const std::string& s : split(value())) {
        if (s != "100" && s != "1000") usage("--sizes takes 100 and/or 1000");
        o.sizes.push_back(std::stoul(s));
      }
    } else if (a == "--dir") {
      o.parent = std::string(value());
    } else if (a == "--queue") {
      o.queue = true;
    } else if (a == "--store") {
      o.store = true;
    } else if (a == "--journal") {
      o.journal = true;
    } else if (a == "--help" || a == "-h") {
      usage("single-threaded benchmark of the store against its peers and the zstd floor");
    } else {
      usage("unknown argument");
    }
  }
  return o;
}

}  // namespace

[[noreturn]] void die(std::string_view engine, std::string_view what) {
  std::fprintf(stderr, "core_bench: %.*s: %.*s\n", static_cast<int>(engine.size()), engine.data(),
               static_cast<int>(what.size()), what.data());
  std::exit(1);
}

int run(int argc, char** argv) {
  Options opt = parse(argc, argv);
  if (opt.queue) {
#ifdef QV_BENCH_QUEUE
    std::printf("core_bench: dataset queue, records-scale %g\n", opt.scale);
    make_root(opt.parent);
    auto scaled = [&](double n) { return std::max<std::size_t>(1, static_cast<std::size_t>(n * opt.scale)); };
    run_queue_workload(scaled(100'000), scaled(10'000), scaled(1'000'000), scaled(200'000), opt);
    std::fflush(stdout);
    return 0;
#else
    usage("the queue figures are not built");
#endif
  }
  if (opt.store) {
#ifdef QV_BENCH_STORE
    std::printf("core_bench: store, records-scale %g\n", opt.scale);
    make_root(opt.parent);
    auto scaled = [&](double n) { return std::max<std::size_t>(1, static_cast<std::size_t>(n * opt.scale)); };
    StoreSizes sizes;
    sizes.creates = scaled(10'000);
    sizes.datasets = scaled(1'000);
    sizes.journal_records = scaled(1'000'000);
    sizes.open_rounds = 9;
    sizes.dirty_counts = {scaled(1'000), scaled(4'000), scaled(16'000)};
    sizes.closes = scaled(4'000);
    sizes.type_list_datasets = {scaled(1'000), scaled(20'000)};
    run_store_workload(sizes, opt);
    std::fflush(stdout);
    return 0;
#else
    usage("the store figures are not built");
#endif
  }
  if (opt.journal) {
#ifdef QV_BENCH_JOURNAL
    std::printf("core_bench: journal, records-scale %g\n", opt.scale);
    make_root(opt.parent);
    for (std::size_t size : opt.sizes) {
      const double base = size == 100 ? 500'000 : 200'000;
      run_journal_workload(std::max<std::size_t>(1, static_cast<std::size_t>(base * opt.scale)), size,
                           std::max<std::size_t>(1, static_cast<std::size_t>(100'000 * opt.scale)), opt);
    }
    std::fflush(stdout);
    return 0;
#else
    usage("the journal figures are not built");
#endif
  }
  std::vector<Engine> engines;
  for (const Engine& e : built_engines())
    if (opt.engines.empty() || std::find(opt.engines.begin(), opt.engines.end(), e.name) != opt.engines.end())
      engines.push_back(e);
  for (const std::string& want : opt.engines)
    if (std::none_of(engines.begin(), engines.end(), [&](const Engine& e) { return e.name == want; }))
      usage(("engine not built: " + want).c_str());

  std::printf("core_bench: single thread, records-scale %g, engines:", opt.scale);
  for (const Engine& e : engines) std::printf(" %.*s", static_cast<int>(e.name.size()), e.name.data());
  std::printf("\n");
  make_root(opt.parent);

  for (std::size_t size : opt.sizes) {
    std::size_t base = size == 100 ? 1'000'000 : 200'000;
    auto records = std::max<std::size_t>(1, static_cast<std::size_t>(static_cast<double>(base) * opt.scale));
    auto reads = std::max<std::size_t>(1, static_cast<std::size_t>(100'000 * opt.scale));
    run_workload({records, size, reads}, opt, engines);
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace bench

int main(int argc, char** argv) { return bench::run(argc, argv); }
