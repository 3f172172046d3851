// The identifier files: a dataset's `identifier` and the store's `max_identifier`, read whole
// and bounded, then parsed as decimal text with white space around it.
#include <charconv>
#include <string>

#include "fuzz.h"
#include "store/store.h"

namespace quelvane::fuzz {

std::vector<Bytes> fuzz_seeds() {
  std::vector<Bytes> seeds;
  for (const char* text : {"1", "42\n", " \t7 ", "18446744073709551615", "0", "\xe2\x80\x83" "99" "\xc2\xa0"}) {
    seeds.emplace_back(text, text + std::char_traits<char>::length(text));
  }
  return seeds;
}

}  // namespace quelvane::fuzz

using namespace quelvane;
using namespace quelvane::store;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto any = parse_identifier("identifier", text, true);
  auto positive = parse_identifier("identifier", text, false);
  fuzz::check(!positive || *positive > 0, "an identifier that must be positive is");
  fuzz::check(positive.has_value() <= any.has_value() && (!positive || *positive == *any),
              "refusing zero changes nothing else");
  // What parses is the digits of the text, whatever surrounds them.
  if (any) {
    const std::size_t first = text.find_first_of("0123456789");
    const std::size_t last = text.find_last_of("0123456789");
    fuzz::check(first != std::string_view::npos, "a parsed identifier has digits");
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data() + first, text.data() + last + 1, v);
    fuzz::check(ec == std::errc() && end == text.data() + last + 1 && v == *any, "the digits are the value");
  }

  const fs::Path dir = fuzz::fresh_dir("ids");
  const fuzz::Bytes input(data, data + size);
  fuzz::put_file(dir / kIdentifierFileName, input);
  fuzz::put_file(dir / kMaxIdentifierFileName, input);
  auto id = read_identifier_file(dir);
  auto max = read_max_identifier(dir);
  fuzz::check(!id || (positive && *id == *positive), "the identifier file reads as its text parses");
  fuzz::check(!max || (any && *max == *any), "max_identifier reads as its text parses");
  fuzz::check(fuzz::file_bytes(dir / kIdentifierFileName) == input &&
                  fuzz::file_bytes(dir / kMaxIdentifierFileName) == input,
              "reading identifiers never changes their files");
  return 0;
}
