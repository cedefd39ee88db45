#include "apps/stored_document.h"

namespace kelmarion::apps {
namespace {

using meta::Document;

Document columns_document(const std::vector<core::Record>& columns) {
  Document list = Document::array();
  for (const auto& column : columns) {
    list.push_back(Document{{"name", column["name"]},
                            {"type", column["type"]},
                            {"nullable", column["nullable"]},
                            {"default", column["default"]},
                            {"autoincrement", column["autoincrement"]},
                            {"comment", column["comment"]}});
  }
  return list;
}

Document table_document(const StoredTable& stored) {
  Document primary_key = nullptr;
  if (!stored.primary_keys.empty()) {
    const auto& key = stored.primary_keys.front();
    primary_key =
        Document{{"name", key["name"]}, {"constrained_columns", key["constrained_columns"]}};
  }
  Document foreign_keys = Document::array();
  for (const auto& key : stored.foreign_keys) {
    foreign_keys.push_back(Document{{"name", key["name"]},
                                    {"constrained_columns", key["constrained_columns"]},
                                    {"referred_schema", key["referred_schema"]},
                                    {"referred_table", key["referred_table"]},
                                    {"referred_columns", key["referred_columns"]},
                                    {"options", key["options"]}});
  }
  Document indexes = Document::array();
  for (const auto& index : stored.indexes) {
    indexes.push_back(Document{{"name", index["name"]},
                               {"column_names", index["column_names"]},
                               {"unique", index["unique"]}});
  }
  return Document{
      {"table_name", stored.table["table_name"]},    {"comment", stored.table["comment"]},
      {"columns", columns_document(stored.columns)}, {"primary_key", std::move(primary_key)},
      {"foreign_keys", std::move(foreign_keys)},     {"indexes", std::move(indexes)}};
}

Document view_document(const StoredView& stored) {
  return Document{{"view_name", stored.view["view_name"]},
                  {"definition", stored.view["definition"]},
                  {"comment", stored.view["comment"]},
                  {"columns", columns_document(stored.columns)}};
}

}  // namespace

Document to_document(const StoredSchema& schema) {
  Document tables = Document::array();
  for (const auto& table : schema.tables) tables.push_back(table_document(table));
  Document views = Document::array();
  for (const auto& view : schema.views) views.push_back(view_document(view));
  return Document{{"schema_name", schema.schema["schema_name"]},
                  {"tables", std::move(tables)},
                  {"views", std::move(views)},
                  {"comment", schema.schema["comment"]}};
}

}  // namespace kelmarion::apps
