#include "kelmarion_core/data_service.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "kelmarion_core/detail/unit_of_work.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core {

Record DataService::db_insert(AsyncSession* db, const RecordClass& model_class,
                              const nlohmann::ordered_json& create_model) {
  return detail::require_session(db, model_class).unit_of_work().insert(model_class, create_model);
}

asio::awaitable<Record> DataService::db_update(AsyncSession* db, std::int64_t primary_id,
                                               const RecordClass& model_class,
                                               const nlohmann::ordered_json& update_model) {
  auto& session = detail::require_session(db, model_class);
  co_return co_await session.unit_of_work().update(model_class, primary_id, update_model);
}

asio::awaitable<void> DataService::db_delete(AsyncSession* db, std::int64_t primary_id,
                                             const RecordClass& model_class) {
  auto& session = detail::require_session(db, model_class);
  co_await session.unit_of_work().remove(model_class, primary_id);
}

}  // namespace kelmarion::core
