// The main job: opens a store, then stores, reads, queries and consumes records of one of its
// datasets.
//   quickstart <data directory>
#include <bit>
#include <cstdio>
#include <string>
#include <string_view>

#include "dataset.h"
#include "queue/mod.h"
#include "store/store.h"

namespace {

using namespace quelvane;

std::span<const std::uint8_t> bytes_of(std::string_view s) { return bytes::as_bytes(s); }

std::string text_of(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

template <class T>
T must(Result<T> r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().display().c_str());
    std::exit(1);
  }
  if constexpr (!std::is_void_v<T>) return std::move(r).value();
}

int run(const fs::Path& data_dir) {
  // The store owns the directory: its writer lock, the shared block cache, the journal and the
  // background flushing all come with it.
  std::unique_ptr<Store> store = must(Store::open(data_dir, StoreConfig{}), "open store");
  auto opened = store->open_dataset("sensors", "temperature");
  Dataset ds = opened                                        ? std::move(opened).value()
               : opened.error().kind() != ErrorKind::NotFound ? must(std::move(opened), "open dataset")
                                                              : must(store->create_dataset("sensors", "temperature"),
                                                                     "create dataset");
  std::printf("dataset identifier %llu\n", static_cast<unsigned long long>(ds.identifier()));

  // Store: one reading a minute, then a correction of the latest and an out-of-order fix.
  const std::int64_t start = ds.latest_timestamp().value_or(1'700'000'000) + 60;
  for (int i = 0; i < 1000; ++i) {
    std::string reading = "{\"celsius\":" + std::to_string(18 + i % 7) + "." + std::to_string(i % 10) + "}";
    must(ds.write(start + 60 * i, bytes_of(reading)), "write");
  }
  const std::int64_t last = start + 60 * 999;
  must(ds.write(last, bytes_of("{\"celsius\":21.5}")), "correct latest");
  must(ds.write(start + 60, bytes_of("{\"celsius\":19.9}")), "replace older");
  must(ds.delete_record(start + 120), "delete");

  // Read singly, by negative offset from the latest, and by length.
  auto first = must(ds.read(start), "read");
  auto latest = must(ds.read(-1), "read latest");
  std::printf("first  %lld %s\n", static_cast<long long>(first->first), text_of(first->second).c_str());
  std::printf("latest %lld %s\n", static_cast<long long>(latest->first), text_of(latest->second).c_str());
  std::printf("deleted record present: %s\n", must(ds.read_exist(start + 120), "exist") ? "yes" : "no");

  // Query a range forwards (lazily), backwards, and as an existence bitmap.
  QueryState q = must(ds.query(start, start + 60 * 4), "query");
  while (auto rec = must(q.next_record(), "query step"))
    std::printf("  fwd %lld %s\n", static_cast<long long>(rec->first), text_of(rec->second).c_str());
  QueryState back = must(ds.query(last - 60 * 2, last), "query");
  back.reverse();
  for (auto& rec : must(back.collect_records(), "collect"))
    std::printf("  back %lld %s\n", static_cast<long long>(rec.first), text_of(rec.second).c_str());
  // One bit per timestamp of the range: readings are a minute apart, so most bits are clear.
  auto bitmap = must(ds.query_exist(start, start + 60 * 7), "exist bitmap");
  int present = 0;
  for (std::uint8_t byte : bitmap) present += std::popcount(byte);
  std::printf("records among the %d timestamps of the first 8 minutes: %d\n", 60 * 7 + 1, present);

  // Consume: a consumer group receives what is pushed, acknowledges it and resumes after restarts.
  DatasetQueue queue = must(DatasetQueue::open(ds), "open queue");
  DatasetQueueConsumer consumer =
      must(queue.open_consumer("alerts", ConsumerGroupConfig{.running_expired_seconds = 900, .max_retry_count = 3}),
           "open consumer");
  must(queue.push(bytes_of("{\"celsius\":35.0,\"alert\":true}")), "push");
  int delivered = 0;
  while (auto rec = must(consumer.try_poll(), "poll")) {
    ++delivered;
    must(consumer.ack(rec->first), "ack");
  }
  std::printf("consumer group 'alerts' received %d records\n", delivered);
  must(consumer.close(), "close consumer");
  must(queue.close(), "close queue");

  auto info = must(ds.inspect(), "inspect");
  std::printf("records %llu, data bytes %llu, raw bytes %llu, segments %u\n",
              static_cast<unsigned long long>(info.state.total_record_count),
              static_cast<unsigned long long>(info.state.total_data_size),
              static_cast<unsigned long long>(info.state.total_uncompressed_size), info.state.data_segments);
  must(ds.close(), "close dataset");
  auto names = must(store->get_dataset_names(), "list datasets");
  std::printf("datasets in the store: %zu\n", names.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <data directory>\n", argv[0]);
    return 2;
  }
  return run(argv[1]);
}
