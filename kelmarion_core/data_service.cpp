#include "kelmarion_core/data_service.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core {
namespace {

AsyncSession& require_session(AsyncSession* db, const RecordClass& model_class) {
  if (db == nullptr) {
    throw ConfigurationError(fmt::format(
        "table '{}': no database session (give the store a session)", model_class.table_name()));
  }
  return *db;
}

}  // namespace

Record DataService::db_insert(AsyncSession* db, const RecordClass& model_class,
                              const nlohmann::ordered_json& create_model) {
  return require_session(db, model_class).connection().insert(model_class, create_model);
}

asio::awaitable<Record> DataService::db_update(AsyncSession* db, std::int64_t primary_id,
                                               const RecordClass& model_class,
                                               const nlohmann::ordered_json& update_model) {
  auto& session = require_session(db, model_class);
  co_return co_await session.connection().update(model_class, primary_id, update_model);
}

}  // namespace kelmarion::core
