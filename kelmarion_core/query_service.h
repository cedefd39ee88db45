#pragma once

// QueryService reads records through a session.

#include <asio/awaitable.hpp>
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
