#pragma once

// Entity-relationship diagrams of a stored schema: the model (tables and views
// with their columns, foreign keys as relations) and its two renderings, a
// Mermaid erDiagram (which code hosts draw inside Markdown) and Graphviz DOT.
// Names are escaped for each (doc_text.h); entities are named t1, t2, ... in
// the diagram, so no name of the schema is ever syntax of it.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "apps/stored_schema.h"

namespace kelmarion::apps {

struct DiagramColumn {
  std::string name;
  std::string type;
  bool primary = false;
  bool foreign = false;
};

struct DiagramEntity {
  std::string name;
  bool view = false;
  std::vector<DiagramColumn> columns;  // empty when the diagram shows names only
};

// A foreign key of `from` that refers to `to` (indexes into the entities).
struct DiagramRelation {
  std::size_t from;
  std::size_t to;
  std::string label;  // the foreign key's columns
};

struct Diagram {
  std::string title;
  std::vector<DiagramEntity> entities;
  std::vector<DiagramRelation> relations;
};

// Which table of a schema each foreign key refers to (by the referred table's
// name, in the same schema), and which tables refer to each table; built once.
class SchemaLinks {
 public:
  explicit SchemaLinks(const StoredSchema& schema);
  // The table foreign key `key` of table `table` refers to, or nullopt.
  [[nodiscard]] std::optional<std::size_t> referred(std::size_t table, std::size_t key) const {
    return _referred[table][key];
  }
  // The tables with a foreign key to `table`, ascending, each once.
  [[nodiscard]] const std::vector<std::size_t>& referrers(std::size_t table) const {
    return _referrers[table];
  }

 private:
  std::vector<std::vector<std::optional<std::size_t>>> _referred;
  std::vector<std::vector<std::size_t>> _referrers;
};

// The whole schema: its tables (with their columns when `with_columns`) and
// the foreign keys between them; views stand alone.
[[nodiscard]] Diagram schema_diagram(const StoredSchema& schema, const SchemaLinks& links,
                                     bool with_columns);

// Table `table` with the tables it refers to and those that refer to it, and
// the foreign keys between it and them.
[[nodiscard]] Diagram neighbourhood_diagram(const StoredSchema& schema, const SchemaLinks& links,
                                            std::size_t table);

// "erDiagram" and its lines, ending with a newline.
[[nodiscard]] std::string mermaid_text_of(const Diagram& diagram);

// A DOT digraph, ending with a newline.
[[nodiscard]] std::string dot_text_of(const Diagram& diagram);

}  // namespace kelmarion::apps
