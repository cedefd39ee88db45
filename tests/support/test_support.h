#pragma once

// Shared test helpers: temporary directories, driving coroutines to completion,
// capturing the library's log lines, and the PostgreSQL server the test command
// starts.

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelmarion::testing {

// A fresh directory under the system temp dir, removed with everything in it.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir(TempDir&&) = delete;
  TempDir& operator=(TempDir&&) = delete;
  ~TempDir();
  [[nodiscard]] const std::filesystem::path& path() const noexcept { return _path; }

 private:
  std::filesystem::path _path;
};

// Runs an awaitable on a private io_context until it completes and returns its
// result; an exception from the coroutine is rethrown here.
template <typename T>
T run(asio::awaitable<T> task) {
  asio::io_context context;
  auto future = asio::co_spawn(context, std::move(task), asio::use_future);
  context.run();
  return future.get();
}

// The URL of the PostgreSQL server the test command started (environment
// variable KELMARION_TEST_PG_URL, a libpq URI), or nullopt when none is configured.
[[nodiscard]] std::optional<std::string> postgresql_test_url();

// Collects every message the library logs while it is alive, at debug level, in
// order. Only one may exist at a time.
class LogCapture {
 public:
  LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  LogCapture(LogCapture&&) = delete;
  LogCapture& operator=(LogCapture&&) = delete;
  ~LogCapture();
  [[nodiscard]] std::vector<std::string> lines() const;

 private:
  struct State;
  std::shared_ptr<State> _state;
};

}  // namespace kelmarion::testing
