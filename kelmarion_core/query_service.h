#pragma once

// QueryService reads records through a session.

#include <asio/awaitable.hpp>
#include <concepts>
#include <cstdint>
#include <optional>
#include <vector>

#include "kelmarion_core/predicate.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core {

class AsyncSession;

class QueryService {
 public:
  // The first record of `model_class` (lowest identifier) that satisfies
  // `condition`, or nullopt. A condition with an absent term matches no record
  // and reads nothing. Values compare as values (see AsyncSession for what a
  // transaction reads once and answers from). `db` is borrowed until the awaited call completes.
  // Throws ConfigurationError when `db` is null, Error for a predicate on a field of another class,
  // DatabaseError when the store fails.
  [[nodiscard]] static asio::awaitable<std::optional<Record>> query_columns_first(
      AsyncSession* db, const RecordClass& model_class, Condition condition);

  // The same with the condition's terms as plain arguments, so that a host
  // awaits it without a braced temporary (which g++ 12 destroys twice inside a
  // co_await): `co_await query_columns_first(db, cls, A == 1, B == "x")`.
  template <typename... Rest>
  requires(sizeof...(Rest) >= 1 && (std::convertible_to<Rest, std::optional<Predicate>> && ...))
      [[nodiscard]] static asio::awaitable<std::optional<Record>> query_columns_first(
          AsyncSession* db, const RecordClass& model_class, Predicate first, Rest... rest) {
    return query_columns_first(db, model_class, Condition(std::move(first), std::move(rest)...));
  }

  // Every record of `model_class` that satisfies `condition` (all records for an
  // empty condition), by identifier. Same errors as query_columns_first.
  [[nodiscard]] static asio::awaitable<std::vector<Record>> query_all(
      AsyncSession* db, const RecordClass& model_class, Condition condition = {});

  // The stored records of `model_class` whose identifiers `ids` holds, by
  // identifier. Same errors as query_columns_first.
  [[nodiscard]] static asio::awaitable<std::vector<Record>> query_by_ids(
      AsyncSession* db, const RecordClass& model_class, std::vector<std::int64_t> ids);

  // The identifiers of the stored records of `model_class` under the record
  // `root_id` of `root_class`, following the classes' parent links up (a
  // column under a table under a schema), ascending. Same errors.
  [[nodiscard]] static asio::awaitable<std::vector<std::int64_t>> query_ids_under(
      AsyncSession* db, const RecordClass& model_class, const RecordClass& root_class,
      std::int64_t root_id);
};

}  // namespace kelmarion::core
