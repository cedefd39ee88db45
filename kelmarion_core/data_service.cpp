#include "kelmarion_core/data_service.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core {
Record DataService::db_insert(AsyncSession* db, const RecordClass& model_class,
                              const nlohmann::ordered_json& create_model) {
  auto& session = detail::require_session(db, model_class);
  auto record = session.connection().insert(model_class, create_model);
  session.note_insert(model_class.table_name(), record.id());
  return record;
}

asio::awaitable<Record> DataService::db_update(AsyncSession* db, std::int64_t primary_id,
                                               const RecordClass& model_class,
                                               const nlohmann::ordered_json& update_model) {
  auto& session = detail::require_session(db, model_class);
  auto& connection = session.connection();
  if (auto* now = connection.immediate()) {
    auto record = now->update_now(model_class, primary_id, update_model);
    session.note_update(model_class.table_name(), record.id());
    co_return record;
  }
  if (auto* quick = connection.quick()) {
    std::optional<Record> updated;
    if (quick->update_quickly(model_class, primary_id, update_model, updated)) {
      session.note_update(model_class.table_name(), updated->id());
      co_return std::move(*updated);
    }
  }
  auto record = co_await connection.update(model_class, primary_id, update_model);
  session.note_update(model_class.table_name(), record.id());
  co_return record;
}

asio::awaitable<void> DataService::db_delete(AsyncSession* db, std::int64_t primary_id,
                                             const RecordClass& model_class) {
  auto& session = detail::require_session(db, model_class);
  co_await session.connection().remove(model_class, primary_id);
}

}  // namespace kelmarion::core
