#include "journal_bench.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "compress.h"
#include "cache.h"
#include "config.h"
#include "dataset.h"
#include "journal/log.h"
#include "journal/queue.h"
#include "peers/peer.h"
#include "peers/quelvane_peer.h"
#include "util/bytes.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double secs_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The benchmark's dataset, in dir, with the journal's hook when one is given.
quelvane::Dataset make_dataset(const std::filesystem::path& dir, std::shared_ptr<quelvane::Journal> journal) {
  quelvane::DataSetConfig config;
  config.enable_journal = journal != nullptr;
  quelvane::Dataset dataset =
      value_or_die(quelvane::Dataset::create({"bench", "records"}, dir / "bench" / "records", config), "create");
  check_ok(dataset.set_identifier(1), "set_identifier");
  quelvane::DatasetContext context;
  context.block_cache = std::make_shared<quelvane::BlockCache>(quelvane::defaults::kCacheMaxMemory);
  context.journal_hook = std::move(journal);
  check_ok(dataset.attach_context(std::move(context)), "attach_context");
  return dataset;
}

double write_stream(quelvane::Dataset& dataset, const RecordStream& stream) {
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < stream.count(); ++i) check_ok(dataset.write(stream.ts(i), stream.data(i)), "write");
  const double secs = secs_since(t0);
  check_ok(dataset.close(), "close");
  return secs;
}

// What the seals of a journalled load compress: the raw records of every sequence, in blocks
// of at most 64 KiB, at the store's default level and type.
double compress_journal_blocks(const std::vector<quelvane::JournalRecordData>& records) {
  std::vector<std::vector<std::uint8_t>> blocks(1);
  for (const auto& [seq, data] : records) {
    if (blocks.back().size() + 12 + data.size() > quelvane::JournalSegment::kMaxPendingPayload) blocks.emplace_back();
    auto& b = blocks.back();
    const std::size_t at = b.size();
    b.resize(at + 12 + data.size());
    quelvane::bytes::store_le<std::uint32_t>(b.data() + at, static_cast<std::uint32_t>(data.size()));
    quelvane::bytes::store_le<std::int64_t>(b.data() + at + 4, seq);
    std::copy(data.begin(), data.end(), b.begin() + static_cast<std::ptrdiff_t>(at + 12));
  }
  const auto t0 = Clock::now();
  std::size_t out = 0;
  for (const auto& b : blocks)
    out += value_or_die(quelvane::compress::compress(b, quelvane::defaults::kCompressLevel,
                                                     quelvane::defaults::kCompressType),
                        "compress")
               .size();
  const double secs = secs_since(t0);
  if (out == 0) die(kQuelvaneName, "the journal's blocks compressed to nothing");
  return secs;
}

}  // namespace

JournalRun run_journal(const RecordStream& stream, std::size_t reads, const std::filesystem::path& dir) {
  JournalRun run;
  // The unjournalled load runs before and after the journalled one and counts with the mean of
  // both, so that neither side pays alone for what the machine does meanwhile.
  auto plain_load = [&](const char* name) {
    quelvane::Dataset plain = make_dataset(dir / name, nullptr);
    return write_stream(plain, stream);
  };
  const double plain_before = plain_load("plain-before");

  quelvane::StoreConfig config;  // the default sizes and compression a store gives its journal
  auto journal = value_or_die(quelvane::Journal::open(dir / "journalled", config), "open the journal");
  auto queue = value_or_die(journal->open_queue(), "open the journal queue");
  // Opened first, so that the group starts at sequence 0 and will receive every record.
  auto consumer = value_or_die(queue->open_consumer("bench", 0, 3), "open_consumer");
  {
    quelvane::Dataset journalled = make_dataset(dir / "journalled", journal);
    run.journal_write_secs = write_stream(journalled, stream);
  }
  run.plain_write_secs = (plain_before + plain_load("plain-after")) / 2;
  const auto latest = value_or_die(journal->latest_sequence(), "latest_sequence");
  if (latest != static_cast<std::int64_t>(stream.count()))
    die(kQuelvaneName, "the journal holds another number of records than were written");

  std::mt19937_64 rng(42);
  std::uniform_int_distribution<std::int64_t> pick(1, *latest);
  std::uint64_t seen = 0;
  auto t0 = Clock::now();
  for (std::size_t i = 0; i < reads; ++i) {
    const std::int64_t seq = pick(rng);
    auto record = value_or_die(journal->read(seq), "journal read");
    if (!record || record->first != seq) die(kQuelvaneName, "a journal read missed its sequence");
    seen += record->second.size();
  }
  run.read_secs = secs_since(t0);

  t0 = Clock::now();
  const auto all = value_or_die(journal->query(1, std::numeric_limits<std::int64_t>::max()), "journal query");
  run.query_secs = secs_since(t0);
  if (all.size() != stream.count()) die(kQuelvaneName, "the journal query missed records");
  run.record_compress_secs = compress_journal_blocks(all);

  t0 = Clock::now();
  std::size_t drained = 0;
  while (auto record = value_or_die(consumer.try_poll(), "journal try_poll")) {
    check_ok(consumer.ack(record->first), "journal ack");
    ++drained;
  }
  run.drain_secs = secs_since(t0);
  if (drained != stream.count() || seen == 0) die(kQuelvaneName, "the journal group missed records");
  check_ok(queue->close(), "close the journal queue");
  check_ok(journal->flush(), "flush the journal");
  return run;
}

}  // namespace bench
