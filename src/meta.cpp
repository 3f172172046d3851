#include "meta.h"

#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "compress.h"
#include "util/bytes.h"
#include "util/log.h"

namespace quelvane::meta {

namespace {

constexpr std::string_view kMagic = "QVAM";
constexpr std::uint64_t kEntryHead = 3;  // u8 tag, u16 length

enum Tag : std::uint8_t {
  kDataSegmentSize = 1,
  kIndexSegmentSize = 2,
  kCompressLevel = 3,
  kCreateTime = 4,
  kIndexContinuous = 5,
  kInitialDataSegmentSize = 6,
  kInitialIndexSegmentSize = 7,
  kRetentionWindow = 8,
  kCompressType = 9,
  kEnableJournal = 10,
};

// The value width each known tag must have to be taken; any other width is skipped.
std::optional<std::uint16_t> known_width(std::uint8_t tag) {
  switch (tag) {
    case kDataSegmentSize:
    case kIndexSegmentSize:
    case kCreateTime:
    case kInitialDataSegmentSize:
    case kInitialIndexSegmentSize:
    case kRetentionWindow:
      return 8;
    case kCompressLevel:
    case kIndexContinuous:
    case kCompressType:
    case kEnableJournal:
      return 1;
    default:
      return std::nullopt;
  }
}

class Writer {
 public:
  explicit Writer(std::span<std::uint8_t> out) : out_(out) {}
  void u8(std::uint8_t tag, std::uint8_t v) {
    head(tag, 1);
    bytes::put<std::uint8_t>(out_, pos_, v);
    pos_ += 1;
  }
  void u64(std::uint8_t tag, std::uint64_t v) {
    head(tag, 8);
    bytes::put<std::uint64_t>(out_, pos_, v);
    pos_ += 8;
  }
  std::uint64_t pos() const { return pos_; }

 private:
  void head(std::uint8_t tag, std::uint16_t len) {
    bytes::put<std::uint8_t>(out_, pos_, tag);
    bytes::put<std::uint16_t>(out_, pos_ + 1, len);
    pos_ += kEntryHead;
  }

  std::span<std::uint8_t> out_;
  std::uint64_t pos_ = kPrefixSize;
};

// The fields as found in the entries; absent ones stay empty.
struct Found {
  std::optional<std::uint64_t> data_segment_size, index_segment_size, initial_data_segment_size,
      initial_index_segment_size, retention_window;
  std::optional<std::int64_t> create_time;
  std::optional<std::uint8_t> compress_level, compress_type, index_continuous, enable_journal;
};

std::unexpected<Error> invalid(std::string message) { return fail(Error::invalid_data(std::move(message))); }

// The prefix checks shared by both readers: the length of the payload the prefix announces,
// once the file is known to hold it.
Result<std::uint16_t> payload_length(std::span<const std::uint8_t> file) {
  if (file.size() < kPrefixSize) return invalid("meta file too short");
  return bytes::get<std::uint16_t>(file, 6);
}

// The prefix and the longest payload its u16 length can announce: nothing past them is ever used.
Result<std::vector<std::uint8_t>> read_meta_file(const fs::Path& path) {
  return fs::read_bounded(path, kPrefixSize + std::numeric_limits<std::uint16_t>::max());
}

Status check_holds_payload(std::span<const std::uint8_t> file, std::uint16_t len) {
  if (file.size() < kPrefixSize + len) return invalid("meta file truncated");
  return {};
}

// Strict walk over the entries: unlike the segment header's meta area, a truncated entry or a
// partial one at the end is an error here, not the end of the list.
Result<Found> read_entries(std::span<const std::uint8_t> file, std::uint64_t end) {
  Found f;
  std::uint64_t pos = kPrefixSize;
  while (end - pos >= kEntryHead) {
    std::uint8_t tag = bytes::get<std::uint8_t>(file, pos);
    std::uint16_t len = bytes::get<std::uint16_t>(file, pos + 1);
    std::uint64_t value = pos + kEntryHead;
    if (len > end - value) return invalid("meta TLV entry truncated");
    pos = value + len;
    if (known_width(tag) != len) continue;
    switch (tag) {
      case kDataSegmentSize: f.data_segment_size = bytes::get<std::uint64_t>(file, value); break;
      case kIndexSegmentSize: f.index_segment_size = bytes::get<std::uint64_t>(file, value); break;
      case kCompressLevel: f.compress_level = bytes::get<std::uint8_t>(file, value); break;
      case kCreateTime: f.create_time = bytes::get<std::int64_t>(file, value); break;
      case kIndexContinuous: f.index_continuous = bytes::get<std::uint8_t>(file, value); break;
      case kInitialDataSegmentSize: f.initial_data_segment_size = bytes::get<std::uint64_t>(file, value); break;
      case kInitialIndexSegmentSize: f.initial_index_segment_size = bytes::get<std::uint64_t>(file, value); break;
      case kRetentionWindow: f.retention_window = bytes::get<std::uint64_t>(file, value); break;
      case kCompressType: f.compress_type = bytes::get<std::uint8_t>(file, value); break;
      case kEnableJournal: {
        std::uint8_t v = bytes::get<std::uint8_t>(file, value);
        if (v > 1) return invalid("meta enable_journal must be 0 or 1");
        f.enable_journal = v;
        break;
      }
    }
  }
  if (pos != end) return invalid("meta TLV data has trailing partial entry");
  return f;
}

// An initial size absent or 0 means "start at the full size"; it may never exceed it.
Result<std::uint64_t> initial_size(std::optional<std::uint64_t> initial, std::uint64_t full, const char* message) {
  std::uint64_t v = initial.value_or(0);
  if (v == 0) return full;
  if (v > full) return invalid(message);
  return v;
}

Result<Meta> validate(const Found& f) {
  Meta m;
  if (f.data_segment_size.value_or(0) == 0) return invalid("meta missing data_segment_size");
  m.data_segment_size = *f.data_segment_size;
  if (f.index_segment_size.value_or(0) == 0) return invalid("meta missing index_segment_size");
  m.index_segment_size = *f.index_segment_size;
  m.compress_level = f.compress_level.value_or(0);
  if (m.compress_level > 9) return invalid("meta compress_level must be <= 9");
  if (!f.compress_type) return invalid("meta missing compress_type");
  QV_TRY(compress::check_compress_type(*f.compress_type));
  m.compress_type = *f.compress_type;
  m.index_continuous = f.index_continuous.value_or(0);
  if (m.index_continuous > 1) return invalid("meta index_continuous must be 0 or 1");
  m.initial_data_segment_size = QV_TRY(initial_size(f.initial_data_segment_size, m.data_segment_size,
                                                    "meta initial_data_segment_size exceeds data_segment_size"));
  m.initial_index_segment_size = QV_TRY(initial_size(f.initial_index_segment_size, m.index_segment_size,
                                                     "meta initial_index_segment_size exceeds index_segment_size"));
  m.retention_window = f.retention_window.value_or(0);
  if (m.retention_window > static_cast<std::uint64_t>(INT64_MAX))
    return invalid(text::cat("retention_window must be <= i64::MAX, got ", m.retention_window));
  m.create_time = f.create_time.value_or(0);
  // An absent flag reads as journalled (new datasets default to off, but always write the tag).
  m.enable_journal = f.enable_journal.value_or(1);
  return m;
}

}  // namespace

Status write_meta(const Meta& meta, const fs::Path& path) {
  std::uint8_t image[kFileSize] = {};
  std::span<std::uint8_t> out(image);
  bytes::copy_in(out, 0, bytes::as_bytes(kMagic));
  bytes::put<std::uint16_t>(out, 4, kVersion);
  bytes::put<std::uint16_t>(out, 6, static_cast<std::uint16_t>(kFileSize - kPrefixSize));
  Writer w(out);
  w.u64(kDataSegmentSize, meta.data_segment_size);
  w.u64(kIndexSegmentSize, meta.index_segment_size);
  w.u8(kCompressLevel, meta.compress_level);
  w.u8(kCompressType, meta.compress_type);
  w.u64(kCreateTime, static_cast<std::uint64_t>(meta.create_time));
  w.u8(kIndexContinuous, meta.index_continuous);
  w.u64(kInitialDataSegmentSize, meta.initial_data_segment_size);
  w.u64(kInitialIndexSegmentSize, meta.initial_index_segment_size);
  w.u64(kRetentionWindow, meta.retention_window);
  w.u8(kEnableJournal, meta.enable_journal);
  QV_ASSERT(w.pos() == kFileSize, "meta entries fill the image exactly");
  // Absent or complete, never empty: a create interrupted here must leave a directory that
  // counts as leftovers, not as a dataset that can be neither opened nor created again.
  return fs::write_file_whole(path, out, fs::Sync::Durable);
}

Result<Meta> read_meta(const fs::Path& path) {
  std::vector<std::uint8_t> data = QV_TRY(read_meta_file(path));
  std::span<const std::uint8_t> file(data);
  std::uint16_t len = QV_TRY(payload_length(file));
  if (std::string_view(reinterpret_cast<const char*>(file.data()), kMagic.size()) != kMagic)
    return invalid("invalid meta magic");
  std::uint16_t version = bytes::get<std::uint16_t>(file, 4);
  if (version > kVersion)
    QV_LOG(Warn, "quelvane::meta", "Meta file has version ", version, ", expected ", kVersion);
  QV_TRY(check_holds_payload(file, len));
  Found found = QV_TRY(read_entries(file, kPrefixSize + len));
  return validate(found);
}

Result<std::vector<std::uint8_t>> read_meta_payload(const fs::Path& path) {
  std::vector<std::uint8_t> data = QV_TRY(read_meta_file(path));
  std::span<const std::uint8_t> file(data);
  std::uint16_t len = QV_TRY(payload_length(file));
  QV_TRY(check_holds_payload(file, len));
  auto payload = bytes::slice(file, kPrefixSize, len);
  return std::vector<std::uint8_t>(payload.begin(), payload.end());
}

}  // namespace quelvane::meta
