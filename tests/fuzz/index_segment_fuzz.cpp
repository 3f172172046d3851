// An index segment file: its header, then every search over entries that may be zeroed,
// unsorted or cut short (both index modes), the last-timestamp read the dataset open makes,
// and appends, sentinels and an overwrite into whatever the open accepted.
#include "fuzz.h"
#include "header.h"
#include "index/segment.h"
#include "util/bytes.h"

namespace quelvane::fuzz {

namespace {
constexpr std::int64_t kStart = 1000;
constexpr std::uint64_t kMaxFile = 1 << 16;
}  // namespace

std::vector<Bytes> fuzz_seeds() {
  std::vector<Bytes> seeds;
  for (int shape = 0; shape < 3; ++shape) {
    const fs::Path dir = fresh_dir("seeds");
    auto seg = unwrap(IndexSegment::create(dir, kStart, 128 + 14 * 16, kMaxFile, 3, 0), "create a seed index");
    if (shape == 0) {
      // sparse: increasing timestamps with gaps
      for (std::int64_t i = 0; i < 12; ++i) unwrap(seg.append({kStart + i * 5, std::uint64_t(i) * 40, 12}), "append");
    } else if (shape == 1) {
      // continuous: one slot per timestamp, a deleted one among them
      for (std::int64_t i = 0; i < 10; ++i) {
        IndexEntry e = i == 4 ? IndexEntry::sentinel(kStart + i) : IndexEntry{kStart + i, 0, std::uint16_t(i * 30)};
        unwrap(seg.append(e), "append");
      }
      unwrap(seg.append_sentinels(kStart + 10, 3), "sentinels");
    }
    unwrap(seg.sync(), "sync a seed index");
    seeds.push_back(file_bytes(dir / IndexSegment::file_name(kStart)));
  }
  return seeds;
}

}  // namespace quelvane::fuzz

using namespace quelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::Path dir = fuzz::fresh_dir("index");
  const fs::Path path = dir / IndexSegment::file_name(fuzz::kStart);
  fuzz::put_file(path, {data, size});
  (void)IndexSegment::read_last_timestamp(path);
  auto opened = IndexSegment::open(path, fuzz::kStart, fuzz::kMaxFile);
  if (!opened) return 0;
  IndexSegment seg = std::move(*opened);
  fuzz::check(seg.count() <= seg.capacity(), "an opened index holds no more entries than fit its file");

  // Timestamps to look for: around the start, and ones taken from the input itself.
  std::vector<std::int64_t> probes = {INT64_MIN, fuzz::kStart - 1, fuzz::kStart, fuzz::kStart + 7, INT64_MAX};
  for (std::size_t at = 128; at + 4 <= size && probes.size() < 12; at += 14 * 3)
    probes.push_back(fuzz::kStart + bytes::load_le<std::uint32_t>(data + at));
  for (bool continuous : {false, true}) {
    for (std::int64_t t : probes) {
      if (auto e = continuous ? seg.slot_entry(t) : seg.find_exact(t)) {
        fuzz::check(e->timestamp == t, "an exact lookup returns the timestamp asked for");
      }
      (void)seg.find(t, continuous);
      fuzz::check(seg.lower_bound(t, continuous) <= seg.count(), "a lower bound stays inside the segment");
      fuzz::check(seg.upper_bound(t, continuous) <= seg.count(), "an upper bound stays inside the segment");
    }
    auto range = seg.collect_range(fuzz::kStart, fuzz::kStart + 1000, continuous);
    fuzz::check(range.size() <= seg.count(), "a range holds no more entries than the segment");
  }
  std::vector<IndexEntry> run;
  auto r = seg.read_run(0, INT64_MAX, 64, run);
  fuzz::check(r.next_slot <= seg.count() && run.size() <= 64, "a run stays inside the segment and its limit");
  (void)seg.last_timestamp();
  for (std::uint64_t slot : {std::uint64_t{0}, seg.count() / 2, seg.count(), ~std::uint64_t{0}}) (void)seg.entry_at(slot);

  // Writes go where the open said they may.
  const std::uint64_t before = seg.count();
  const IndexEntry added{fuzz::kStart + 60000, 77, 9};
  if (seg.append(added)) {
    fuzz::check(seg.count() == before + 1, "an append adds one entry");
    auto back = seg.entry_at(before);
    fuzz::check(back && *back == added, "an appended entry reads back");
  }
  (void)seg.append_sentinels(fuzz::kStart + 60001, 5);
  if (seg.count() > 0) (void)seg.overwrite(0, IndexEntry::sentinel(fuzz::kStart));
  (void)seg.sync();
  return 0;
}
