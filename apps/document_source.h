#pragma once

// The document a save or a diff works on: inspected from --engine, or read
// from --document (a file, or "-" for standard input), and the schema it is
// saved as (--schema, else the document's schema_name).

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kelmarion_meta/tools/source_store.h"

namespace CLI {
class App;
}

namespace kelmarion::apps {

struct SchemaSource {
  std::optional<std::string> engine;
  std::optional<std::string> schema;
  std::optional<std::string> document;
};

// Adds --engine, --schema and --document to `command`; `verb` says what the
// command does with the schema ("save", "compare").
void add_schema_source_options(CLI::App& command, SchemaSource& source, std::string_view verb);

struct ObtainedDocument {
  std::shared_ptr<meta::Document> document;
  std::string schema_name;
  std::size_t tables = 0;  // entries of the document's "tables"
};

// Throws UsageError, naming `command`, when neither an engine nor a document is
// given, the document cannot be read or names no schema, or the engine has no
// such schema; and what inspecting throws.
[[nodiscard]] ObtainedDocument obtain_document(const SchemaSource& source,
                                               std::string_view command);

}  // namespace kelmarion::apps
