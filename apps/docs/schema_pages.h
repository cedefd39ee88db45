#pragma once

// The pages that document one stored schema, as Markdown with Mermaid
// diagrams, and the diagrams as Graphviz DOT files beside them:
//
//   README.md           the schema, its tables and views, its diagram
//   schema.dot
//   tables/NAME.md      a table: columns, keys, indexes, referenced by, and a
//   tables/NAME.dot     diagram of it with its direct neighbours
//   views/NAME.md       a view: columns and definition
//
// NAME comes from page_names.h. A schema of more than `full_diagram_tables`
// tables gets a diagram of table names and foreign keys only, and one of more
// than `schema_diagram_tables` none: its tables' pages show each with its
// neighbours. Everything is in the schema's order, so the same store gives the
// same bytes.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "apps/stored_schema.h"

namespace kelmarion::apps {

constexpr std::size_t full_diagram_tables = 50;
constexpr std::size_t schema_diagram_tables = 300;

struct PageOptions {
  // The pages show SVG images made from the DOT files (Graphviz is there);
  // otherwise they say how to make them.
  bool svg = false;
  // The last save of the schema, when the store's history has one: "2026-12-10T15:54:46Z (save 3)".
  std::optional<std::string> last_saved;
};

// Calls `write(path, text)` once per file, `path` relative to the output
// directory with '/' between parts; DOT files are among them.
void write_schema_pages(
    const StoredSchema& schema, const PageOptions& options,
    const std::function<void(const std::string& path, std::string_view text)>& write);

// Whether a schema of `tables` tables gets a schema-wide diagram, and with columns.
[[nodiscard]] bool has_schema_diagram(std::size_t tables);
[[nodiscard]] bool schema_diagram_has_columns(std::size_t tables);

}  // namespace kelmarion::apps
