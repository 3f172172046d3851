// The records every engine and the compression floor are given: timestamps in order and
// JSON-like payloads of one fixed size, generated once per size and kept in the layout the
// store's raw blocks use (u32 data length, i64 timestamp, data; little-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "peers/peer.h"

namespace bench {

inline constexpr std::int64_t kFirstTimestamp = 1'700'000'000'000;  // milliseconds, late 2023
inline constexpr std::size_t kRecordHeader = 12;

class RecordStream {
 public:
  RecordStream(std::size_t count, std::size_t payload_size);

  std::size_t count() const { return offsets_.size(); }
  std::size_t payload_size() const { return payload_size_; }
  std::int64_t ts(std::size_t i) const { return kFirstTimestamp + static_cast<std::int64_t>(i); }
  std::span<const std::uint8_t> data(std::size_t i) const {
    return {bytes_.data() + offsets_[i] + kRecordHeader, payload_size_};
  }
  // The record index of ts, or count() when ts is not one of the stream's.
  std::size_t index_of(std::int64_t ts) const;
  // Every record back to back, headers included.
  std::span<const std::uint8_t> bytes() const { return bytes_; }
  std::uint64_t record_offset(std::size_t i) const { return offsets_[i]; }

 private:
  std::size_t payload_size_;
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint64_t> offsets_;
};

// A sensor reading as JSON text whose numbers change from record to record, padded with
// spaces to exactly out.size() bytes; a longer payload carries more readings before the
// padding. Deterministic in i.
void fill_payload(std::uint64_t i, std::int64_t ts, std::span<std::uint8_t> out);

// What a reader saw, cheap enough to keep inside a timed loop: count, bytes, a mix of each
// record's timestamp, length and three of its bytes, and whether timestamps kept rising.
class Digest final : public RecordSink {
 public:
  void take(std::int64_t ts, std::span<const std::uint8_t> data) override;

  std::uint64_t count() const { return count_; }
  bool operator==(const Digest& o) const {
    return count_ == o.count_ && bytes_ == o.bytes_ && mix_ == o.mix_ && ordered_ == o.ordered_;
  }

 private:
  std::uint64_t count_ = 0;
  std::uint64_t bytes_ = 0;
  std::uint64_t mix_ = 0;
  std::int64_t last_ = 0;
  bool has_last_ = false;
  bool ordered_ = true;
};

// Compares every byte of each record it receives with the stream's; run outside the timing.
class Verifier final : public RecordSink {
 public:
  explicit Verifier(const RecordStream& stream) : stream_(stream) {}
  void take(std::int64_t ts, std::span<const std::uint8_t> data) override;
  std::uint64_t mismatches() const { return mismatches_; }
  std::uint64_t seen() const { return seen_; }

 private:
  const RecordStream& stream_;
  std::uint64_t mismatches_ = 0;
  std::uint64_t seen_ = 0;
};

// Whole records packed into blocks of at most 64 KiB, as the store's pending block fills:
// [begin, end) byte ranges of RecordStream::bytes().
struct BlockRange {
  std::uint64_t begin;
  std::uint64_t end;
};
std::vector<BlockRange> block_ranges(const RecordStream& stream);

}  // namespace bench
