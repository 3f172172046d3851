// A dataset's meta file: the bounded whole-file read, the prefix, the entry walk and the
// validation of every option; neither read changes the file.
#include "fuzz.h"
#include "meta.h"

namespace quelvane::fuzz {

std::vector<Bytes> fuzz_seeds() {
  std::vector<Bytes> seeds;
  const fs::Path dir = fresh_dir("seeds");
  const meta::Meta shapes[] = {
      {.data_segment_size = 1 << 20, .index_segment_size = 1 << 16, .create_time = 1700000000000,
       .initial_data_segment_size = 4096, .initial_index_segment_size = 268, .retention_window = 0,
       .compress_level = 3, .compress_type = 0, .index_continuous = 0, .enable_journal = 0},
      {.data_segment_size = 64 << 20, .index_segment_size = 8 << 20, .create_time = 1,
       .initial_data_segment_size = 1 << 20, .initial_index_segment_size = 1 << 16, .retention_window = 3600,
       .compress_level = 9, .compress_type = 1, .index_continuous = 1, .enable_journal = 1},
  };
  for (const auto& m : shapes) {
    unwrap(meta::write_meta(m, dir / "meta"), "write a seed meta");
    unwrap(meta::read_meta(dir / "meta"), "a seed meta reads back");
    seeds.push_back(file_bytes(dir / "meta"));
  }
  return seeds;
}

}  // namespace quelvane::fuzz

using namespace quelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::Path dir = fuzz::fresh_dir("meta");
  const fs::Path path = dir / "meta";
  fuzz::put_file(path, {data, size});
  auto m = meta::read_meta(path);
  auto payload = meta::read_meta_payload(path);
  // A meta that validates is one the writer could have written: it writes and reads back the same.
  if (m) {
    fuzz::check(payload.has_value(), "a valid meta has a payload");
    fuzz::unwrap(meta::write_meta(*m, dir / "again"), "rewrite a valid meta");
    auto again = meta::read_meta(dir / "again");
    fuzz::check(again && *again == *m, "a valid meta survives a rewrite");
  }
  fuzz::check(fuzz::file_bytes(path) == fuzz::Bytes(data, data + size), "reading meta never changes it");
  return 0;
}
