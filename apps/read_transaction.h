#pragma once

// The commands that only read the store open it read-only and read in one
// transaction: one consistent state, however many queries, while saves go on.

#include <asio/awaitable.hpp>
#include <exception>
#include <optional>
#include <string>

#include "kelmarion_core/session.h"

namespace kelmarion::apps {

// The store of --store (see store_location.h), opened read-only. Throws
// UsageError for an in-memory store or a SQLite file that does not exist.
[[nodiscard]] core::AsyncSession open_store_to_read(const std::optional<std::string>& store,
                                                    double lock_timeout_seconds);

// Awaits `read` inside a transaction of `session`, which ends after it (a
// read-only transaction undoes nothing); rethrows the read's failure first.
template <typename T>
asio::awaitable<T> in_one_transaction(core::AsyncSession& session, asio::awaitable<T> read) {
  co_await session.begin();
  std::exception_ptr failure;
  std::optional<T> result;
  try {
    result.emplace(co_await std::move(read));
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    co_await session.rollback();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
  co_return std::move(*result);
}

}  // namespace kelmarion::apps
