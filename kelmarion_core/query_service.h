#pragma once

// QueryService reads records through a session.

#include <asio/awaitable.hpp>
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
  // and reads nothing. Each lookup is an index seek on the record class's lookup
  // indexes. `db` is borrowed until the awaited call completes. Throws
  // ConfigurationError when `db` is null, Error for a predicate on a field of
  // another class, DatabaseError when the store fails.
  [[nodiscard]] static asio::awaitable<std::optional<Record>> query_columns_first(
      AsyncSession* db, const RecordClass& model_class, Condition condition);

  // Every record of `model_class` that satisfies `condition` (all records for an
  // empty condition), by identifier. Same errors as query_columns_first.
  [[nodiscard]] static asio::awaitable<std::vector<Record>> query_all(
      AsyncSession* db, const RecordClass& model_class, Condition condition = {});
};

}  // namespace kelmarion::core
