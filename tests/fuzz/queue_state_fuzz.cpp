// A consumer group's state file: the load refuses a damaged file and leaves it exactly as it
// was; a file that loads takes deliveries, acknowledgements, redeliveries and a sync, and what
// it synced loads again the same.
#include <algorithm>
#include <optional>

#include "fuzz.h"
#include "queue/state.h"

namespace quelvane::fuzz {

std::vector<Bytes> fuzz_seeds() {
  std::vector<Bytes> seeds;
  for (int shape = 0; shape < 3; ++shape) {
    const fs::Path dir = fresh_dir("seeds");
    auto state = unwrap(QueueState::open_or_create(dir / "group", 100), "create a seed group");
    const int n = shape == 0 ? 0 : shape == 1 ? 5 : static_cast<int>(QueueState::kCapacity);
    for (int i = 0; i < n; ++i) {
      unwrap(state.push_pending({.timestamp = 101 + i, .start_time = 1700000000 + i, .status = 0,
                                 .retry_count = std::uint8_t(i % 3)}),
             "deliver in a seed group");
    }
    if (n > 2) unwrap(state.acknowledge(102), "acknowledge in a seed group");
    unwrap(state.sync(), "sync a seed group");
    seeds.push_back(file_bytes(dir / "group"));
  }
  return seeds;
}

}  // namespace quelvane::fuzz

using namespace quelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::Path dir = fuzz::fresh_dir("queue");
  const fs::Path path = dir / "group";
  const fuzz::Bytes input(data, data + size);
  fuzz::put_file(path, input);
  auto loaded = QueueState::open_or_create(path, 0);
  if (!loaded) {
    fuzz::check(fuzz::file_bytes(path) == input, "a refused group file is left as it was");
    return 0;
  }
  QueueState& state = *loaded;
  const auto entries = state.pending();
  for (std::size_t k = 1; k < entries.size(); ++k)
    fuzz::check(entries[k - 1].timestamp < entries[k].timestamp, "loaded entries are in increasing position order");
  if (!entries.empty()) (void)state.acknowledge(entries.front().timestamp);
  (void)state.take_redelivery(1, 3, 1800000000);
  (void)state.take_redelivery(0, 0, 0);
  // A new delivery comes after every listed position, as the queue makes them.
  std::optional<std::int64_t> next = state.next_new_position();
  if (next && !state.pending().empty()) {
    const std::int64_t last = state.pending().back().timestamp;
    next = last < INT64_MAX ? std::optional(std::max(*next, last + 1)) : std::nullopt;
  }
  if (next) (void)state.push_pending({.timestamp = *next, .start_time = 1700000000, .status = 0, .retry_count = 0});
  state.clear_in_flight();
  (void)state.trim_done();
  fuzz::unwrap(state.sync(), "sync a loaded group");

  const std::int64_t watermark = state.processed_ts();
  const std::vector<DatasetQueueConsumerPendingEntry> kept(state.pending().begin(), state.pending().end());
  auto again = QueueState::open_or_create(path, 0);
  fuzz::check(again && again->processed_ts() == watermark &&
                  std::equal(kept.begin(), kept.end(), again->pending().begin(), again->pending().end()),
              "a synced group loads again as it was");
  return 0;
}
