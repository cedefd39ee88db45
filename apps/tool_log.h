#pragma once

// The tool's log: the library writes its progress messages at debug level (see
// kelmarion_core/logging.h); the tool sends them to stderr, shown with -v and
// dropped otherwise. Only the tool sets up sinks and levels.

#include <memory>

namespace spdlog {
class logger;
}

namespace kelmarion::apps {

// Creates the tool's logger (a stderr sink, "[debug] text" lines, the text
// through escaped_text()) and hands it
// to the library. With `verbose` the debug messages are shown; without it only
// warnings and errors. Call once, before a command runs.
void configure_logging(bool verbose);

// The logger configure_logging() made; null before.
[[nodiscard]] std::shared_ptr<spdlog::logger> tool_logger();

}  // namespace kelmarion::apps
