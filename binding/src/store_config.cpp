#include "store_config.h"

#include <cstdint>
#include <optional>

#include "boundary/entry.h"

namespace quelvane::python {

namespace {

using U64 = Omittable<std::uint64_t>;
using U8 = Omittable<std::uint8_t>;
using Flag = Omittable<bool>;

constexpr Signature<0, 13> kNew{
    "StoreConfig",
    "__new__",
    {},
    0,
    {"flush_interval", "idle_timeout", "data_segment_size", "index_segment_size", "initial_data_segment_size",
     "initial_index_segment_size", "compress_level", "cache_max_memory", "cache_idle_timeout",
     "retention_check_hour", "enable_background_thread", "enable_journal", "read_only"}};

constexpr const char* kClassDoc =
    "StoreConfig(*, flush_interval=15, idle_timeout=1800, data_segment_size=67108864, "
    "index_segment_size=16777216, initial_data_segment_size=262144, initial_index_segment_size=16384, "
    "compress_level=6, cache_max_memory=268435456, cache_idle_timeout=1800, retention_check_hour=0, "
    "enable_background_thread=True, enable_journal=True, read_only=None)\n--\n\n";

std::optional<Duration> seconds(const U64& secs) {
  if (!secs) return std::nullopt;
  return Duration::from_secs(*secs);
}

// Options left out take their defaults when the builder is built; nothing is validated until a
// store opens with the record.
PyResult<quelvane::StoreConfig> construct(PyTypeObject* /*cls*/, U64 flush_interval, U64 idle_timeout,
                                          U64 data_segment_size, U64 index_segment_size,
                                          U64 initial_data_segment_size, U64 initial_index_segment_size,
                                          U8 compress_level, U64 cache_max_memory, U64 cache_idle_timeout,
                                          U8 retention_check_hour, Flag enable_background_thread,
                                          Flag enable_journal, std::optional<bool> read_only) {
  StoreConfigBuilder builder;
  builder.flush_interval = seconds(flush_interval);
  builder.idle_timeout = seconds(idle_timeout);
  builder.data_segment_size = data_segment_size;
  builder.index_segment_size = index_segment_size;
  builder.initial_data_segment_size = initial_data_segment_size;
  builder.initial_index_segment_size = initial_index_segment_size;
  if (compress_level) builder.set_compress_level(*compress_level);
  builder.cache_max_memory = cache_max_memory;
  builder.cache_idle_timeout = seconds(cache_idle_timeout);
  if (retention_check_hour) builder.set_retention_check_hour(*retention_check_hour);
  builder.enable_background_thread = enable_background_thread;
  builder.enable_journal = enable_journal;
  builder.read_only.emplace(read_only);
  return builder.build();
}

PyResult<PyRef> make_default(PyTypeObject* /*cls*/) { return wrap<StoreConfigClass>(quelvane::StoreConfig{}); }

using Cfg = const quelvane::StoreConfig&;

PyMethodDef kMethods[] = {
    class_method_noargs<&make_default>("default", "default($cls)\n--\n\n"),
    {},
};

// Durations read back as whole seconds.
PyGetSetDef kProperties[] = {
    property<StoreConfigClass, [](Cfg c) { return c.flush_interval.secs; }>("flush_interval"),
    property<StoreConfigClass, [](Cfg c) { return c.idle_timeout.secs; }>("idle_timeout"),
    property<StoreConfigClass, [](Cfg c) { return c.data_segment_size; }>("data_segment_size"),
    property<StoreConfigClass, [](Cfg c) { return c.index_segment_size; }>("index_segment_size"),
    property<StoreConfigClass, [](Cfg c) { return c.initial_data_segment_size; }>("initial_data_segment_size"),
    property<StoreConfigClass, [](Cfg c) { return c.initial_index_segment_size; }>("initial_index_segment_size"),
    property<StoreConfigClass, [](Cfg c) { return c.compress_level; }>("compress_level"),
    property<StoreConfigClass, [](Cfg c) { return c.cache_max_memory; }>("cache_max_memory"),
    property<StoreConfigClass, [](Cfg c) { return c.cache_idle_timeout.secs; }>("cache_idle_timeout"),
    property<StoreConfigClass, [](Cfg c) { return c.retention_check_hour; }>("retention_check_hour"),
    property<StoreConfigClass, [](Cfg c) { return c.enable_background_thread; }>("enable_background_thread"),
    property<StoreConfigClass, [](Cfg c) { return c.enable_journal; }>("enable_journal"),
    property<StoreConfigClass, [](Cfg c) { return c.read_only; }>("read_only"),
    {},
};

}  // namespace

ClassMembers StoreConfigClass::members() {
  return {
      .doc = kClassDoc,
      .methods = kMethods,
      .properties = kProperties,
      .tp_new = &constructor_entry<StoreConfigClass, kNew, &construct>,
  };
}

}  // namespace quelvane::python
