#include "kelmarion_core/logging.h"

#include <atomic>
#include <spdlog/spdlog.h>

namespace kelmarion::core::logging {
namespace {

// Read on every message and replaced rarely: an atomic shared_ptr keeps both cheap
// and race-free.
std::atomic<std::shared_ptr<spdlog::logger>>& configured_logger() {
  static std::atomic<std::shared_ptr<spdlog::logger>> instance;
  return instance;
}

std::shared_ptr<spdlog::logger> current_logger() {
  auto logger = configured_logger().load();
  return logger ? logger : spdlog::default_logger();
}

constexpr std::string_view separator_line =
    "------------------------------------------------------------";

}  // namespace

void debug(std::string_view text) { current_logger()->debug(text); }

void warn(std::string_view text) { current_logger()->warn(text); }

void debug_line() { current_logger()->debug(separator_line); }

bool debug_enabled() { return current_logger()->should_log(spdlog::level::debug); }

void set_logger(std::shared_ptr<spdlog::logger> logger) {
  configured_logger().store(std::move(logger));
}

}  // namespace kelmarion::core::logging
