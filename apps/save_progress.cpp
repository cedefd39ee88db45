#include "apps/save_progress.h"

#include <fmt/format.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "apps/tool_log.h"

namespace kelmarion::apps {
namespace {

constexpr std::string_view table_message_prefix = "正在处理表: ";

void clear_progress_line() {
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

class ProgressSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 public:
  explicit ProgressSink(std::size_t total) : _total(total) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    const std::string_view payload(message.payload.data(), message.payload.size());
    if (!payload.starts_with(table_message_prefix)) return;
    ++_saved;
    std::fputs(fmt::format("\rsaving tables: {}/{}", std::min(_saved, _total), _total).c_str(),
               stderr);
    std::fflush(stderr);
  }
  void flush_() override {}

 private:
  std::size_t _total;
  std::size_t _saved = 0;
};

}  // namespace

SaveProgress::SaveProgress(std::size_t table_count, bool verbose) {
  auto logger = tool_logger();
  if (verbose || logger == nullptr || table_count <= progress_table_threshold ||
      isatty(STDERR_FILENO) == 0) {
    return;
  }
  auto sink = std::make_shared<ProgressSink>(table_count);
  sink->set_level(spdlog::level::debug);
  logger->sinks().push_back(sink);
  _previous_level = static_cast<int>(logger->level());
  logger->set_level(spdlog::level::debug);
  _sink = std::move(sink);
}

SaveProgress::~SaveProgress() {
  if (!_sink) return;
  if (auto logger = tool_logger()) {
    auto& sinks = logger->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), _sink), sinks.end());
    logger->set_level(static_cast<spdlog::level::level_enum>(_previous_level));
  }
  clear_progress_line();
}

}  // namespace kelmarion::apps
