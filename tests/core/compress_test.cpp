#include "compress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <thread>

#include "support/allocation_counter.h"
#include "support/payloads.h"

namespace quelvane {
namespace {

std::vector<std::uint8_t> sample(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; s.size() < n; ++i) s += "{\"sensor\":" + std::to_string(i * 7919 % 1000) + ",\"ok\":true}";
  s.resize(n);
  return {s.begin(), s.end()};
}

TEST(Compress, RoundTripsAtEveryLevelOfBothTypes) {
  const auto raw = sample(70'000);
  for (std::uint8_t type : {compress::kZstd, compress::kDeflate}) {
    for (std::uint8_t level : {0, 1, 6, 9, 30}) {
      auto packed = compress::compress(raw, level, type);
      ASSERT_TRUE(packed.has_value()) << int(type) << "/" << int(level);
      auto back = compress::decompress(*packed, type);
      ASSERT_TRUE(back.has_value()) << back.error().display();
      EXPECT_EQ(*back, raw) << int(type) << "/" << int(level);
    }
  }
}

TEST(Compress, ZstdFramesCarryAChecksumButNoContentSize) {
  auto packed = compress::compress(sample(1000), 6, compress::kZstd).value();
  ASSERT_GE(packed.size(), 5u);
  const std::uint8_t descriptor = packed[4];
  EXPECT_EQ(descriptor & 0xC0, 0) << "frame content size flag";
  EXPECT_EQ(descriptor & 0x20, 0) << "single segment implies a content size";
  EXPECT_NE(descriptor & 0x04, 0) << "content checksum flag";
}

TEST(Compress, RawDeflateHasNoZlibHeader) {
  // Level 0 gives a stored block: its first byte is the DEFLATE block header (final bit, type 00),
  // where a zlib stream would start with 0x78.
  auto packed = compress::compress(sample(100), 0, compress::kDeflate).value();
  EXPECT_EQ(packed[0], 0x01);
  EXPECT_EQ(compress::decompress(packed, compress::kDeflate).value(), sample(100));
}

TEST(Compress, IncompressibleOutputIsUsedAsItComes) {
  auto raw = testing::noise(65'537, 42);
  auto packed = compress::compress(raw, 6, compress::kZstd).value();
  EXPECT_GT(packed.size(), raw.size());
  EXPECT_EQ(compress::decompress(packed, compress::kZstd).value(), raw);
}

TEST(Compress, UnknownTypeIsRefusedBothWays) {
  const std::vector<std::uint8_t> raw{1, 2, 3};
  EXPECT_EQ(compress::compress(raw, 1, 2).error().display(), "invalid data: unknown compress_type 2");
  EXPECT_EQ(compress::decompress(raw, 2).error().display(), "invalid data: unknown compress_type 2");
  EXPECT_EQ(compress::check_compress_type(255).error().display(), "invalid data: unknown compress_type 255");
  EXPECT_TRUE(compress::check_compress_type(1).has_value());
}

struct DecodeFailure {
  const char* name;
  std::uint8_t type;
  std::vector<std::uint8_t> (*damage)(std::vector<std::uint8_t>);
  const char* message;
};

TEST(Decompress, DamagedInputIsAnErrorNeverShortOutput) {
  const DecodeFailure cases[] = {
      {"zstd truncated", compress::kZstd, [](auto v) { v.resize(v.size() - 3); return v; },
       "decompression error: zstd decode error: truncated frame"},
      {"zstd checksum", compress::kZstd, [](auto v) { v.back() ^= 0xFF; return v; },
       "decompression error: zstd decode error: Restored data doesn't match checksum"},
      {"zstd trailing garbage", compress::kZstd, [](auto v) { v.push_back(0x42); v.push_back(0x42); v.push_back(0x42); v.push_back(0x42); return v; },
       "decompression error: zstd decode error: Unknown frame descriptor"},
      {"zstd empty", compress::kZstd, [](auto) { return std::vector<std::uint8_t>{}; },
       "decompression error: zstd decode error: truncated frame"},
      {"deflate truncated", compress::kDeflate, [](auto v) { v.resize(v.size() / 2); return v; },
       "decompression error: inflate error: unexpected end of deflate stream"},
      {"deflate empty", compress::kDeflate, [](auto) { return std::vector<std::uint8_t>{}; },
       "decompression error: inflate error: unexpected end of deflate stream"},
      {"deflate invalid block type", compress::kDeflate, [](auto v) { v[0] = 0x07; return v; },
       "decompression error: inflate error: invalid block type"},
      {"deflate trailing bytes", compress::kDeflate, [](auto v) { v.push_back(0); return v; },
       "decompression error: inflate error: trailing bytes after end of stream"},
  };
  const auto raw = sample(20'000);
  for (const auto& tc : cases) {
    auto packed = compress::compress(raw, 6, tc.type).value();
    auto r = compress::decompress(tc.damage(packed), tc.type);
    ASSERT_FALSE(r.has_value()) << tc.name;
    EXPECT_EQ(r.error().display(), tc.message) << tc.name;
  }
}

TEST(Decompress, OutputIsBoundedByTheExpectedSizeAndNeverPastTheLargestBlock) {
  // 5 MiB of zeros packs into a few hundred bytes: what a damaged block claiming more than any
  // block holds would decode to if the claim were trusted.
  const std::vector<std::uint8_t> zeros(5u << 20, 0);
  const std::uint64_t largest = compress::kMaxRawBlock;
  struct Case {
    std::uint8_t type;
    std::uint64_t limit;
    const char* message;
  };
  const Case cases[] = {
      {compress::kZstd, zeros.size(), "decompression error: zstd decode error: block size 5242880 exceeds the largest block 4194316"},
      {compress::kDeflate, zeros.size(), "decompression error: inflate error: block size 5242880 exceeds the largest block 4194316"},
      {compress::kZstd, 0xFFFFFFFFull, "decompression error: zstd decode error: block size 4294967295 exceeds the largest block 4194316"},
      {compress::kZstd, largest, "decompression error: zstd decode error: output exceeds 4194316 bytes"},
      {compress::kDeflate, largest, "decompression error: inflate error: output exceeds 4194316 bytes"},
      {compress::kZstd, 999'999, "decompression error: zstd decode error: output exceeds 999999 bytes"},
      {compress::kDeflate, 999'999, "decompression error: inflate error: output exceeds 999999 bytes"},
  };
  for (std::uint8_t type : {compress::kZstd, compress::kDeflate}) {
    const std::vector<std::uint8_t> million(zeros.begin(), zeros.begin() + 1'000'000);
    auto packed = compress::compress(million, 6, type).value();
    EXPECT_EQ(compress::decompress(packed, type, million.size()).value(), million);
  }
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> raw(zeros.begin(), zeros.begin() + static_cast<std::ptrdiff_t>(
                                                                       std::min<std::uint64_t>(zeros.size(), c.limit + 1)));
    auto packed = compress::compress(raw, 6, c.type).value();
    auto r = compress::decompress(packed, c.type, c.limit);
    EXPECT_EQ(r ? std::string("decoded whole") : r.error().display(), c.message);
  }
}

TEST(Decompress, ConcatenatedZstdFramesDecodeBackToBack) {
  auto a = compress::compress(sample(100), 3, compress::kZstd).value();
  auto b = compress::compress(sample(50), 3, compress::kZstd).value();
  a.insert(a.end(), b.begin(), b.end());
  auto out = compress::decompress(a, compress::kZstd).value();
  EXPECT_EQ(out.size(), 150u);
}

// Running out of memory anywhere in a codec, its contexts included, is a failed allocation: a
// reader takes a decoding error for a damaged block. Each attempt fails one allocation, one
// further along than the last, until none is left to fail; each runs on a thread of its own,
// so that the per-thread zstd contexts are made under the shortage too.
TEST(Codecs, RunningOutOfMemoryIsAFailedAllocationNeverACodecError) {
  const auto raw = sample(300'000);
  struct Case {
    const char* name;
    std::uint8_t type;
    bool decode;
  };
  const Case cases[] = {
      {"zstd encode", compress::kZstd, false},
      {"zstd decode", compress::kZstd, true},
      {"deflate", compress::kDeflate, false},
      {"inflate", compress::kDeflate, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto packed = compress::compress(raw, 6, c.type).value();
    std::vector<std::string> errors;
    std::uint64_t out_of_memory = 0;
    bool done = false;
    for (std::uint64_t spared = 0; spared < 100 && !done; ++spared) {
      std::thread([&] {
        testing::FailingAllocation shortage(spared, 1);
        try {
          auto r = c.decode ? compress::decompress(packed, c.type) : compress::compress(raw, 6, c.type);
          if (!r) {
            errors.push_back(r.error().display());
          } else {
            EXPECT_EQ(*r, c.decode ? raw : packed) << "spared " << spared;
            done = shortage.failed() == 0;
          }
        } catch (const std::bad_alloc&) {
          ++out_of_memory;
        }
      }).join();
    }
    EXPECT_TRUE(done) << "every allocation was failed once";
    EXPECT_EQ(errors, std::vector<std::string>{});
    // The output buffer is one allocation of the wrapper's own; the rest are the codec's.
    EXPECT_GE(out_of_memory, 2u) << "the codec's own allocations met the shortage";
  }
}

}  // namespace
}  // namespace quelvane
