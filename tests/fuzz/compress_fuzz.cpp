// Sealed block payloads of both codecs: the first input byte picks the codec, the next four
// the output bound a block header would give, the rest is the compressed payload.
#include "compress.h"
#include "fuzz.h"
#include "util/bytes.h"

namespace quelvane::fuzz {

namespace {
Bytes framed(std::uint8_t type, std::uint32_t bound, const Bytes& payload) {
  Bytes out{type, 0, 0, 0, 0};
  bytes::store_le<std::uint32_t>(out.data() + 1, bound);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
}  // namespace

std::vector<Bytes> fuzz_seeds() {
  std::vector<Bytes> seeds;
  Bytes text;
  for (int i = 0; i < 3000; ++i) text.push_back(static_cast<std::uint8_t>("records of a time series "[i % 25]));
  Bytes noise;
  std::uint32_t x = 12345;
  for (int i = 0; i < 700; ++i) noise.push_back(static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 24));
  for (std::uint8_t type : {compress::kZstd, compress::kDeflate}) {
    for (const Bytes* raw : {&text, &noise}) {
      Bytes c = unwrap(compress::compress(*raw, 3, type), "compress a seed");
      seeds.push_back(framed(type, static_cast<std::uint32_t>(raw->size()), c));
    }
    seeds.push_back(framed(type, 0, unwrap(compress::compress({}, 1, type), "compress an empty seed")));
  }
  return seeds;
}

}  // namespace quelvane::fuzz

using namespace quelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const std::uint8_t type = data[0] & 1;
  // A damaged header may claim any bound; the codec refuses those above the largest block itself.
  std::uint64_t bound = bytes::load_le<std::uint32_t>(data + 1);
  if ((data[0] & 2) == 0) bound %= compress::kMaxRawBlock + 2;
  std::span<const std::uint8_t> payload(data + 5, size - 5);
  auto out = compress::decompress(payload, type, bound);
  if (out) fuzz::check(out->size() <= bound, "decompressed output stays within its bound");
  // Whatever decodes must encode and decode back to itself.
  if (out && !out->empty()) {
    auto again = compress::compress(*out, 1, type);
    fuzz::check(again.has_value(), "decoded bytes compress again");
    auto back = compress::decompress(*again, type, out->size());
    fuzz::check(back && *back == *out, "a round trip gives the same bytes");
  }
  return 0;
}
