#include "kelmarion_meta/tools/source_store.h"

#include <fmt/format.h>
#include <unordered_map>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/data_service.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/json_object.h"
#include "kelmarion_core/logging.h"
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
#include "kelmarion_meta/tools/detail/document_access.h"
#include "kelmarion_meta/tools/detail/schema_metadata.h"
#include "kelmarion_meta/tools/detail/table_summary.h"
#include "kelmarion_meta/tools/meta_convert.h"
#include "kelmarion_meta/tools/source_inspect.h"

namespace kelmarion::meta {

using core::Condition;
using core::Predicate;
using detail::Where;

namespace {

constexpr std::int64_t sort_order_step = 10;

void replace_when_given(std::optional<std::string>& stored, const std::optional<std::string>& given) {
  if (given && !given->empty()) stored = given;
}

Document optional_text(const std::optional<std::string>& text) {
  return text ? Document(*text) : Document(nullptr);
}

// Whether an entry describes a view rather than a table, for messages.
std::string_view parent_kind(const Document& entry) {
  return entry.is_object() && entry.contains("view_name") && !entry.contains("table_name") ? "view"
                                                                                         : "table";
}

// Key of the referencing saver's table map: the stored table name as JSON text,
// so that names of any kind (and an absent one) map uniquely.
std::string table_key(const Document& table_name) {
  return table_name.dump(-1, ' ', false, Document::error_handler_t::replace);
}

// The list under `key` of the schema level (required).
Document& schema_list(detail::SchemaMetadata& metadata, std::string_view key) {
  const Where schema{"schema", &metadata.document()};
  auto* list = metadata.find(key);
  if (list == nullptr) {
    throw core::MissingKeyError(
        fmt::format("{}: missing required key '{}'", detail::describe(schema), key));
  }
  if (!list->is_array()) {
    throw core::DocumentTypeError(fmt::format("key '{}' of {}: expected a list, got {}", key,
                                              detail::describe(schema), detail::kind_name(*list)));
  }
  return *list;
}

}  // namespace

SourceStore::SourceStore(SourceStoreOptions options)
    : _db(options.db),
      _engine_name(std::move(options.engine_name)),
      _schema_name(std::move(options.schema_name)) {
  // Every store table is known before the session first looks at the database.
  (void)record_classes();
}

std::optional<Document> SourceStore::inspect(InspectOptions options) {
  replace_when_given(_engine_name, options.engine_name);
  replace_when_given(_schema_name, options.schema_name);
  SourceInspect inspector({.engine_name = _engine_name});
  auto document = inspector.get_schema({.schema_name = _schema_name});
  if (document && !document->is_object()) {
    throw core::DocumentTypeError(fmt::format(
        "engine '{}': inspection returned {} instead of an object",
        core::redact_password(_engine_name.value_or("")), document->type_name()));
  }
  return document;
}

asio::awaitable<std::shared_ptr<Document>> SourceStore::save_meta(SaveMetaOptions options) {
  auto metadata = std::move(options.metadata);
  if (metadata && !metadata->is_null() && !metadata->is_object()) {
    throw core::DocumentTypeError(
        fmt::format("metadata: expected an object, got {}", detail::kind_name(*metadata)));
  }
  replace_when_given(_engine_name, options.engine_name);
  replace_when_given(_schema_name, options.schema_name);
  if (options.db != nullptr) _db = options.db;

  if (!metadata || metadata->empty()) {
    auto inspected = inspect();
    if (!inspected) {
      throw core::DocumentError(fmt::format("schema '{}': not found by engine '{}'",
                                            _schema_name.value_or("None"),
                                            core::redact_password(_engine_name.value_or(""))));
    }
    metadata = std::make_shared<Document>(std::move(*inspected));
  }
  co_await _save_meta(*metadata);
  co_return metadata;
}

asio::awaitable<core::Record> SourceStore::_metamodel_create_or_update(
    const core::RecordClass& model_class, Document& data_model, Condition condition) {
  auto source_model =
      co_await core::QueryService::query_columns_first(_db, model_class, std::move(condition));
  if (source_model) {
    const auto first_field_value = MetaConverter::set_update_property(data_model, *source_model);
    // Let go of the record first: the store may then reuse it for the one it returns.
    source_model.reset();
    co_return co_await core::DataService::db_update(_db, first_field_value, model_class,
                                                    data_model);
  }
  co_return core::DataService::db_insert(_db, model_class, data_model);
}

asio::awaitable<void> SourceStore::_save_meta(Document& metadata) {
  detail::SchemaMetadata create_model(metadata);
  create_model.set("sort_order", sort_order_step);
  // A password in the engine URL must never reach the store.
  create_model.set("engine_name",
                   _engine_name ? Document(core::redact_password(*_engine_name)) : Document());
  // The record is looked up by the store's schema name, so it must also be stored
  // under that name, or the next save would not find it and add another.
  if (_schema_name) create_model.set("schema_name", *_schema_name);
  core::logging::debug_line();
  core::logging::debug("正在处理: " + _schema_name.value_or("None"));

  auto data = create_model.record_data(SourceSchema::record_class());
  Condition condition(SourceSchema::schema_name == optional_text(_schema_name));
  const auto source_model = co_await _metamodel_create_or_update(SourceSchema::record_class(), data,
                                                                 std::move(condition));
  create_model.set("source_schema_id", source_model["source_schema_id"]);
  co_await _save_source_tables(create_model);
  co_await _save_source_views(create_model);
}

asio::awaitable<void> SourceStore::_save_source_tables(detail::SchemaMetadata& metadata) {
  std::int64_t sort_order = 0;
  std::vector<detail::TableSummary> tables;
  auto* table_list = &schema_list(metadata, "tables");
  tables.reserve(table_list->size());
  std::size_t position = 0;
  for (auto& create_model : *table_list) {
    const Where where{"table", &create_model, ++position};
    sort_order += sort_order_step;
    const auto table_name = detail::required(create_model, "table_name", where);
    // Checked once per table: building the messages costs more than the check.
    const bool logged = core::logging::debug_enabled();
    if (logged) core::logging::debug("正在处理表: " + detail::text_form(table_name));
    detail::refuse_foreign_parent_key(create_model, "source_view_id", where);
    core::reserve_keys(create_model, {"sort_order", "source_schema_id", "source_table_id"});
    create_model["sort_order"] = sort_order;
    const auto* source_schema_id = metadata.find("source_schema_id");
    create_model["source_schema_id"] = *source_schema_id;

    Condition condition{SourceTable::source_schema_id == create_model["source_schema_id"],
                        SourceTable::table_name == table_name};
    const auto source_model = co_await _metamodel_create_or_update(
        SourceTable::record_class(), create_model, std::move(condition));
    create_model["source_table_id"] = source_model["source_table_id"];
    detail::TableSummary summary{source_model, {}};

    if (logged) core::logging::debug("- columns");
    co_await _save_source_columns(create_model);
    if (logged) core::logging::debug("- primary_key");
    co_await _save_source_primary_key(create_model);
    if (logged) core::logging::debug("- foreign_keys");
    summary.foreign_keys = co_await _save_source_foreign_keys(create_model);
    if (logged) core::logging::debug("- indexes");
    co_await _save_source_indexes(create_model);
    tables.push_back(std::move(summary));
  }
  core::logging::debug("正在处理: 引用当前表的外键 source_referencing_foreign_key");
  const auto source_schema_id = *metadata.find("source_schema_id");
  co_await _save_source_referencing_foreign_keys(tables, source_schema_id);
}

asio::awaitable<void> SourceStore::_save_source_views(detail::SchemaMetadata& metadata) {
  std::int64_t sort_order = 0;
  auto* view_list = &schema_list(metadata, "views");
  std::size_t position = 0;
  for (auto& create_model : *view_list) {
    const Where where{"view", &create_model, ++position};
    sort_order += sort_order_step;
    const auto view_name = detail::required(create_model, "view_name", where);
    if (core::logging::debug_enabled()) {
      core::logging::debug("正在处理视图: " + detail::text_form(view_name));
    }
    detail::refuse_foreign_parent_key(create_model, "source_table_id", where);
    core::reserve_keys(create_model, {"source_schema_id", "sort_order", "source_view_id"});
    create_model["source_schema_id"] = *metadata.find("source_schema_id");
    create_model["sort_order"] = sort_order;

    Condition condition{SourceView::source_schema_id == create_model["source_schema_id"],
                        SourceView::view_name == view_name};
    const auto source_model = co_await _metamodel_create_or_update(
        SourceView::record_class(), create_model, std::move(condition));
    create_model["source_view_id"] = source_model["source_view_id"];
    co_await _save_source_columns(create_model);
  }
}

asio::awaitable<void> SourceStore::_save_source_columns(Document& metadata) {
  const Where parent{parent_kind(metadata), &metadata};
  std::int64_t sort_order = 0;
  auto& columns = detail::required_list(metadata, "columns", parent);
  std::size_t position = 0;
  for (auto& create_model : columns) {
    const Where where{"column", &create_model, ++position, &parent};
    sort_order += sort_order_step;
    const auto* table_id = detail::optional(metadata, "source_table_id", parent);
    const auto* view_id = detail::optional(metadata, "source_view_id", parent);
    const bool under_table = detail::tests_true(table_id);
    const bool under_view = detail::tests_true(view_id);
    auto& entry = detail::as_object(create_model, where);
    // The parent savers refuse an entry carrying the other kind's identifier, so
    // exactly one of the two is set; a column must not bring the other one either.
    detail::refuse_foreign_parent_key(entry, under_view ? "source_table_id" : "source_view_id",
                                      where);
    const auto lacks = [&entry](std::string_view key) { return entry.contains(key) ? 0U : 1U; };
    core::reserve_entries(entry, entry.size() + lacks("sort_order") +
                                     (under_table ? lacks("source_table_id") : 0U) +
                                     (under_view ? lacks("source_view_id") : 0U));
    create_model["sort_order"] = sort_order;
    std::optional<Predicate> condition;
    if (under_table) {
      create_model["source_table_id"] = *table_id;
      condition = SourceColumn::source_table_id == create_model["source_table_id"];
    }
    // Not an else-branch: a view's identifier wins when both are set.
    if (under_view) {
      create_model["source_view_id"] = *view_id;
      condition = SourceColumn::source_view_id == create_model["source_view_id"];
    }
    const auto& name = detail::required(create_model, "name", where);
    Condition lookup{std::move(condition), SourceColumn::name == name};
    co_await _metamodel_create_or_update(SourceColumn::record_class(), create_model,
                                         std::move(lookup));
  }
}

asio::awaitable<void> SourceStore::_save_source_primary_key(Document& metadata) {
  const Where table{"table", &metadata};
  auto* primary_key = detail::optional(metadata, "primary_key", table);
  if (primary_key == nullptr || primary_key->is_null()) co_return;
  auto& create_model = detail::object_at(*primary_key, "primary_key", table);
  core::reserve_keys(create_model, {"source_table_id"});
  create_model["source_table_id"] = detail::required(metadata, "source_table_id", table);
  Condition condition(SourcePrimaryKey::source_table_id == create_model["source_table_id"]);
  co_await _metamodel_create_or_update(SourcePrimaryKey::record_class(), create_model,
                                       std::move(condition));
}

asio::awaitable<std::vector<core::Record>> SourceStore::_save_source_foreign_keys(
    Document& metadata) {
  const Where table{"table", &metadata};
  std::vector<core::Record> foreign_keys;
  std::int64_t sort_order = 0;
  auto& entries = detail::required_list(metadata, "foreign_keys", table);
  std::size_t position = 0;
  for (auto& create_model : entries) {
    const Where where{"foreign key", &create_model, ++position, &table};
    sort_order += sort_order_step;
    core::reserve_keys(detail::as_object(create_model, where),
                       {"sort_order", "source_table_id", "constrained_orderby", "unique"});
    create_model["sort_order"] = sort_order;
    create_model["source_table_id"] = detail::required(metadata, "source_table_id", table);

    // Whether the table orders its rows by a "sort_order" column; every column is visited.
    bool has_sort_order_column = false;
    std::size_t column_position = 0;
    for (auto& column : detail::required_list(metadata, "columns", table)) {
      const Where column_where{"column", &column, ++column_position, &table};
      const auto& name = detail::required(column, "name", column_where);
      if (name.is_string() && name.get_ref<const std::string&>() == "sort_order") {
        has_sort_order_column = true;
      }
    }
    create_model["constrained_orderby"] = has_sort_order_column;

    // The first index on exactly the constrained columns decides uniqueness.
    Document unique = false;
    std::size_t index_position = 0;
    for (auto& index : detail::required_list(metadata, "indexes", table)) {
      const Where index_where{"index", &index, ++index_position, &table};
      const auto& column_names = detail::required(index, "column_names", index_where);
      if (column_names == detail::required(create_model, "constrained_columns", where)) {
        unique = detail::required(index, "unique", index_where);
        break;
      }
    }
    create_model["unique"] = std::move(unique);

    const auto& constrained_columns = detail::required(create_model, "constrained_columns", where);
    Condition condition{SourceForeignKey::source_table_id == create_model["source_table_id"],
                        SourceForeignKey::constrained_columns == constrained_columns};
    auto stored = co_await _metamodel_create_or_update(SourceForeignKey::record_class(),
                                                       create_model, std::move(condition));
    foreign_keys.push_back(std::move(stored));
  }
  co_return foreign_keys;
}

asio::awaitable<void> SourceStore::_save_source_indexes(Document& metadata) {
  const Where table{"table", &metadata};
  std::int64_t sort_order = 0;
  auto& indexes = detail::required_list(metadata, "indexes", table);
  std::size_t position = 0;
  for (auto& create_model : indexes) {
    const Where where{"index", &create_model, ++position, &table};
    sort_order += sort_order_step;
    core::reserve_keys(detail::as_object(create_model, where), {"sort_order", "source_table_id"});
    create_model["sort_order"] = sort_order;
    create_model["source_table_id"] = detail::required(metadata, "source_table_id", table);
    auto table_predicate = SourceIndex::source_table_id == create_model["source_table_id"];
    const auto& column_names = detail::required(create_model, "column_names", where);
    Condition condition{std::move(table_predicate), SourceIndex::column_names == column_names};
    co_await _metamodel_create_or_update(SourceIndex::record_class(), create_model,
                                         std::move(condition));
  }
}

asio::awaitable<void> SourceStore::_save_source_referencing_foreign_keys(
    const std::vector<detail::TableSummary>& tables, const Document& source_schema_id) {
  // Built before the walk, so a foreign key may refer to a later table; a later
  // table of the same name replaces an earlier one.
  std::unordered_map<std::string, const detail::TableSummary*> table_map;
  for (const auto& summary : tables) table_map[table_key(summary.table["table_name"])] = &summary;

  std::int64_t sort_order = 0;
  for (const auto& source_table : tables) {
    for (const auto& fk : source_table.foreign_keys) {
      const auto& referred_table_name = fk["referred_table"];
      if (!table_map.contains(table_key(referred_table_name))) continue;
      // A table of the same name in another schema is not this schema's table.
      const auto& referred_schema = fk["referred_schema"];
      if (!referred_schema.is_null() && !(_schema_name && referred_schema == *_schema_name)) {
        continue;
      }
      sort_order += sort_order_step;
      Document create_model = Document::object();
      core::reserve_entries(create_model, 14);
      create_model["sort_order"] = sort_order;
      create_model["source_schema_id"] = source_schema_id;
      create_model["source_table_id"] = source_table.table["source_table_id"];
      create_model["name"] = fk["name"];
      create_model["unique"] = fk["unique"];
      create_model["constrained_schema"] = optional_text(_schema_name);
      create_model["constrained_table"] = source_table.table["table_name"];
      create_model["constrained_columns"] = fk["constrained_columns"];
      create_model["referred_schema"] = referred_schema;
      create_model["referred_table"] = referred_table_name;
      create_model["referred_columns"] = fk["referred_columns"];
      create_model["referred_orderby"] = fk["constrained_orderby"];
      create_model["options"] = fk["options"];
      create_model["source_foreign_key_id"] = fk["source_foreign_key_id"];

      Condition condition{
          SourceReferencingForeignKey::source_table_id == create_model["source_table_id"],
          SourceReferencingForeignKey::constrained_columns == create_model["constrained_columns"],
          SourceReferencingForeignKey::referred_table == create_model["referred_table"]};
      co_await _metamodel_create_or_update(SourceReferencingForeignKey::record_class(),
                                           create_model, std::move(condition));
    }
  }
}

}  // namespace kelmarion::meta
