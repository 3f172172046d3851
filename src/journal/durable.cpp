#include "durable.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <span>

#include "../util/bytes.h"

namespace quelvane::journal {

namespace {

constexpr std::uint64_t kSlotSize = 64;
constexpr std::uint64_t kSlots = 2;
constexpr std::array<std::uint8_t, 4> kSlotMagic{'Q', 'V', 'J', 'W'};
constexpr std::uint32_t kSlotVersion = 1;
// Slot layout: magic, u32 version, u64 counter, i64 sequence, 16-byte boot id, zero, then the
// CRC-32 of the bytes before it.
constexpr std::uint64_t kVersionAt = 4;
constexpr std::uint64_t kCounterAt = 8;
constexpr std::uint64_t kSequenceAt = 16;
constexpr std::uint64_t kBootAt = 24;
constexpr std::uint64_t kCrcAt = kSlotSize - 4;

using Slot = std::array<std::uint8_t, kSlotSize>;

std::uint32_t crc_of(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(::crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

Slot encode(const Watermark& mark) {
  Slot slot{};
  std::copy(kSlotMagic.begin(), kSlotMagic.end(), slot.begin());
  bytes::put<std::uint32_t>(slot, kVersionAt, kSlotVersion);
  bytes::put<std::uint64_t>(slot, kCounterAt, mark.counter);
  bytes::put<std::int64_t>(slot, kSequenceAt, mark.sequence);
  std::copy(mark.boot.begin(), mark.boot.end(), slot.begin() + kBootAt);
  bytes::put<std::uint32_t>(slot, kCrcAt, crc_of(std::span(slot).first(kCrcAt)));
  return slot;
}

std::optional<Watermark> decode(std::span<const std::uint8_t> slot) {
  if (!std::equal(kSlotMagic.begin(), kSlotMagic.end(), slot.begin())) return std::nullopt;
  if (bytes::get<std::uint32_t>(slot, kCrcAt) != crc_of(slot.first(kCrcAt))) return std::nullopt;
  if (bytes::get<std::uint32_t>(slot, kVersionAt) != kSlotVersion) return std::nullopt;
  Watermark mark;
  mark.counter = bytes::get<std::uint64_t>(slot, kCounterAt);
  mark.sequence = bytes::get<std::int64_t>(slot, kSequenceAt);
  if (mark.sequence < 0) return std::nullopt;
  std::copy_n(slot.begin() + kBootAt, mark.boot.size(), mark.boot.begin());
  return mark;
}

util::BootId running_boot() { return util::current_boot_id().value_or(util::BootId{}); }

}  // namespace

fs::Path durable_path(const fs::Path& journal_dir) { return journal_dir / "durable"; }

Result<std::optional<Watermark>> read_watermark(const fs::Path& path) {
  if (!QV_TRY(fs::exists(path))) return std::nullopt;
  const std::vector<std::uint8_t> file = QV_TRY(fs::read_bounded(path, kSlots * kSlotSize));
  std::optional<Watermark> newest;
  for (std::uint64_t at = 0; at + kSlotSize <= file.size(); at += kSlotSize) {
    const std::optional<Watermark> mark = decode(std::span(file).subspan(at, kSlotSize));
    if (mark && (!newest || mark->counter > newest->counter)) newest = mark;
  }
  return newest;
}

Result<DurableWatermark> DurableWatermark::create(const fs::Path& path, std::int64_t sequence) {
  std::array<std::uint8_t, kSlots * kSlotSize> image{};
  const Slot first = encode({.sequence = sequence, .boot = running_boot(), .counter = 1});
  std::copy(first.begin(), first.end(), image.begin());
  const fs::Path temporary = fs::temporary_beside(path);
  Status written = [&]() -> Status {
    fs::FileDescriptor fd = QV_TRY(fs::open(temporary, fs::OpenMode::CreateTruncate));
    QV_TRY(fs::write_at(fd, 0, image));
    QV_TRY(fs::sync_data(fd));
    return fs::rename(temporary, path);
  }();
  if (!written) {
    (void)fs::remove_file(temporary);
    return fail(std::move(written).error());
  }
  QV_TRY(fs::sync_dir(path.parent_path()));
  fs::FileDescriptor fd = QV_TRY(fs::open(path, fs::OpenMode::ReadWrite));
  return DurableWatermark(std::move(fd), sequence, 1, false);
}

Result<DurableWatermark> DurableWatermark::open(const fs::Path& path, const Watermark& found) {
  fs::FileDescriptor fd = QV_TRY(fs::open(path, fs::OpenMode::ReadWrite));
  return DurableWatermark(std::move(fd), found.sequence, found.counter, util::is_other_boot(found.boot));
}

Status DurableWatermark::advance(std::int64_t sequence) {
  if (sequence < sequence_ || (sequence == sequence_ && !restamp_)) return {};
  return stamp(sequence);
}

Status DurableWatermark::stamp(std::int64_t sequence) {
  const std::uint64_t counter = counter_ + 1;
  const Slot slot = encode({.sequence = sequence, .boot = running_boot(), .counter = counter});
  QV_TRY(fs::write_at(fd_, (counter % kSlots) * kSlotSize, slot));
  QV_TRY(fs::sync_data(fd_));
  sequence_ = sequence;
  counter_ = counter;
  restamp_ = false;
  return {};
}

}  // namespace quelvane::journal
