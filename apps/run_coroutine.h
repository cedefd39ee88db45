#pragma once

// Runs one coroutine of the tool to completion on its own io_context, the way a
// host embeds the library: co_spawn with use_future, run the context, then get()
// the result, which rethrows the coroutine's exception.

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
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
// thread, which runs every step of the coroutine.
template <typename T>
T run_coroutine(asio::awaitable<T> task) {
  asio::io_context context;
  if constexpr (std::is_void_v<T>) {
    auto done = asio::co_spawn(context, std::move(task), asio::use_future);
    context.run();
    done.get();
  } else {
    // The results (records) have no default constructor, as use_future would need.
    std::optional<T> result;
    auto done =
        asio::co_spawn(context, detail::keep_result(std::move(task), result), asio::use_future);
    context.run();
    done.get();
    return std::move(*result);
  }
}

}  // namespace kelmarion::apps
