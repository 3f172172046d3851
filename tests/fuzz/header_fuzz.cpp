// Segment file headers of the three file types: the prefix, the lenient meta walk, the data
// and index header parses, and the state-area lookup an in-place state write starts with.
#include "fuzz.h"
#include "header.h"

namespace quelvane::fuzz {

std::vector<Bytes> fuzz_seeds() {
  header::MetaValues meta{.created_ms = 1700000000000, .base = 4096, .max_file_size = 1 << 20, .compress_level = 3,
                          .compress_type = 1};
  header::DataState state;
  state.totals = {.min_ts = 5, .max_ts = 90, .write_position = 300, .record_count = 7, .uncompressed_size = 200};
  state.pending = {.pending_block_offset = 100, .pending_wrote_position = 60, .pending_record_count = 2};
  Bytes data(header::kDataHeaderSize);
  header::write_data_header(meta, state, data);
  Bytes index(header::kIndexHeaderArea);
  header::write_index_header(meta, 128 + 14 * 3, index);
  Bytes journal(108);
  header::write_file_header(journal, header::kJournalFileType, meta, 56);
  return {data, index, journal};
}

}  // namespace quelvane::fuzz

using namespace quelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> file(data, size);
  if (auto p = header::parse_prefix(file)) (void)header::parse_meta(file, p->meta_length);
  if (auto h = header::parse_data_header(file)) {
    fuzz::check(h->header_len <= size, "a parsed data header ends inside the file");
  }
  if (auto h = header::parse_index_header(file)) {
    fuzz::check(size >= header::kIndexHeaderArea, "a parsed index header has its whole area");
  }
  for (std::uint8_t type : {header::kDataFileType, header::kIndexFileType, header::kJournalFileType}) {
    for (std::uint64_t word : {header::kMinTsWord, header::kInvalidRecordCountWord}) {
      if (auto at = header::locate_state(file, type, word)) {
        fuzz::check(*at + word + 8 <= size, "a located state word lies inside the file");
      }
    }
  }
  return 0;
}
