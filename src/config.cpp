#include "config.h"

#include <algorithm>
#include <limits>

#include "compress.h"
#include "util/text.h"

namespace quelvane {

namespace {

constexpr std::uint64_t kI64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::unexpected<Error> retention_too_large(std::uint64_t window) {
  return fail(Error::invalid_data(text::cat("retention_window must be <= i64::MAX, got ", window)));
}

}  // namespace

namespace config {

Status validate_dataset_options(const DatasetOptions& o) {
  auto positive = [](std::uint64_t v, const char* name) -> Status {
    if (v == 0) return fail(Error::invalid_data(text::cat(name, " must be > 0")));
    return {};
  };
  QV_TRY(positive(o.data_segment_size, "data_segment_size"));
  QV_TRY(positive(o.index_segment_size, "index_segment_size"));
  QV_TRY(positive(o.initial_data_segment_size, "initial_data_segment_size"));
  QV_TRY(positive(o.initial_index_segment_size, "initial_index_segment_size"));
  if (o.initial_data_segment_size > o.data_segment_size)
    return fail(Error::invalid_data(text::cat("initial_data_segment_size must be <= data_segment_size, got ",
                                              o.initial_data_segment_size, " > ", o.data_segment_size)));
  if (o.initial_index_segment_size > o.index_segment_size)
    return fail(Error::invalid_data(text::cat("initial_index_segment_size must be <= index_segment_size, got ",
                                              o.initial_index_segment_size, " > ", o.index_segment_size)));
  if (o.compress_level > 9)
    return fail(Error::invalid_data(text::cat("compress_level must be <= 9, got ", o.compress_level)));
  QV_TRY(compress::check_compress_type(o.compress_type));
  if (o.index_continuous > 1)
    return fail(Error::invalid_data(text::cat("index_continuous must be 0 or 1, got ", o.index_continuous)));
  if (o.retention_window > kI64Max) return retention_too_large(o.retention_window);
  return {};
}

}  // namespace config

Status StoreConfig::validate() const {
  QV_TRY(config::validate_dataset_options({
      .data_segment_size = data_segment_size,
      .index_segment_size = index_segment_size,
      .compress_level = compress_level,
      .compress_type = compress_type,
      .index_continuous = 0,
      .initial_data_segment_size = initial_data_segment_size,
      .initial_index_segment_size = initial_index_segment_size,
      .retention_window = 0,
  }));
  if (retention_check_hour > 23)
    return fail(Error::invalid_data(text::cat("retention_check_hour must be <= 23, got ", retention_check_hour)));
  return {};
}

StoreConfigBuilder& StoreConfigBuilder::set_compress_level(std::uint8_t level) {
  compress_level_ = std::min<std::uint8_t>(level, 9);
  return *this;
}

StoreConfigBuilder& StoreConfigBuilder::set_retention_check_hour(std::uint8_t hour) {
  retention_check_hour_ = std::min<std::uint8_t>(hour, 23);
  return *this;
}

StoreConfig StoreConfigBuilder::build() const {
  StoreConfig c;
  c.flush_interval = flush_interval.value_or(c.flush_interval);
  c.idle_timeout = idle_timeout.value_or(c.idle_timeout);
  c.cache_idle_timeout = cache_idle_timeout.value_or(c.cache_idle_timeout);
  c.data_segment_size = data_segment_size.value_or(c.data_segment_size);
  c.index_segment_size = index_segment_size.value_or(c.index_segment_size);
  c.initial_data_segment_size = initial_data_segment_size.value_or(c.initial_data_segment_size);
  c.initial_index_segment_size = initial_index_segment_size.value_or(c.initial_index_segment_size);
  c.cache_max_memory = cache_max_memory.value_or(c.cache_max_memory);
  c.enable_background_thread = enable_background_thread.value_or(c.enable_background_thread);
  c.enable_journal = enable_journal.value_or(c.enable_journal);
  c.read_only = read_only.value_or(ReadOnlyMode{});
  c.compress_level = compress_level_.value_or(c.compress_level);
  c.compress_type = compress_type.value_or(c.compress_type);
  c.retention_check_hour = retention_check_hour_.value_or(c.retention_check_hour);
  return c;
}

DataSetConfigBuilder& DataSetConfigBuilder::set_compress_level(std::uint8_t level) {
  compress_level_ = std::min<std::uint8_t>(level, 9);
  return *this;
}

DataSetConfigBuilder& DataSetConfigBuilder::set_index_continuous(bool continuous) {
  index_continuous_ = continuous;
  return *this;
}

Result<DataSetConfig> DataSetConfigBuilder::build() const {
  if (retention_window && *retention_window > kI64Max) return retention_too_large(*retention_window);
  DataSetConfig c;
  c.data_segment_size = data_segment_size.value_or(c.data_segment_size);
  c.index_segment_size = index_segment_size.value_or(c.index_segment_size);
  c.initial_data_segment_size = initial_data_segment_size.value_or(c.initial_data_segment_size);
  c.initial_index_segment_size = initial_index_segment_size.value_or(c.initial_index_segment_size);
  c.retention_window = retention_window.value_or(0);
  c.compress_level = compress_level_.value_or(c.compress_level);
  c.compress_type = compress_type.value_or(c.compress_type);
  c.index_continuous = index_continuous_.value_or(false) ? 1 : 0;
  c.enable_journal = enable_journal;
  QV_TRY(config::validate_dataset_options(config::options_of(c)));
  return c;
}

}  // namespace quelvane
