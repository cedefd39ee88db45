#include "apps/tool_log.h"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <string_view>

#include "apps/escaped_text.h"
#include "kelmarion_core/logging.h"

namespace kelmarion::apps {
namespace {

// spdlog's stderr sink, with each message's text escaped: the library logs
// names as the database holds them.
class EscapingStderrSink final : public spdlog::sinks::stderr_sink_st {
 public:
  void log(const spdlog::details::log_msg& message) override {
    const auto text =
        escaped_text(std::string_view(message.payload.data(), message.payload.size()));
    auto escaped = message;
    escaped.payload = text;
    spdlog::sinks::stderr_sink_st::log(escaped);
  }
};

std::shared_ptr<spdlog::logger>& logger_instance() {
  static std::shared_ptr<spdlog::logger> instance;
  return instance;
}

}  // namespace

void configure_logging(bool verbose) {
  const auto level = verbose ? spdlog::level::debug : spdlog::level::warn;
  auto stderr_sink = std::make_shared<EscapingStderrSink>();
  stderr_sink->set_level(level);
  auto logger = std::make_shared<spdlog::logger>("kelmarion-meta", std::move(stderr_sink));
  logger->set_pattern("[%l] %v");
  logger->set_level(level);
  logger->flush_on(spdlog::level::debug);
  core::logging::set_logger(logger);
  logger_instance() = std::move(logger);
}

std::shared_ptr<spdlog::logger> tool_logger() { return logger_instance(); }

}  // namespace kelmarion::apps
