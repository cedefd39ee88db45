#include "kelmarion_core/query_service.h"

#include <fmt/format.h>

#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core {

asio::awaitable<std::optional<Record>> QueryService::query_columns_first(
    AsyncSession* db, const RecordClass& model_class, Condition condition) {
  if (db == nullptr) {
    throw ConfigurationError(fmt::format(
        "table '{}': no database session (give the store a session)", model_class.table_name()));
  }
  // A lookup under a parent that has no identifier must not widen to the records
  // of every parent: it finds nothing.
  if (condition.matches_nothing()) co_return std::nullopt;
  co_return co_await db->connection().find_first(model_class, condition);
}

}  // namespace kelmarion::core
