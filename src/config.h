// The store's and a dataset's options: defaults, the builders' silent clamps, and the checks.
#pragma once

#include <cstdint>
#include <optional>

#include "error.h"
#include "util/time.h"

namespace quelvane {

namespace defaults {
inline constexpr Duration kFlushInterval = Duration::from_secs(15);
inline constexpr Duration kIdleTimeout = Duration::from_secs(1800);
inline constexpr Duration kCacheIdleTimeout = Duration::from_secs(1800);
inline constexpr std::uint64_t kDataSegmentSize = 64ull << 20;
inline constexpr std::uint64_t kIndexSegmentSize = 16ull << 20;
inline constexpr std::uint64_t kInitialDataSegmentSize = 256ull << 10;
inline constexpr std::uint64_t kInitialIndexSegmentSize = 16ull << 10;
inline constexpr std::uint64_t kCacheMaxMemory = 256ull << 20;
inline constexpr std::uint8_t kCompressLevel = 6;
inline constexpr std::uint8_t kCompressType = 0;
inline constexpr std::uint8_t kRetentionCheckHour = 0;
}  // namespace defaults

// read_only: not set (nullopt) means read-only only when the lock is held elsewhere.
using ReadOnlyMode = std::optional<bool>;

struct StoreConfig {
  Duration flush_interval = defaults::kFlushInterval;
  Duration idle_timeout = defaults::kIdleTimeout;
  Duration cache_idle_timeout = defaults::kCacheIdleTimeout;
  std::uint64_t data_segment_size = defaults::kDataSegmentSize;
  std::uint64_t index_segment_size = defaults::kIndexSegmentSize;
  std::uint64_t initial_data_segment_size = defaults::kInitialDataSegmentSize;
  std::uint64_t initial_index_segment_size = defaults::kInitialIndexSegmentSize;
  std::uint64_t cache_max_memory = defaults::kCacheMaxMemory;
  bool enable_background_thread = true;
  bool enable_journal = true;
  ReadOnlyMode read_only;
  std::uint8_t compress_level = defaults::kCompressLevel;
  std::uint8_t compress_type = defaults::kCompressType;
  std::uint8_t retention_check_hour = defaults::kRetentionCheckHour;

  Status validate() const;
  bool operator==(const StoreConfig&) const = default;
};

class StoreConfigBuilder {
 public:
  std::optional<Duration> flush_interval;
  std::optional<Duration> idle_timeout;
  std::optional<Duration> cache_idle_timeout;
  std::optional<std::uint64_t> data_segment_size;
  std::optional<std::uint64_t> index_segment_size;
  std::optional<std::uint64_t> initial_data_segment_size;
  std::optional<std::uint64_t> initial_index_segment_size;
  std::optional<std::uint64_t> cache_max_memory;
  std::optional<bool> enable_background_thread;
  std::optional<bool> enable_journal;
  std::optional<ReadOnlyMode> read_only;
  std::optional<std::uint8_t> compress_type;

  // Stores min(level, 9).
  StoreConfigBuilder& set_compress_level(std::uint8_t level);
  // Stores min(hour, 23).
  StoreConfigBuilder& set_retention_check_hour(std::uint8_t hour);

  StoreConfig build() const;

 private:
  std::optional<std::uint8_t> compress_level_;
  std::optional<std::uint8_t> retention_check_hour_;
};

struct DataSetConfig {
  std::uint64_t data_segment_size = defaults::kDataSegmentSize;
  std::uint64_t index_segment_size = defaults::kIndexSegmentSize;
  std::uint64_t initial_data_segment_size = defaults::kInitialDataSegmentSize;
  std::uint64_t initial_index_segment_size = defaults::kInitialIndexSegmentSize;
  std::uint64_t retention_window = 0;  // in the dataset's timestamp unit; 0 means none
  std::uint8_t compress_level = defaults::kCompressLevel;
  std::uint8_t compress_type = defaults::kCompressType;
  std::uint8_t index_continuous = 0;
  bool enable_journal = false;

  bool operator==(const DataSetConfig&) const = default;
};

class DataSetConfigBuilder {
 public:
  explicit DataSetConfigBuilder(bool enable_journal) : enable_journal(enable_journal) {}

  std::optional<std::uint64_t> data_segment_size;
  std::optional<std::uint64_t> index_segment_size;
  std::optional<std::uint64_t> initial_data_segment_size;
  std::optional<std::uint64_t> initial_index_segment_size;
  std::optional<std::uint64_t> retention_window;
  std::optional<std::uint8_t> compress_type;
  bool enable_journal;

  // Stores min(level, 9).
  DataSetConfigBuilder& set_compress_level(std::uint8_t level);
  DataSetConfigBuilder& set_index_continuous(bool continuous);

  Result<DataSetConfig> build() const;

 private:
  std::optional<std::uint8_t> compress_level_;
  std::optional<bool> index_continuous_;
};

namespace config {

// The options every dataset is checked against; named fields so no call site can swap two
// of the six u64 sizes.
struct DatasetOptions {
  std::uint64_t data_segment_size;
  std::uint64_t index_segment_size;
  std::uint8_t compress_level;
  std::uint8_t compress_type;
  std::uint8_t index_continuous;
  std::uint64_t initial_data_segment_size;
  std::uint64_t initial_index_segment_size;
  std::uint64_t retention_window;
};

// The options of any record that carries them under these names (DataSetConfig, the meta record).
template <class Record>
DatasetOptions options_of(const Record& r) {
  return {.data_segment_size = r.data_segment_size,
          .index_segment_size = r.index_segment_size,
          .compress_level = r.compress_level,
          .compress_type = r.compress_type,
          .index_continuous = r.index_continuous,
          .initial_data_segment_size = r.initial_data_segment_size,
          .initial_index_segment_size = r.initial_index_segment_size,
          .retention_window = r.retention_window};
}

// The ten checks, in their order; the first failure is reported.
Status validate_dataset_options(const DatasetOptions& o);

}  // namespace config

}  // namespace quelvane
