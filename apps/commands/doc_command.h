#pragma once

// kelmarion-meta doc [--store URL] --schema NAME -o DIR [--force] [--lock-timeout SECONDS]
//
// Documents a stored schema, from the store alone (never from the live
// database): Markdown pages with Mermaid diagrams and Graphviz DOT files
// (schema_pages.h), and SVG images when Graphviz's dot is installed. DIR must
// be new or empty; --force replaces the pages a previous run wrote there
// (README.md, schema.*, tables/, views/). The same store gives the same bytes.

#include <optional>
#include <string>

#include "apps/global_options.h"

namespace CLI {
class App;
}

namespace kelmarion::apps {

struct DocArguments {
  std::optional<std::string> store;
  std::string schema;
  std::string output;
  bool force = false;
  double lock_timeout_seconds = 0;  // set by the option's default
};

CLI::App& add_doc_command(CLI::App& app, DocArguments& arguments);

// Throws UsageError for a missing store file or schema, or a DIR that is not
// empty (without --force) or cannot be made; std::system_error when a page
// cannot be written; std::runtime_error when Graphviz fails.
int run_doc(const DocArguments& arguments, const GlobalOptions& global);

}  // namespace kelmarion::apps
