#include "kelmarion_core/query_service.h"

#include <fmt/format.h>

#include "kelmarion_core/detail/unit_of_work.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core {

asio::awaitable<std::optional<Record>> QueryService::query_columns_first(
    AsyncSession* db, const RecordClass& model_class, Condition condition) {
  auto& session = detail::require_session(db, model_class);
  // A lookup under a parent that has no identifier must not widen to the records
  // of every parent: it finds nothing.
  if (condition.matches_nothing()) co_return std::nullopt;
  co_return co_await session.unit_of_work().find_first(model_class, condition);
}

asio::awaitable<std::vector<Record>> QueryService::query_all(AsyncSession* db,
                                                             const RecordClass& model_class,
                                                             Condition condition) {
  auto& session = detail::require_session(db, model_class);
  if (condition.matches_nothing()) co_return std::vector<Record>{};
  co_return co_await session.unit_of_work().find_all(model_class, condition);
}

asio::awaitable<std::vector<Record>> QueryService::query_by_ids(AsyncSession* db,
                                                                const RecordClass& model_class,
                                                                std::vector<std::int64_t> ids) {
  auto& session = detail::require_session(db, model_class);
  co_return co_await session.unit_of_work().find_by_ids(model_class, ids);
}

asio::awaitable<std::vector<std::int64_t>> QueryService::query_ids_under(
    AsyncSession* db, const RecordClass& model_class, const RecordClass& root_class,
    std::int64_t root_id) {
  auto& session = detail::require_session(db, model_class);
  co_return co_await session.unit_of_work().ids_under(model_class, root_class, root_id);
}

}  // namespace kelmarion::core
