#include "support/test_support.h"

#include <cstdlib>
#include <libpq-fe.h>
#include <mutex>
#include <random>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <stdexcept>

#include "kelmarion_core/logging.h"

namespace kelmarion::testing {

TempDir::TempDir() {
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("kelmarion-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) {
      _path = std::move(candidate);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;  // best effort: a leftover temp dir must not fail a test
  std::filesystem::remove_all(_path, ignored);
}

std::optional<std::string> postgresql_test_url() {
  const char* url = std::getenv("KELMARION_TEST_PG_URL");
  if (url == nullptr || *url == '\0') return std::nullopt;
  return std::string(url);
}

std::string unique_name(const std::string& prefix) {
  static std::mt19937_64 random{std::random_device{}()};
  return prefix + "_" + std::to_string(random() % 1000000000000ULL);
}

void postgresql_execute(const std::string& url, const std::string& sql) {
  PGconn* connection = PQconnectdb(url.c_str());
  if (PQstatus(connection) != CONNECTION_OK) {
    const std::string message = PQerrorMessage(connection);
    PQfinish(connection);
    throw std::runtime_error("cannot reach the test PostgreSQL server: " + message);
  }
  PQsetNoticeProcessor(connection, [](void* /*context*/, const char* /*message*/) {}, nullptr);
  PGresult* result = PQexec(connection, sql.c_str());
  const auto status = PQresultStatus(result);
  const std::string message = PQresultErrorMessage(result);
  PQclear(result);
  PQfinish(connection);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error("test SQL failed: " + sql + ": " + message);
  }
}

namespace {

class CollectingSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> messages() {
    const std::lock_guard lock(mutex_);
    return _messages;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    _messages.emplace_back(message.payload.data(), message.payload.size());
  }
  void flush_() override {}

 private:
  std::vector<std::string> _messages;
};

}  // namespace

struct LogCapture::State {
  std::shared_ptr<CollectingSink> sink = std::make_shared<CollectingSink>();
};

LogCapture::LogCapture(Level level) : _state(std::make_shared<State>()) {
  auto logger = std::make_shared<spdlog::logger>("kelmarion-test", _state->sink);
  logger->set_level(level == Level::debug ? spdlog::level::debug : spdlog::level::warn);
  core::logging::set_logger(std::move(logger));
}

LogCapture::~LogCapture() { core::logging::set_logger(nullptr); }

std::vector<std::string> LogCapture::lines() const { return _state->sink->messages(); }

}  // namespace kelmarion::testing
