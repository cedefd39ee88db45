#pragma once

// Runs one coroutine of the tool to completion on its own io_context, the way a
// host embeds the library: co_spawn, run the context, then hand back the result
// or rethrow the coroutine's exception.

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace kelmarion::apps {

namespace detail {
template <typename T>
asio::awaitable<void> keep_result(asio::awaitable<T> task, std::optional<T>& result) {
  auto value = co_await std::move(task);
  result.emplace(std::move(value));
}
}  // namespace detail

// The coroutine's result; its exception is rethrown here. Blocks the calling
// thread, which runs every step of the coroutine. The completion is a plain
// handler, not use_future: a future's promise completes through Asio's system
// executor, whose thread pool starts at first use and, when a thread cannot be
// made (little memory), waits forever for the threads it did start.
template <typename T>
T run_coroutine(asio::awaitable<T> task) {
  asio::io_context context;
  std::exception_ptr failure;
  const auto keep_failure = [&failure](const std::exception_ptr& error) { failure = error; };
  if constexpr (std::is_void_v<T>) {
    asio::co_spawn(context, std::move(task), keep_failure);
    context.run();
    if (failure) std::rethrow_exception(failure);
  } else {
    // The results (records) have no default constructor.
    std::optional<T> result;
    asio::co_spawn(context, detail::keep_result(std::move(task), result), keep_failure);
    context.run();
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

}  // namespace kelmarion::apps
