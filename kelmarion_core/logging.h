#pragma once

// The library's progress log. Every message goes to one spdlog logger: progress
// at debug level, and at warning level what a user should know because a result
// is less than asked for (a part of it is unknown). The library never creates
// sinks or sets levels, that is the host's business (see apps/). By default the
// messages go to spdlog's default logger; set_logger() sends them elsewhere.
// Safe to call from any thread.

#include <memory>
#include <string_view>

namespace spdlog {
class logger;
}

namespace kelmarion::core::logging {

// Writes `text` at debug level.
void debug(std::string_view text);

// Writes `text` at warning level.
void warn(std::string_view text);

// Writes a separator line at debug level, to set off the start of a larger step.
void debug_line();

// True when a debug message would be written; lets callers skip building one.
[[nodiscard]] bool debug_enabled();

// Sends the library's messages to `logger` from now on; nullptr restores
// spdlog's default logger.
void set_logger(std::shared_ptr<spdlog::logger> logger);

}  // namespace kelmarion::core::logging
