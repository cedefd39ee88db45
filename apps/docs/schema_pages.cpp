#include "apps/docs/schema_pages.h"

#include <fmt/format.h>

#include <algorithm>

#include "apps/docs/doc_text.h"
#include "apps/docs/er_diagram.h"
#include "apps/docs/page_names.h"
#include "apps/escaped_text.h"
#include "kelmarion_core/json_text.h"

namespace kelmarion::apps {
namespace {

using Json = nlohmann::ordered_json;

std::string md(const core::Record& record, std::string_view field) {
  return markdown_text(text_of(record, field));
}

std::string md_value(const Json& value) {
  if (value.is_null()) return {};
  return markdown_text(core::display_text(value));
}

std::string md_list(const Json& names) {
  if (!names.is_array()) return md_value(names);
  std::string text;
  for (const auto& name : names) {
    if (!text.empty()) text += ", ";
    text += md_value(name);
  }
  return text;
}

std::string options_text(const Json& options) {
  if (!options.is_object()) return {};
  std::string text;
  for (const auto& [key, value] : options.items()) {
    if (!text.empty()) text += ", ";
    text += fmt::format("{} {}", markdown_text(key), md_value(value));
  }
  return text;
}

// "1 view", "2 views", "3 indexes".
std::string counted(std::size_t count, std::string_view noun) {
  return fmt::format("{} {}{}", count, noun, count == 1 ? "" : noun == "index" ? "es" : "s");
}

std::string yes_no(const Json& value) {
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  return md_value(value);
}

// `text` with its line breaks kept and every other control character escaped.
std::string lines_shown(const std::string& text) {
  std::string shown;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = std::min(text.find('\n', start), text.size());
    if (start > 0) shown += '\n';
    shown += escaped_text(std::string_view(text).substr(start, end - start));
    start = end + 1;
  }
  return shown;
}

// A fenced block whose fence no run of backticks in `text` can close.
std::string fenced(std::string_view info, const std::string& text) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (const char c : text) {
    run = c == '`' ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  const std::string fence(std::max<std::size_t>(3, longest + 1), '`');
  return fmt::format("{}{}\n{}{}{}\n", fence, info, text,
                     text.empty() || text.back() == '\n' ? "" : "\n", fence);
}

// The diagram section of a page: the SVG image (or how to make it), the
// Mermaid block, and the DOT file's link.
std::string diagram_section(const Diagram& diagram, const std::string& dot_file,
                            const PageOptions& options) {
  std::string text = "## Diagram\n\n";
  const auto base = dot_file.substr(0, dot_file.size() - 4);
  if (options.svg) {
    text += fmt::format("![{}]({}.svg)\n\n", markdown_text(diagram.title), base);
  }
  text += fenced("mermaid", mermaid_text_of(diagram));
  text += fmt::format("\nGraphviz: [{}]({})", dot_file, dot_file);
  text += options.svg
              ? ".\n"
              : fmt::format(" (render it with `dot -Tsvg {} -o {}.svg`).\n", dot_file, base);
  return text;
}

struct Names {
  std::vector<std::string> tables;  // page names, without extension
  std::vector<std::string> views;
};

Names page_names_of(const StoredSchema& schema) {
  std::vector<std::string> tables;
  for (const auto& table : schema.tables) tables.push_back(text_of(table.table, "table_name"));
  std::vector<std::string> views;
  for (const auto& view : schema.views) views.push_back(text_of(view.view, "view_name"));
  return {page_names(tables), page_names(views)};
}

std::string columns_section(const std::vector<core::Record>& columns) {
  std::string text = "## Columns\n\n";
  if (columns.empty()) return text.append("None.\n\n");
  text += "| Column | Type | Nullable | Default | Comment |\n|---|---|---|---|---|\n";
  for (const auto& column : columns) {
    text += fmt::format("| {} | {} | {} | {} | {} |\n", md(column, "name"), md(column, "type"),
                        yes_no(column["nullable"]), md_value(column["default"]),
                        md_value(column["comment"]));
  }
  return text + "\n";
}

// The heading of a table's or view's page, its schema and comment, and its columns.
std::string page_top(std::string_view kind, const core::Record& record, std::string_view name,
                     const StoredSchema& schema, const std::vector<core::Record>& columns) {
  auto text = fmt::format("# {} {}\n\nIn schema [{}](../README.md).", kind, md(record, name),
                          md(schema.schema, "schema_name"));
  if (const auto& comment = record["comment"]; comment.is_string()) {
    text += fmt::format(" {}", md_value(comment));
  }
  text += "\n\n";
  text += columns_section(columns);
  return text;
}

std::string table_page(const StoredSchema& schema, const SchemaLinks& links, std::size_t t,
                       const Names& names, const PageOptions& options) {
  const auto& table = schema.tables[t];
  auto text = page_top("Table", table.table, "table_name", schema, table.columns);

  text += "## Primary key\n\n";
  if (table.primary_keys.empty()) text += "None.\n";
  for (const auto& key : table.primary_keys) {
    const auto name = md(key, "name");
    text += fmt::format("({}){}\n", md_list(key["constrained_columns"]),
                        name.empty() ? "" : fmt::format(", named {}", name));
  }

  text += "\n## Foreign keys\n\n";
  if (table.foreign_keys.empty()) text += "None.\n";
  if (!table.foreign_keys.empty()) {
    text += "| Name | Columns | References | Options |\n|---|---|---|---|\n";
  }
  for (std::size_t k = 0; k < table.foreign_keys.size(); ++k) {
    const auto& key = table.foreign_keys[k];
    auto referred = md(key, "referred_table");
    if (const auto to = links.referred(t, k)) {
      referred = fmt::format("[{}]({}.md)", referred, names.tables[*to]);
    } else if (key["referred_schema"].is_string()) {
      referred = fmt::format("{}.{}", md(key, "referred_schema"), referred);
    }
    text += fmt::format("| {} | {} | {} ({}) | {} |\n", md(key, "name"),
                        md_list(key["constrained_columns"]), referred,
                        md_list(key["referred_columns"]), options_text(key["options"]));
  }

  text += "\n## Indexes\n\n";
  if (table.indexes.empty()) text += "None.\n";
  if (!table.indexes.empty()) text += "| Index | Columns | Unique |\n|---|---|---|\n";
  for (const auto& index : table.indexes) {
    text += fmt::format("| {} | {} | {} |\n", md(index, "name"), md_list(index["column_names"]),
                        yes_no(index["unique"]));
  }

  text += "\n## Referenced by\n\n";
  std::string rows;
  for (const auto from : links.referrers(t)) {
    const auto& keys = schema.tables[from].foreign_keys;
    for (std::size_t k = 0; k < keys.size(); ++k) {
      if (links.referred(from, k) != t) continue;
      rows +=
          fmt::format("| [{}]({}.md) | {} | {} |\n", md(schema.tables[from].table, "table_name"),
                      names.tables[from], md_list(keys[k]["constrained_columns"]),
                      md_list(keys[k]["referred_columns"]));
    }
  }
  text += rows.empty() ? "None.\n" : "| Table | Its columns | Columns here |\n|---|---|---|\n";
  text += rows;
  text += '\n';
  text += diagram_section(neighbourhood_diagram(schema, links, t),
                          fmt::format("{}.dot", names.tables[t]), options);
  return text;
}

std::string view_page(const StoredSchema& schema, const StoredView& view,
                      const PageOptions& /*options*/) {
  auto text = page_top("View", view.view, "view_name", schema, view.columns);
  text += "## Definition\n\n";
  const auto& definition = view.view["definition"];
  text += definition.is_string() ? fenced("sql", lines_shown(definition.get<std::string>()))
                                 : std::string("Not recorded.\n");
  return text;
}

std::string readme(const StoredSchema& schema, const SchemaLinks& links, const Names& names,
                   const PageOptions& options) {
  std::string text = fmt::format("# Schema {}\n\n", md(schema.schema, "schema_name"));
  if (const auto& engine = schema.schema["engine_name"]; engine.is_string()) {
    text += fmt::format("Engine: {}.\n", md_value(engine));
  }
  if (const auto& comment = schema.schema["comment"]; comment.is_string()) {
    text += fmt::format("Comment: {}.\n", md_value(comment));
  }
  if (options.last_saved)
    text += fmt::format("Last saved: {}.\n", markdown_text(*options.last_saved));
  std::size_t columns = 0;
  std::size_t foreign_keys = 0;
  std::size_t indexes = 0;
  for (const auto& table : schema.tables) {
    columns += table.columns.size();
    foreign_keys += table.foreign_keys.size();
    indexes += table.indexes.size();
  }
  text += fmt::format("\n{}, {}, {}, {}, {}.\n\n", counted(schema.tables.size(), "table"),
                      counted(schema.views.size(), "view"), counted(columns, "table column"),
                      counted(foreign_keys, "foreign key"), counted(indexes, "index"));
  const auto tables = schema.tables.size();
  if (has_schema_diagram(tables)) {
    text += diagram_section(schema_diagram(schema, links, schema_diagram_has_columns(tables)),
                            "schema.dot", options);
    if (!schema_diagram_has_columns(tables)) {
      text += fmt::format(
          "\nWith more than {} tables the diagram shows names and foreign keys only; each "
          "table's page shows its columns.\n",
          full_diagram_tables);
    }
  } else {
    text += fmt::format(
        "## Diagram\n\nWith more than {} tables one diagram of the schema cannot be read; each "
        "table's page shows the table with the tables it refers to and those that refer to it.\n",
        schema_diagram_tables);
  }
  text += "\n## Tables\n\n";
  if (schema.tables.empty()) text += "None.\n";
  if (!schema.tables.empty()) text += "| Table | Columns | Comment |\n|---|---|---|\n";
  for (std::size_t i = 0; i < schema.tables.size(); ++i) {
    const auto& table = schema.tables[i];
    text += fmt::format("| [{}](tables/{}.md) | {} | {} |\n", md(table.table, "table_name"),
                        names.tables[i], table.columns.size(), md_value(table.table["comment"]));
  }
  text += "\n## Views\n\n";
  if (schema.views.empty()) text += "None.\n";
  if (!schema.views.empty()) text += "| View | Columns | Comment |\n|---|---|---|\n";
  for (std::size_t i = 0; i < schema.views.size(); ++i) {
    const auto& view = schema.views[i];
    text += fmt::format("| [{}](views/{}.md) | {} | {} |\n", md(view.view, "view_name"),
                        names.views[i], view.columns.size(), md_value(view.view["comment"]));
  }
  return text;
}

}  // namespace

bool has_schema_diagram(std::size_t tables) { return tables <= schema_diagram_tables; }
bool schema_diagram_has_columns(std::size_t tables) { return tables <= full_diagram_tables; }

void write_schema_pages(
    const StoredSchema& schema, const PageOptions& options,
    const std::function<void(const std::string& path, std::string_view text)>& write) {
  const SchemaLinks links(schema);
  const auto names = page_names_of(schema);
  write("README.md", readme(schema, links, names, options));
  const auto tables = schema.tables.size();
  if (has_schema_diagram(tables)) {
    write("schema.dot",
          dot_text_of(schema_diagram(schema, links, schema_diagram_has_columns(tables))));
  }
  for (std::size_t t = 0; t < tables; ++t) {
    write(fmt::format("tables/{}.md", names.tables[t]),
          table_page(schema, links, t, names, options));
    write(fmt::format("tables/{}.dot", names.tables[t]),
          dot_text_of(neighbourhood_diagram(schema, links, t)));
  }
  for (std::size_t v = 0; v < schema.views.size(); ++v) {
    write(fmt::format("views/{}.md", names.views[v]), view_page(schema, schema.views[v], options));
  }
}

}  // namespace kelmarion::apps
