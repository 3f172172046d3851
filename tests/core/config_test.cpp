#include "config.h"

#include <gtest/gtest.h>

#include <limits>

namespace quelvane {
namespace {

constexpr std::uint64_t kI64Max = std::numeric_limits<std::int64_t>::max();

TEST(StoreConfigBuilder, UnsetOptionsTakeTheDefaults) {
  StoreConfig c = StoreConfigBuilder{}.build();
  EXPECT_EQ(c.flush_interval, Duration::from_secs(15));
  EXPECT_EQ(c.idle_timeout, Duration::from_secs(1800));
  EXPECT_EQ(c.cache_idle_timeout, Duration::from_secs(1800));
  EXPECT_EQ(c.data_segment_size, 67'108'864u);
  EXPECT_EQ(c.index_segment_size, 16'777'216u);
  EXPECT_EQ(c.initial_data_segment_size, 262'144u);
  EXPECT_EQ(c.initial_index_segment_size, 16'384u);
  EXPECT_EQ(c.cache_max_memory, 268'435'456u);
  EXPECT_TRUE(c.enable_background_thread);
  EXPECT_TRUE(c.enable_journal);
  EXPECT_FALSE(c.read_only.has_value());
  EXPECT_EQ(c.compress_level, 6);
  EXPECT_EQ(c.compress_type, 0);
  EXPECT_EQ(c.retention_check_hour, 0);
  EXPECT_TRUE(c.validate().has_value());
}

TEST(StoreConfigBuilder, ClampsSilentlyAndKeepsTheThreeReadOnlyStates) {
  StoreConfigBuilder b;
  b.set_compress_level(12).set_retention_check_hour(40);
  b.read_only = ReadOnlyMode{false};
  b.flush_interval = Duration{std::numeric_limits<std::uint64_t>::max(), 0};
  StoreConfig c = b.build();
  EXPECT_EQ(c.compress_level, 9);
  EXPECT_EQ(c.retention_check_hour, 23);
  ASSERT_TRUE(c.read_only.has_value());
  EXPECT_FALSE(*c.read_only);
  EXPECT_EQ(c.flush_interval.secs, std::numeric_limits<std::uint64_t>::max());
  EXPECT_TRUE(c.validate().has_value());
}

std::string validation_message(const StoreConfig& c) {
  auto r = c.validate();
  return r ? "ok" : r.error().display();
}

TEST(StoreConfigValidate, ChecksRunInOrderAndTheFirstFailureWins) {
  struct Case {
    const char* name;
    void (*edit)(StoreConfig&);
    const char* message;
  };
  const Case cases[] = {
      {"data size 0", [](StoreConfig& c) { c.data_segment_size = 0; }, "invalid data: data_segment_size must be > 0"},
      {"data and initial data 0",
       [](StoreConfig& c) {
         c.data_segment_size = 0;
         c.initial_data_segment_size = 0;
       },
       "invalid data: data_segment_size must be > 0"},
      {"index 0 beats initial data 0",
       [](StoreConfig& c) {
         c.index_segment_size = 0;
         c.initial_data_segment_size = 0;
       },
       "invalid data: index_segment_size must be > 0"},
      {"initial data 0", [](StoreConfig& c) { c.initial_data_segment_size = 0; },
       "invalid data: initial_data_segment_size must be > 0"},
      {"initial index 0", [](StoreConfig& c) { c.initial_index_segment_size = 0; },
       "invalid data: initial_index_segment_size must be > 0"},
      {"initial data equal passes",
       [](StoreConfig& c) { c.initial_data_segment_size = c.data_segment_size; }, "ok"},
      {"initial data one above",
       [](StoreConfig& c) { c.initial_data_segment_size = c.data_segment_size + 1; },
       "invalid data: initial_data_segment_size must be <= data_segment_size, got 67108865 > 67108864"},
      {"initial index above",
       [](StoreConfig& c) { c.initial_index_segment_size = 20'000'000; },
       "invalid data: initial_index_segment_size must be <= index_segment_size, got 20000000 > 16777216"},
      {"level 10", [](StoreConfig& c) { c.compress_level = 10; }, "invalid data: compress_level must be <= 9, got 10"},
      {"type 2", [](StoreConfig& c) { c.compress_type = 2; }, "invalid data: unknown compress_type 2"},
      {"hour 24", [](StoreConfig& c) { c.retention_check_hour = 24; },
       "invalid data: retention_check_hour must be <= 23, got 24"},
      {"initial data 100 passes here", [](StoreConfig& c) { c.initial_data_segment_size = 100; }, "ok"},
  };
  for (const auto& tc : cases) {
    StoreConfig c;
    tc.edit(c);
    EXPECT_EQ(validation_message(c), tc.message) << tc.name;
  }
}

TEST(DataSetConfigBuilder, ResolvesDefaultsAndValidates) {
  DataSetConfigBuilder b(true);
  b.set_compress_level(200).set_index_continuous(true);
  auto c = b.build();
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->compress_level, 9);
  EXPECT_EQ(c->index_continuous, 1);
  EXPECT_TRUE(c->enable_journal);
  EXPECT_EQ(c->data_segment_size, 67'108'864u);
  EXPECT_EQ(c->retention_window, 0u);

  DataSetConfigBuilder bad(false);
  bad.initial_index_segment_size = 0;
  EXPECT_EQ(bad.build().error().display(), "invalid data: initial_index_segment_size must be > 0");
}

TEST(DataSetConfigBuilder, TheRetentionCheckRunsBeforeEveryOther) {
  DataSetConfigBuilder b(false);
  b.retention_window = kI64Max + 1;
  b.data_segment_size = 0;
  b.index_segment_size = 0;
  b.initial_data_segment_size = 0;
  b.initial_index_segment_size = 0;
  EXPECT_EQ(b.build().error().display(),
            "invalid data: retention_window must be <= i64::MAX, got 9223372036854775808");
  b.retention_window = kI64Max;
  EXPECT_EQ(b.build().error().display(), "invalid data: data_segment_size must be > 0");
}

TEST(ValidateDatasetOptions, IndexContinuousAndRetentionBounds) {
  config::DatasetOptions o{.data_segment_size = 1024,
                           .index_segment_size = 1024,
                           .compress_level = 0,
                           .compress_type = 1,
                           .index_continuous = 2,
                           .initial_data_segment_size = 1024,
                           .initial_index_segment_size = 1024,
                           .retention_window = kI64Max + 1};
  EXPECT_EQ(config::validate_dataset_options(o).error().display(),
            "invalid data: index_continuous must be 0 or 1, got 2");
  o.index_continuous = 1;
  EXPECT_EQ(config::validate_dataset_options(o).error().display(),
            "invalid data: retention_window must be <= i64::MAX, got 9223372036854775808");
  o.retention_window = kI64Max;
  EXPECT_TRUE(config::validate_dataset_options(o).has_value());
}

}  // namespace
}  // namespace quelvane
