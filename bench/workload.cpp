#include "workload.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "util/bytes.h"

namespace bench {

namespace {

constexpr std::uint64_t kBlockPayloadLimit = 65536;

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

}  // namespace

void fill_payload(std::uint64_t i, std::int64_t ts, std::span<std::uint8_t> out) {
  std::uint64_t r = splitmix64(i);
  char text[8192];
  std::size_t cap = std::min(out.size(), sizeof text - 1);
  int n = std::snprintf(text, sizeof text, "{\"ts\":%lld,\"device\":\"dev-%02u\",\"seq\":%llu,\"temp\":%.3f,\"hum\":%.2f",
                        static_cast<long long>(ts), static_cast<unsigned>(r % 64),
                        static_cast<unsigned long long>(i), 15.0 + static_cast<double>((r >> 8) % 20000) / 1000.0,
                        30.0 + static_cast<double>((r >> 24) % 6000) / 100.0);
  std::size_t len = n > 0 ? std::min(static_cast<std::size_t>(n), sizeof text - 1) : 0;
  // Further readings while one more and the closing brace still fit.
  for (unsigned k = 0;; ++k) {
    r = splitmix64(r);
    char field[48];
    int f = std::snprintf(field, sizeof field, ",\"v%u\":%.4f", k,
                          static_cast<double>(r % 2'000'000) / 10000.0 - 100.0);
    if (f <= 0 || len + static_cast<std::size_t>(f) + 1 > cap) break;
    std::memcpy(text + len, field, static_cast<std::size_t>(f));
    len += static_cast<std::size_t>(f);
  }
  if (len + 1 <= cap) text[len++] = '}';
  len = std::min(len, out.size());
  std::memcpy(out.data(), text, len);
  std::memset(out.data() + len, ' ', out.size() - len);
}

RecordStream::RecordStream(std::size_t count, std::size_t payload_size) : payload_size_(payload_size) {
  std::size_t stride = kRecordHeader + payload_size;
  bytes_.resize(count * stride);
  offsets_.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* p = bytes_.data() + i * stride;
    offsets_[i] = i * stride;
    quelvane::bytes::store_le<std::uint32_t>(p, static_cast<std::uint32_t>(payload_size));
    quelvane::bytes::store_le<std::int64_t>(p + 4, ts(i));
    fill_payload(i, ts(i), {p + kRecordHeader, payload_size});
  }
}

std::size_t RecordStream::index_of(std::int64_t t) const {
  if (t < kFirstTimestamp) return count();
  auto i = static_cast<std::uint64_t>(t - kFirstTimestamp);
  return i < count() ? static_cast<std::size_t>(i) : count();
}

void Digest::take(std::int64_t ts, std::span<const std::uint8_t> data) {
  if (has_last_ && ts <= last_) ordered_ = false;
  has_last_ = true;
  last_ = ts;
  ++count_;
  bytes_ += data.size();
  std::uint64_t m = static_cast<std::uint64_t>(ts) * 0x9e3779b97f4a7c15ull + data.size();
  if (!data.empty()) m += (std::uint64_t{data.front()} << 16) ^ (std::uint64_t{data[data.size() / 2]} << 8) ^ data.back();
  mix_ += m ^ (m >> 29);
}

void Verifier::take(std::int64_t ts, std::span<const std::uint8_t> data) {
  ++seen_;
  std::size_t i = stream_.index_of(ts);
  if (i == stream_.count()) {
    ++mismatches_;
    return;
  }
  auto want = stream_.data(i);
  if (data.size() != want.size() || std::memcmp(data.data(), want.data(), want.size()) != 0) ++mismatches_;
}

std::vector<BlockRange> block_ranges(const RecordStream& stream) {
  std::vector<BlockRange> blocks;
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  for (std::size_t i = 0; i < stream.count(); ++i) {
    std::uint64_t rec = kRecordHeader + stream.payload_size();
    if (end > begin && end - begin + rec > kBlockPayloadLimit) {
      blocks.push_back({begin, end});
      begin = end;
    }
    end += rec;
  }
  if (end > begin) blocks.push_back({begin, end});
  return blocks;
}

}  // namespace bench
