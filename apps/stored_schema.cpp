#include "apps/stored_schema.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/record_classes.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/generate/entity_table/source_view.h"

namespace kelmarion::apps {
namespace {

using core::Condition;
using core::QueryService;
using core::Record;

// Records without a sort order (primary keys, or a missing value) go last.
std::int64_t position_of(const Record& record) {
  if (!record.record_class().field_index("sort_order")) {
    return std::numeric_limits<std::int64_t>::max();
  }
  const auto& sort_order = record["sort_order"];
  return sort_order.is_number_integer() ? sort_order.get<std::int64_t>()
                                        : std::numeric_limits<std::int64_t>::max();
}

// query_all yields records by identifier; the stable sort keeps that order for ties.
asio::awaitable<std::vector<Record>> read_sorted(core::AsyncSession& session,
                                                 const core::RecordClass& record_class,
                                                 Condition condition) {
  auto records = co_await QueryService::query_all(&session, record_class, std::move(condition));
  std::stable_sort(records.begin(), records.end(), [](const Record& left, const Record& right) {
    return position_of(left) < position_of(right);
  });
  co_return records;
}

asio::awaitable<StoredTable> read_table(core::AsyncSession& session, Record table) {
  const auto table_id = table.id();
  StoredTable stored{std::move(table), {}, {}, {}, {}};
  Condition columns(meta::SourceColumn::source_table_id == table_id);
  stored.columns =
      co_await read_sorted(session, meta::SourceColumn::record_class(), std::move(columns));
  Condition primary_keys(meta::SourcePrimaryKey::source_table_id == table_id);
  stored.primary_keys = co_await read_sorted(session, meta::SourcePrimaryKey::record_class(),
                                             std::move(primary_keys));
  Condition foreign_keys(meta::SourceForeignKey::source_table_id == table_id);
  stored.foreign_keys = co_await read_sorted(session, meta::SourceForeignKey::record_class(),
                                             std::move(foreign_keys));
  Condition indexes(meta::SourceIndex::source_table_id == table_id);
  stored.indexes =
      co_await read_sorted(session, meta::SourceIndex::record_class(), std::move(indexes));
  co_return stored;
}

asio::awaitable<StoredView> read_view(core::AsyncSession& session, Record view) {
  const auto view_id = view.id();
  StoredView stored{std::move(view), {}};
  Condition columns(meta::SourceColumn::source_view_id == view_id);
  stored.columns =
      co_await read_sorted(session, meta::SourceColumn::record_class(), std::move(columns));
  co_return stored;
}

asio::awaitable<StoredSchema> read_schema(core::AsyncSession& session, Record schema) {
  const auto schema_id = schema.id();
  StoredSchema stored{std::move(schema), {}, {}, {}};

  Condition table_condition(meta::SourceTable::source_schema_id == schema_id);
  auto tables =
      co_await read_sorted(session, meta::SourceTable::record_class(), std::move(table_condition));
  stored.tables.reserve(tables.size());
  for (auto& table : tables) {
    auto read = co_await read_table(session, std::move(table));
    stored.tables.push_back(std::move(read));
  }

  Condition view_condition(meta::SourceView::source_schema_id == schema_id);
  auto views =
      co_await read_sorted(session, meta::SourceView::record_class(), std::move(view_condition));
  stored.views.reserve(views.size());
  for (auto& view : views) {
    auto read = co_await read_view(session, std::move(view));
    stored.views.push_back(std::move(read));
  }

  Condition referencing(meta::SourceReferencingForeignKey::source_schema_id == schema_id);
  stored.referencing_foreign_keys = co_await read_sorted(
      session, meta::SourceReferencingForeignKey::record_class(), std::move(referencing));
  co_return stored;
}

}  // namespace

asio::awaitable<std::vector<StoredSchema>> read_stored_schemas(
    core::AsyncSession& session, std::optional<std::string> schema_name) {
  (void)meta::record_classes();  // so that a foreign database is recognised as one
  Condition condition;
  if (schema_name) condition = Condition(meta::SourceSchema::schema_name == *schema_name);
  auto schemas =
      co_await read_sorted(session, meta::SourceSchema::record_class(), std::move(condition));
  std::vector<StoredSchema> stored;
  stored.reserve(schemas.size());
  for (auto& schema : schemas) {
    auto read = co_await read_schema(session, std::move(schema));
    stored.push_back(std::move(read));
  }
  co_return stored;
}

std::string text_of(const core::Record& record, std::string_view field, std::string_view fallback) {
  const auto& value = record[field];
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return std::string(fallback);
  return value.dump();
}

}  // namespace kelmarion::apps
