#include "kelmarion_meta/tools/save_history.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>

#include "kelmarion_core/data_service.h"
#include "kelmarion_core/field.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/tools/schema_changes.h"

namespace kelmarion::meta {
namespace {

constexpr std::string_view history_table = "kelmarion_save_history";
constexpr core::Field<core::FieldKind::text> schema_name_field{history_table, "schema_name"};

std::string utc_now() {
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::array<char, 32> text{};
  const auto length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return {text.data(), length};
}

std::string text_or_empty(const nlohmann::ordered_json& value) {
  return value.is_string() ? value.get<std::string>() : std::string();
}

SaveHistoryEntry entry_of(const core::Record& record) {
  SaveHistoryEntry entry;
  entry.id = record.id();
  entry.saved_at = text_or_empty(record["saved_at"]);
  entry.schema_name = text_or_empty(record["schema_name"]);
  if (record["engine_name"].is_string())
    entry.engine_name = record["engine_name"].get<std::string>();
  entry.tool_version = text_or_empty(record["tool_version"]);
  // A PostgreSQL store keeps JSON objects with their keys in its own order.
  entry.counts = counts_in_order(record["counts"]);
  entry.changes = changes_to_json(changes_from_json(record["changes"]));
  return entry;
}

}  // namespace

const core::RecordClass& save_history_class() {
  static const core::RecordClass instance(history_table,
                                          {
                                              {"save_id", core::FieldKind::integer},
                                              {"saved_at", core::FieldKind::text},
                                              {"schema_name", core::FieldKind::text},
                                              {"engine_name", core::FieldKind::text},
                                              {"tool_version", core::FieldKind::text},
                                              {"counts", core::FieldKind::json},
                                              {"changes", core::FieldKind::json},
                                          },
                                          {{{"schema_name"}, false}});
  return instance;
}

std::string_view library_version() { return KELMARION_META_VERSION; }

std::int64_t append_history(core::AsyncSession& session, SaveHistoryEntry entry) {
  nlohmann::ordered_json row = {
      {"saved_at", utc_now()},
      {"schema_name", std::move(entry.schema_name)},
      {"engine_name", entry.engine_name ? nlohmann::ordered_json(std::move(*entry.engine_name))
                                        : nlohmann::ordered_json()},
      {"tool_version", std::move(entry.tool_version)},
      {"counts", std::move(entry.counts)},
      {"changes", std::move(entry.changes)},
  };
  return core::DataService::db_insert(&session, save_history_class(), row).id();
}

asio::awaitable<std::vector<SaveHistoryEntry>> read_history(core::AsyncSession& session,
                                                            std::optional<std::string> schema_name,
                                                            std::size_t limit) {
  core::Condition condition;
  if (schema_name) condition = core::Condition(schema_name_field == *schema_name);
  const auto records =
      co_await core::QueryService::query_all(&session, save_history_class(), std::move(condition));
  std::vector<SaveHistoryEntry> entries;
  const auto count = limit == 0 ? records.size() : std::min(limit, records.size());
  entries.reserve(count);
  for (auto record = records.rbegin(); record != records.rbegin() + count; ++record) {
    entries.push_back(entry_of(*record));
  }
  co_return entries;
}

asio::awaitable<std::optional<SaveHistoryEntry>> read_save(core::AsyncSession& session,
                                                           std::int64_t id) {
  std::vector<std::int64_t> ids(1, id);
  const auto records =
      co_await core::QueryService::query_by_ids(&session, save_history_class(), std::move(ids));
  if (records.empty()) co_return std::nullopt;
  co_return entry_of(records.front());
}

}  // namespace kelmarion::meta
