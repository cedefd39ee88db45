#include "apps/docs/er_diagram.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <set>

#include "apps/docs/doc_text.h"
#include "kelmarion_core/json_text.h"

namespace kelmarion::apps {
namespace {

using Json = nlohmann::ordered_json;

std::string list_text(const Json& names) {
  if (!names.is_array()) return {};
  std::string text;
  for (const auto& name : names) {
    if (!text.empty()) text += ", ";
    text += core::display_text(name);
  }
  return text;
}

bool in_list(const Json& names, const Json& name) {
  return names.is_array() && std::find(names.begin(), names.end(), name) != names.end();
}

DiagramEntity table_entity(const StoredTable& table, bool with_columns) {
  DiagramEntity entity{text_of(table.table, "table_name"), false, {}};
  if (!with_columns) return entity;
  for (const auto& column : table.columns) {
    DiagramColumn shown{text_of(column, "name"), text_of(column, "type"), false, false};
    for (const auto& key : table.primary_keys) {
      shown.primary = shown.primary || in_list(key["constrained_columns"], column["name"]);
    }
    for (const auto& key : table.foreign_keys) {
      shown.foreign = shown.foreign || in_list(key["constrained_columns"], column["name"]);
    }
    entity.columns.push_back(std::move(shown));
  }
  return entity;
}

DiagramEntity view_entity(const StoredView& view) {
  DiagramEntity entity{text_of(view.view, "view_name"), true, {}};
  for (const auto& column : view.columns) {
    entity.columns.push_back({text_of(column, "name"), text_of(column, "type"), false, false});
  }
  return entity;
}

// Adds the relations of the foreign keys of table `from` whose referred table
// is placed (table index -> entity index), those touching `only` when given.
void add_relations(const StoredSchema& schema, const SchemaLinks& links, std::size_t from,
                   const std::map<std::size_t, std::size_t>& placed,
                   std::optional<std::size_t> only, Diagram& diagram) {
  const auto& keys = schema.tables[from].foreign_keys;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const auto to = links.referred(from, k);
    if (!to || !placed.contains(*to)) continue;
    if (only && from != *only && *to != *only) continue;
    diagram.relations.push_back(
        {placed.at(from), placed.at(*to), list_text(keys[k]["constrained_columns"])});
  }
}

}  // namespace

SchemaLinks::SchemaLinks(const StoredSchema& schema)
    : _referred(schema.tables.size()), _referrers(schema.tables.size()) {
  // A later table of the same name wins, as when the schema was saved.
  std::map<std::string, std::size_t, std::less<>> by_name;
  for (std::size_t i = 0; i < schema.tables.size(); ++i) {
    by_name[text_of(schema.tables[i].table, "table_name")] = i;
  }
  for (std::size_t i = 0; i < schema.tables.size(); ++i) {
    for (const auto& key : schema.tables[i].foreign_keys) {
      std::optional<std::size_t> to;
      const auto& referred_schema = key["referred_schema"];
      const auto found = by_name.find(text_of(key, "referred_table"));
      if ((referred_schema.is_null() || referred_schema == schema.schema["schema_name"]) &&
          key["referred_table"].is_string() && found != by_name.end()) {
        to = found->second;
        auto& referrers = _referrers[found->second];
        if (referrers.empty() || referrers.back() != i) referrers.push_back(i);
      }
      _referred[i].push_back(to);
    }
  }
}

Diagram schema_diagram(const StoredSchema& schema, const SchemaLinks& links, bool with_columns) {
  Diagram diagram{fmt::format("schema {}", text_of(schema.schema, "schema_name")), {}, {}};
  std::map<std::size_t, std::size_t> placed;
  for (std::size_t i = 0; i < schema.tables.size(); ++i) {
    placed.emplace(i, diagram.entities.size());
    diagram.entities.push_back(table_entity(schema.tables[i], with_columns));
  }
  for (std::size_t i = 0; i < schema.tables.size(); ++i) {
    add_relations(schema, links, i, placed, std::nullopt, diagram);
  }
  for (const auto& view : schema.views) {
    diagram.entities.push_back(view_entity(view));
    if (!with_columns) diagram.entities.back().columns.clear();
  }
  return diagram;
}

Diagram neighbourhood_diagram(const StoredSchema& schema, const SchemaLinks& links,
                              std::size_t table) {
  std::set<std::size_t> members{table};
  for (std::size_t k = 0; k < schema.tables[table].foreign_keys.size(); ++k) {
    if (const auto to = links.referred(table, k)) members.insert(*to);
  }
  members.insert(links.referrers(table).begin(), links.referrers(table).end());
  Diagram diagram{
      fmt::format("table {}", text_of(schema.tables[table].table, "table_name")), {}, {}};
  std::map<std::size_t, std::size_t> placed;
  for (const auto i : members) {
    placed.emplace(i, diagram.entities.size());
    diagram.entities.push_back(table_entity(schema.tables[i], true));
  }
  // Only the foreign keys that touch the table: its neighbours' others are theirs.
  for (const auto i : members) add_relations(schema, links, i, placed, table, diagram);
  return diagram;
}

std::string mermaid_text_of(const Diagram& diagram) {
  std::string text = "erDiagram\n";
  for (std::size_t i = 0; i < diagram.entities.size(); ++i) {
    const auto& entity = diagram.entities[i];
    text += fmt::format("  t{}[\"{}{}\"]", i + 1, entity.view ? "view " : "",
                        mermaid_text(entity.name));
    if (entity.columns.empty()) {
      text += '\n';
      continue;
    }
    text += " {\n";
    for (const auto& column : entity.columns) {
      std::string keys;
      if (column.primary) keys = "PK";
      if (column.foreign) keys += keys.empty() ? "FK" : ", FK";
      // Types and names are words in Mermaid: the exact name goes in the comment.
      text += fmt::format(
          "    {} {}{}{} \"{}\"\n", mermaid_word(column.type.empty() ? "-" : column.type),
          mermaid_word(column.name), keys.empty() ? "" : " ", keys, mermaid_text(column.name));
    }
    text += "  }\n";
  }
  for (const auto& relation : diagram.relations) {
    text += fmt::format("  t{} }}o--|| t{} : \"{}\"\n", relation.from + 1, relation.to + 1,
                        mermaid_text(relation.label));
  }
  return text;
}

std::string dot_text_of(const Diagram& diagram) {
  std::string text = fmt::format(
      "digraph \"{}\" {{\n"
      "  graph [rankdir=LR, fontname=\"Helvetica\"];\n"
      "  node [shape=plaintext, fontname=\"Helvetica\", fontsize=10];\n"
      "  edge [fontname=\"Helvetica\", fontsize=9, arrowhead=none, arrowtail=crow, "
      "dir=both];\n",
      dot_quoted_text(diagram.title));
  for (std::size_t i = 0; i < diagram.entities.size(); ++i) {
    const auto& entity = diagram.entities[i];
    text += fmt::format(
        "  t{} [label=<<TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" "
        "CELLPADDING=\"3\"><TR><TD BGCOLOR=\"{}\"><B>{}{}</B></TD></TR>",
        i + 1, entity.view ? "#e8f0e0" : "#e0e8f0", entity.view ? "view " : "",
        dot_html_text(entity.name));
    for (const auto& column : entity.columns) {
      std::string keys;
      if (column.primary) keys = " PK";
      if (column.foreign) keys += " FK";
      text += fmt::format("<TR><TD ALIGN=\"LEFT\">{} {}{}</TD></TR>", dot_html_text(column.name),
                          dot_html_text(column.type), keys);
    }
    text += "</TABLE>>];\n";
  }
  for (const auto& relation : diagram.relations) {
    text += fmt::format("  t{} -> t{} [label=\"{}\"];\n", relation.from + 1, relation.to + 1,
                        dot_quoted_text(relation.label));
  }
  text += "}\n";
  return text;
}

}  // namespace kelmarion::apps
