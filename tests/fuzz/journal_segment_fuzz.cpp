// A journal segment file: the header checks, the open scan in both forms (the read-only one
// writes nothing), then every record a read or a range visit can reach, and an append into
// whatever the writable open recovered.
#include <optional>

#include "fuzz.h"
#include "journal/segment.h"

namespace quelvane::fuzz {

namespace {
constexpr std::int64_t kBase = 500;
constexpr std::uint64_t kMaxFile = 1 << 20;

Bytes record(std::int64_t seq, std::size_t len) {
  Bytes d(len);
  for (std::size_t k = 0; k < len; ++k) d[k] = static_cast<std::uint8_t>(seq * 31 + static_cast<std::int64_t>(k % 7));
  return d;
}
}  // namespace

std::vector<Bytes> fuzz_seeds() {
  std::vector<Bytes> seeds;
  for (std::uint8_t type : {std::uint8_t{0}, std::uint8_t{1}}) {
    for (int shape = 0; shape < 3; ++shape) {
      const fs::Path path = fresh_dir("seeds") / "journal";
      auto seg = unwrap(JournalSegment::create(path, kBase, 4096, kMaxFile, 3, type), "create a seed journal");
      // shape 0: a raw pending block; 1: sealed blocks and a pending one; 2: a single-record block too.
      const int n = shape == 0 ? 4 : 300;
      std::int64_t seq = kBase;
      for (int i = 0; i < n; ++i, ++seq) unwrap(seg.append(seq, record(seq, 40 + i % 200)), "append a seed record");
      if (shape == 2) unwrap(seg.append(seq, record(seq, 70000)), "append a large seed record");
      unwrap(seg.flush(), "flush a seed journal");
      seeds.push_back(file_bytes(path));
    }
  }
  return seeds;
}

}  // namespace quelvane::fuzz

using namespace quelvane;

namespace {

// Every record the segment serves: consecutive from its base, the same through read and visit.
void read_all(JournalSegment& seg) {
  std::int64_t expected = seg.base_sequence();
  std::vector<std::pair<std::int64_t, fuzz::Bytes>> seen;
  auto visited = seg.visit(INT64_MIN, INT64_MAX, [&](std::int64_t seq, std::span<const std::uint8_t> data) {
    fuzz::check(seq == expected++, "a journal segment's sequences are consecutive from its base");
    if (seen.size() < 64) seen.emplace_back(seq, fuzz::Bytes(data.begin(), data.end()));
  });
  if (!visited) return;
  fuzz::check(expected == seg.next_sequence(), "a visit reaches every record the segment counts");
  for (const auto& [seq, data] : seen) {
    auto r = seg.read(seq);
    fuzz::check(r && *r && **r == data, "a read returns what the visit saw");
  }
  auto past = seg.read(seg.next_sequence());
  fuzz::check(!past || !*past, "nothing reads past the last sequence");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::Path path = fuzz::fresh_dir("journal") / "journal";
  const fuzz::Bytes input(data, data + size);
  fuzz::put_file(path, input);
  (void)JournalSegment::check_header(path, fuzz::kBase);
  std::optional<std::uint64_t> read_only_count;
  if (auto ro = JournalSegment::open_read_only(path, fuzz::kBase, fuzz::kMaxFile)) {
    read_all(*ro);
    read_only_count = ro->record_count();
  }
  fuzz::check(fuzz::file_bytes(path) == input, "a read-only journal open never changes the file");

  auto rw = JournalSegment::open(path, fuzz::kBase, fuzz::kMaxFile);
  if (!rw) return 0;
  fuzz::check(!read_only_count || *read_only_count == rw->record_count(),
              "both forms of open recover the same records");
  read_all(*rw);
  const std::int64_t next = rw->next_sequence();
  const fuzz::Bytes added = fuzz::record(next, 33);
  if (rw->append(next, added)) {
    auto back = rw->read(next);
    fuzz::check(back && *back && **back == added, "a record appended after the open reads back");
  }
  (void)rw->flush();
  return 0;
}
