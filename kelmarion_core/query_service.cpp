#include "kelmarion_core/query_service.h"

#include <fmt/format.h>

#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core {

asio::awaitable<std::optional<Record>> QueryService::query_columns_first(
    AsyncSession* db, const RecordClass& model_class, Condition condition) {
  auto& session = detail::require_session(db, model_class);
  // A lookup under a parent that has no identifier must not widen to the records
  // of every parent: it finds nothing.
  if (condition.matches_nothing()) co_return std::nullopt;
  auto& connection = session.connection();
  if (auto* now = connection.immediate()) co_return now->find_first_now(model_class, condition);
  if (auto* quick = connection.quick()) {
    std::optional<Record> found;
    if (quick->find_first_quickly(model_class, condition, found)) co_return found;
  }
  co_return co_await connection.find_first(model_class, condition);
}

asio::awaitable<std::vector<Record>> QueryService::query_all(AsyncSession* db,
                                                             const RecordClass& model_class,
                                                             Condition condition) {
  auto& session = detail::require_session(db, model_class);
  if (condition.matches_nothing()) co_return std::vector<Record>{};
  co_return co_await session.connection().find_all(model_class, condition);
}

}  // namespace kelmarion::core
