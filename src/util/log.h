// The logging facade: levels error, warn and info, a target per module. It starts off and
// without a sink, so nothing is formatted unless a sink is installed and the level raised.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "text.h"

namespace quelvane::log {

enum class Level { Off = 0, Error = 1, Warn = 2, Info = 3 };

using Sink = std::function<void(Level, std::string_view target, std::string_view text)>;

bool enabled(Level level);
void emit(Level level, std::string_view target, std::string_view text);
// Installs a sink and the most verbose level it receives (tests and embedding programs).
void set_sink(Sink sink, Level max_level);

}  // namespace quelvane::log

// QV_LOG(Warn, "quelvane::header", "File has version ", v, " but we know ", 1, ...)
#define QV_LOG(level, target, ...)                                                      \
  do {                                                                                  \
    if (::quelvane::log::enabled(::quelvane::log::Level::level)) [[unlikely]]           \
      ::quelvane::log::emit(::quelvane::log::Level::level, target, ::quelvane::text::cat(__VA_ARGS__)); \
  } while (0)
