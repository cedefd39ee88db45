#pragma once

// Shared test helpers: temporary directories, driving coroutines to completion,
// capturing the library's log lines, and the PostgreSQL server the test command
// starts.

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
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

namespace detail {
template <typename T>
asio::awaitable<void> keep_result(asio::awaitable<T> task, std::optional<T>& result) {
  result.emplace(co_await std::move(task));
}
}  // namespace detail

// Runs an awaitable on a private io_context until it completes and returns its
// result; an exception from the coroutine is rethrown here. The completion runs
// on that io_context (asio::use_future would hand it to a pool thread, which a
// forked child process does not have).
template <typename T>
T run(asio::awaitable<T> task) {
  asio::io_context context;
  std::exception_ptr failure;
  const auto keep_failure = [&failure](std::exception_ptr error) { failure = std::move(error); };
  if constexpr (std::is_void_v<T>) {
    asio::co_spawn(context, std::move(task), keep_failure);
    context.run();
    if (failure) std::rethrow_exception(failure);
  } else {
    // Results need not be default-constructible.
    std::optional<T> result;
    asio::co_spawn(context, detail::keep_result(std::move(task), result), keep_failure);
    context.run();
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

// The URL of the PostgreSQL server the test command started (environment
// variable KELMARION_TEST_PG_URL, a libpq URI), or nullopt when none is configured.
[[nodiscard]] std::optional<std::string> postgresql_test_url();

// A name no other test uses: `prefix`, an underscore and random digits.
[[nodiscard]] std::string unique_name(const std::string& prefix);

// Runs `sql` on the PostgreSQL server at `url` with a connection of its own;
// fails the test with the server's message when it fails.
void postgresql_execute(const std::string& url, const std::string& sql);

// Collects the messages the library logs while it is alive, in order: all of
// them, or only warnings and worse (what the tool shows unless asked to be
// verbose). Only one may exist at a time.
class LogCapture {
 public:
  enum class Level { debug, warning };

  explicit LogCapture(Level level = Level::debug);
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
