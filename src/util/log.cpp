#include "log.h"

#include <atomic>
#include <mutex>

namespace quelvane::log {

namespace {

struct Facade {
  std::atomic<int> max_level{static_cast<int>(Level::Off)};
  std::mutex mutex;
  Sink sink;
};

// Never destroyed: the background worker may still log while the process exits.
Facade& facade() {
  static Facade* f = new Facade();
  return *f;
}

}  // namespace

bool enabled(Level level) {
  return static_cast<int>(level) <= facade().max_level.load(std::memory_order_relaxed) && level != Level::Off;
}

void emit(Level level, std::string_view target, std::string_view text) {
  Facade& f = facade();
  std::lock_guard<std::mutex> l(f.mutex);
  if (f.sink) f.sink(level, target, text);
}

void set_sink(Sink sink, Level max_level) {
  Facade& f = facade();
  std::lock_guard<std::mutex> l(f.mutex);
  f.sink = std::move(sink);
  f.max_level.store(f.sink ? static_cast<int>(max_level) : static_cast<int>(Level::Off), std::memory_order_relaxed);
}

}  // namespace quelvane::log
