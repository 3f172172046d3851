// A dataset's state file: the read-only open, which must refuse a bad file without touching
// it, and the writable open, which recreates a bad file empty and then takes the updates a
// dataset makes (a fold at roll-over, a time range, a delete, a reclaimed segment).
#include "dataset_state.h"
#include "fuzz.h"

namespace quelvane::fuzz {

std::vector<Bytes> fuzz_seeds() {
  std::vector<Bytes> seeds;
  for (int shape = 0; shape < 2; ++shape) {
    const fs::Path dir = fresh_dir("seeds");
    auto state = unwrap(DatasetStateFile::open_or_create(dir), "create a seed state");
    if (shape == 1) {
      const SegmentStats s{.file_offset = 0, .record_count = 40, .data_size = 900, .uncompressed_size = 2000,
                           .invalid_record_count = 2, .min_ts = 10, .max_ts = 400};
      unwrap(state.on_append(4096, std::span(&s, 1)), "fold a seed state");
      unwrap(state.set_time_range(10, 400), "time range of a seed state");
    }
    seeds.push_back(file_bytes(dir / "state"));
  }
  return seeds;
}

}  // namespace quelvane::fuzz

using namespace quelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::Path dir = fuzz::fresh_dir("state");
  const fs::Path path = dir / "state";
  const fuzz::Bytes input(data, data + size);
  fuzz::put_file(path, input);
  {
    auto ro = DatasetStateFile::open_read_only(dir);
    fuzz::check(fuzz::file_bytes(path) == input, "a read-only open never changes the state file");
  }
  auto rw = DatasetStateFile::open_or_create(dir);
  if (!rw) return 0;
  fuzz::check(fuzz::file_bytes(path).size() == DatasetStateFile::kFileSize, "a writable state file has its size");
  const SegmentStats s{.file_offset = rw->watermark(), .record_count = 3, .data_size = 90, .uncompressed_size = 120,
                       .invalid_record_count = 1, .min_ts = 5, .max_ts = 9};
  (void)rw->on_append(rw->watermark() + 4096, std::span(&s, 1));
  (void)rw->on_time_range(std::pair<std::int64_t, std::int64_t>{5, 9});
  (void)rw->record_delete();
  (void)rw->subtract_reclaimed(s);
  const std::uint64_t count = rw->total_record_count();
  rw = DatasetStateFile::open(path);
  fuzz::check(rw && rw->total_record_count() == count, "the state a writable open left reopens as it was");
  return 0;
}
