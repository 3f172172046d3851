// The meta file: a dataset's configuration, written once at creation as a small
// tag-length-value file and validated every time the dataset opens.
#pragma once

#include <cstdint>
#include <vector>

#include "error.h"
#include "util/fs.h"

namespace quelvane::meta {

inline constexpr std::uint16_t kVersion = 1;
// 8-byte prefix (magic, version, payload length) plus the ten entries the writer emits.
inline constexpr std::uint64_t kPrefixSize = 8;
inline constexpr std::uint64_t kFileSize = 90;

struct Meta {
  std::uint64_t data_segment_size = 0;
  std::uint64_t index_segment_size = 0;
  std::int64_t create_time = 0;  // Unix milliseconds
  std::uint64_t initial_data_segment_size = 0;
  std::uint64_t initial_index_segment_size = 0;
  std::uint64_t retention_window = 0;  // 0 means none
  std::uint8_t compress_level = 0;
  std::uint8_t compress_type = 0;
  std::uint8_t index_continuous = 0;
  std::uint8_t enable_journal = 0;

  bool operator==(const Meta&) const = default;
};

// Writes the whole image under a temporary name, then renames it into place; no sync.
Status write_meta(const Meta& meta, const fs::Path& path);
// Reads and validates; every content failure is Error::InvalidData naming the first bad field.
Result<Meta> read_meta(const fs::Path& path);
// The raw entry bytes after the prefix, exactly as long as the prefix says; nothing else is
// checked.
Result<std::vector<std::uint8_t>> read_meta_payload(const fs::Path& path);

}  // namespace quelvane::meta
