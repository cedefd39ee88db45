#include "floor_records.h"

#include <fmt/format.h>

#include <string>
#include <unordered_set>

#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/generate/entity_table/source_view.h"

namespace kelmarion::bench {
namespace {

using Document = nlohmann::ordered_json;
using Kind = FloorValue::Kind;

constexpr std::int64_t sort_order_step = 10;

FloorValue integer_value(std::int64_t value) { return {Kind::integer, value, {}}; }

FloorValue text_value(std::string_view text) { return {Kind::text, 0, text}; }

// A text field's value; generated documents hold only strings and nulls there.
FloorValue text_of(const Document& value) {
  return value.is_string() ? text_value(value.get_ref<const std::string&>()) : FloorValue{};
}

FloorValue boolean_of(const Document& value) {
  return value.is_boolean() ? FloorValue{Kind::boolean, value.get<bool>() ? 1 : 0, {}}
                            : FloorValue{};
}

// A json field's value: its serialized text, kept in `buffer`.
FloorValue json_of(const Document& value, std::string& buffer) {
  buffer = value.dump();
  return text_value(buffer);
}

// What the referencing foreign keys need of a stored foreign key.
struct StoredKey {
  const Document* entry;
  std::int64_t id;
  FloorValue unique;
  bool constrained_orderby;
};

struct StoredTable {
  const Document* entry;
  std::int64_t id;
  std::vector<StoredKey> keys;
};

class FloorWalk {
 public:
  FloorWalk(FloorStore& store, std::string_view schema_name)
      : _store(store), _schema_name(schema_name) {}

  void run(const Document& document, std::string_view engine_name) {
    const std::array schema{text_value(_schema_name), text_value(engine_name),
                            text_of(document.at("comment")), integer_value(sort_order_step)};
    _schema_id = _store.save(FloorTable::schema, schema);
    const auto& tables = document.at("tables");
    _tables.reserve(tables.size());
    std::int64_t sort_order = 0;
    for (const auto& table : tables) _save_table(table, sort_order += sort_order_step);
    _save_referencing_keys();
    sort_order = 0;
    for (const auto& view : document.at("views")) {
      const std::array values{integer_value(_schema_id), text_of(view.at("view_name")),
                              text_of(view.at("definition")), text_of(view.at("comment")),
                              integer_value(sort_order += sort_order_step)};
      const auto view_id = _store.save(FloorTable::view, values);
      _save_columns(view.at("columns"), FloorTable::view_column, view_id);
    }
  }

 private:
  void _save_table(const Document& table, std::int64_t sort_order) {
    const std::array values{integer_value(_schema_id), text_of(table.at("table_name")),
                            text_of(table.at("comment")), integer_value(sort_order)};
    StoredTable stored{&table, _store.save(FloorTable::table, values), {}};
    const auto& columns = table.at("columns");
    _save_columns(columns, FloorTable::table_column, stored.id);

    const auto& primary_key = table.at("primary_key");
    if (!primary_key.is_null()) {
      const std::array key{integer_value(stored.id), text_of(primary_key.at("name")),
                           json_of(primary_key.at("constrained_columns"), _json[0])};
      _store.save(FloorTable::primary_key, key);
    }

    bool has_sort_order_column = false;
    for (const auto& column : columns) has_sort_order_column |= column.at("name") == "sort_order";
    const auto& indexes = table.at("indexes");
    std::int64_t key_order = 0;
    for (const auto& key : table.at("foreign_keys")) {
      const auto& constrained = key.at("constrained_columns");
      FloorValue unique = boolean_of(false);
      for (const auto& index : indexes) {
        if (index.at("column_names") == constrained) {
          unique = boolean_of(index.at("unique"));
          break;
        }
      }
      const std::array key_values{integer_value(stored.id),
                                  text_of(key.at("name")),
                                  json_of(constrained, _json[0]),
                                  text_of(key.at("referred_schema")),
                                  text_of(key.at("referred_table")),
                                  json_of(key.at("referred_columns"), _json[1]),
                                  json_of(key.at("options"), _json[2]),
                                  integer_value(key_order += sort_order_step),
                                  boolean_of(has_sort_order_column),
                                  unique};
      const auto id = _store.save(FloorTable::foreign_key, key_values);
      stored.keys.push_back({&key, id, unique, has_sort_order_column});
    }

    std::int64_t index_order = 0;
    for (const auto& index : indexes) {
      const std::array index_values{integer_value(stored.id), text_of(index.at("name")),
                                    json_of(index.at("column_names"), _json[0]),
                                    boolean_of(index.at("unique")),
                                    integer_value(index_order += sort_order_step)};
      _store.save(FloorTable::index, index_values);
    }
    _table_names.insert(table.at("table_name").get_ref<const std::string&>());
    _tables.push_back(std::move(stored));
  }

  void _save_columns(const Document& columns, FloorTable table, std::int64_t parent_id) {
    std::int64_t sort_order = 0;
    for (const auto& column : columns) {
      const std::array values{
          integer_value(parent_id),      text_of(column.at("name")),
          text_of(column.at("type")),    boolean_of(column.at("nullable")),
          text_of(column.at("default")), boolean_of(column.at("autoincrement")),
          text_of(column.at("comment")), integer_value(sort_order += sort_order_step)};
      _store.save(table, values);
    }
  }

  void _save_referencing_keys() {
    std::int64_t sort_order = 0;
    for (const auto& table : _tables) {
      for (const auto& key : table.keys) {
        const auto& entry = *key.entry;
        const auto& referred_table = entry.at("referred_table");
        if (!referred_table.is_string() ||
            !_table_names.contains(referred_table.get_ref<const std::string&>())) {
          continue;
        }
        const auto& referred_schema = entry.at("referred_schema");
        if (!referred_schema.is_null() && referred_schema != _schema_name) continue;
        const std::array values{integer_value(sort_order += sort_order_step),
                                integer_value(_schema_id),
                                integer_value(table.id),
                                text_of(entry.at("name")),
                                key.unique,
                                text_value(_schema_name),
                                text_of(table.entry->at("table_name")),
                                json_of(entry.at("constrained_columns"), _json[0]),
                                text_of(referred_schema),
                                text_of(referred_table),
                                json_of(entry.at("referred_columns"), _json[1]),
                                boolean_of(key.constrained_orderby),
                                json_of(entry.at("options"), _json[2]),
                                integer_value(key.id)};
        _store.save(FloorTable::referencing_foreign_key, values);
      }
    }
  }

  FloorStore& _store;
  std::string_view _schema_name;
  std::int64_t _schema_id = 0;
  std::vector<StoredTable> _tables;
  std::unordered_set<std::string_view> _table_names;
  std::array<std::string, 3> _json;  // serialized json fields of the record being written
};

}  // namespace

const FloorLayout& floor_layout(FloorTable table) {
  static const std::array<FloorLayout, floor_table_count> layouts{{
      {"source_schema",
       "source_schema_id",
       {"schema_name", "engine_name", "comment", "sort_order"},
       {0}},
      {"source_table",
       "source_table_id",
       {"source_schema_id", "table_name", "comment", "sort_order"},
       {0, 1}},
      {"source_view",
       "source_view_id",
       {"source_schema_id", "view_name", "definition", "comment", "sort_order"},
       {0, 1}},
      {"source_column",
       "source_column_id",
       {"source_table_id", "name", "type", "nullable", "default", "autoincrement", "comment",
        "sort_order"},
       {0, 1}},
      {"source_column",
       "source_column_id",
       {"source_view_id", "name", "type", "nullable", "default", "autoincrement", "comment",
        "sort_order"},
       {0, 1}},
      {"source_primary_key",
       "source_primary_key_id",
       {"source_table_id", "name", "constrained_columns"},
       {0}},
      {"source_foreign_key",
       "source_foreign_key_id",
       {"source_table_id", "name", "constrained_columns", "referred_schema", "referred_table",
        "referred_columns", "options", "sort_order", "constrained_orderby", "unique"},
       {0, 2}},
      {"source_index",
       "source_index_id",
       {"source_table_id", "name", "column_names", "unique", "sort_order"},
       {0, 2}},
      {"source_referencing_foreign_key",
       "source_referencing_foreign_key_id",
       {"sort_order", "source_schema_id", "source_table_id", "name", "unique", "constrained_schema",
        "constrained_table", "constrained_columns", "referred_schema", "referred_table",
        "referred_columns", "referred_orderby", "options", "source_foreign_key_id"},
       {2, 7, 9}},
  }};
  return layouts.at(static_cast<std::size_t>(table));
}

std::vector<std::string> store_ddl(core::detail::Dialect dialect) {
  auto statements = core::detail::version_table_ddl(dialect);
  for (const auto* record_class :
       {&meta::SourceSchema::record_class(), &meta::SourceTable::record_class(),
        &meta::SourceView::record_class(), &meta::SourceColumn::record_class(),
        &meta::SourcePrimaryKey::record_class(), &meta::SourceForeignKey::record_class(),
        &meta::SourceIndex::record_class(), &meta::SourceReferencingForeignKey::record_class()}) {
    for (auto& sql : core::detail::record_table_ddl(*record_class, dialect)) {
      statements.push_back(std::move(sql));
    }
  }
  return statements;
}

FloorSql floor_sql(const FloorLayout& layout, char marker) {
  const auto quoted = [](std::string_view name) { return fmt::format("\"{}\"", name); };
  std::string where;
  for (std::size_t k = 0; k < layout.lookup.size(); ++k) {
    where += fmt::format("{}{} = {}{}", k == 0 ? "" : " AND ",
                         quoted(layout.fields[layout.lookup[k]]), marker, k + 1);
  }
  std::string columns;
  std::string placeholders;
  std::string assignments;
  for (std::size_t k = 0; k < layout.fields.size(); ++k) {
    const auto* separator = k == 0 ? "" : ", ";
    columns += fmt::format("{}{}", separator, quoted(layout.fields[k]));
    placeholders += fmt::format("{}{}{}", separator, marker, k + 1);
    assignments += fmt::format("{}{} = {}{}", separator, quoted(layout.fields[k]), marker, k + 1);
  }
  const auto table = quoted(layout.table);
  const auto id = quoted(layout.id);
  return {
      fmt::format("SELECT {} FROM {} WHERE {}", id, table, where),
      fmt::format("INSERT INTO {} ({}) VALUES ({}) RETURNING {}", table, columns, placeholders, id),
      fmt::format("UPDATE {} SET {} WHERE {} = {}{}", table, assignments, id, marker,
                  layout.fields.size() + 1)};
}

void floor_save(FloorStore& store, const nlohmann::ordered_json& document,
                std::string_view schema_name, std::string_view engine_name) {
  FloorWalk(store, schema_name).run(document, engine_name);
}

}  // namespace kelmarion::bench
