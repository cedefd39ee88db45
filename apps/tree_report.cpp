#include "apps/tree_report.h"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

#include "apps/escaped_text.h"
#include "kelmarion_core/json_text.h"

namespace kelmarion::apps {
namespace {

using meta_json = nlohmann::ordered_json;

// Every text from the store goes through here, so that no name can reach the
// terminal with a control character in it.
std::string shown(const core::Record& record, std::string_view field,
                  std::string_view fallback = "") {
  return escaped_text(text_of(record, field, fallback));
}

std::string shown(const meta_json& value) { return escaped_text(core::display_text(value)); }

// "a, b" for a list of names; other values as JSON.
std::string name_list(const meta_json& names) {
  if (!names.is_array()) return names.is_null() ? std::string() : shown(names);
  std::string text;
  for (const auto& name : names) {
    if (!text.empty()) text += ", ";
    text += shown(name);
  }
  return text;
}

// "ondelete CASCADE, onupdate SET NULL" for a foreign key's options.
std::string options_text(const meta_json& options) {
  if (!options.is_object()) return {};
  std::string text;
  for (const auto& [key, value] : options.items()) {
    if (!text.empty()) text += ", ";
    text += escaped_text(key) + ' ' + shown(value);
  }
  return text;
}

std::string comment_suffix(const core::Record& record) {
  const auto& comment = record["comment"];
  return comment.is_string() ? fmt::format("  -- {}", shown(comment)) : std::string();
}

std::string column_traits(const core::Record& column) {
  std::vector<std::string> traits;
  if (column["nullable"] == false) traits.emplace_back("not null");
  if (column["autoincrement"] == true) traits.emplace_back("autoincrement");
  if (column["default"].is_string()) traits.push_back("default " + shown(column, "default"));
  return fmt::format("{}", fmt::join(traits, ", "));
}

void write_columns(std::ostream& output, const std::vector<core::Record>& columns) {
  if (columns.empty()) return;
  std::size_t name_width = 0;
  std::size_t type_width = 0;
  for (const auto& column : columns) {
    name_width = std::max(name_width, shown(column, "name").size());
    type_width = std::max(type_width, shown(column, "type").size());
  }
  output << "    columns\n";
  for (const auto& column : columns) {
    auto line = fmt::format("      {:<{}}  {:<{}}  {}", shown(column, "name"), name_width,
                            shown(column, "type"), type_width, column_traits(column));
    line += comment_suffix(column);
    line.erase(line.find_last_not_of(' ') + 1);
    output << line << '\n';
  }
}

void write_table(std::ostream& output, const StoredTable& table,
                 const std::vector<core::Record>& referencing_foreign_keys) {
  const auto table_name = shown(table.table, "table_name", "(no name)");
  output << "  table " << table_name << comment_suffix(table.table) << '\n';
  write_columns(output, table.columns);
  for (const auto& key : table.primary_keys) {
    const auto name = shown(key, "name");
    output << "    primary key" << (name.empty() ? "" : " " + name) << " ("
           << name_list(key["constrained_columns"]) << ")\n";
  }
  for (const auto& key : table.foreign_keys) {
    const auto name = shown(key, "name");
    const auto options = options_text(key["options"]);
    output << "    foreign key" << (name.empty() ? "" : " " + name) << " ("
           << name_list(key["constrained_columns"]) << ") -> " << shown(key, "referred_table")
           << " (" << name_list(key["referred_columns"]) << ")"
           << (options.empty() ? "" : "  " + options) << '\n';
  }
  for (const auto& index : table.indexes) {
    output << "    " << (index["unique"] == true ? "unique index " : "index ")
           << shown(index, "name", "(no name)") << " (" << name_list(index["column_names"])
           << ")\n";
  }
  for (const auto& key : referencing_foreign_keys) {
    if (key["referred_table"] != table.table["table_name"]) continue;
    output << "    referenced by " << shown(key, "constrained_table") << " ("
           << name_list(key["constrained_columns"]) << ")"
           << (key["unique"] == true ? ", one to one" : "") << '\n';
  }
}

void write_view(std::ostream& output, const StoredView& view) {
  output << "  view " << shown(view.view, "view_name", "(no name)") << comment_suffix(view.view)
         << '\n';
  write_columns(output, view.columns);
}

}  // namespace

void write_tree(std::ostream& output, const StoredSchema& schema) {
  const auto engine = shown(schema.schema, "engine_name");
  output << "schema '" << shown(schema.schema, "schema_name") << "'"
         << (engine.empty() ? "" : " (engine " + engine + ")") << ": " << schema.tables.size()
         << (schema.tables.size() == 1 ? " table, " : " tables, ") << schema.views.size()
         << (schema.views.size() == 1 ? " view" : " views") << comment_suffix(schema.schema)
         << '\n';
  for (const auto& table : schema.tables) {
    write_table(output, table, schema.referencing_foreign_keys);
  }
  for (const auto& view : schema.views) write_view(output, view);
}

}  // namespace kelmarion::apps
