#pragma once

// kelmarion-meta show [--store URL] [--schema NAME] [--format tree|json|mermaid|dot] [--pretty]
//                     [--lock-timeout SECONDS]
//
// Reads the stored metamodel back: a readable outline per schema, or the
// schema's document as JSON (the shape `inspect` writes, so that saving it with
// `save --document` changes nothing). Without --schema every stored schema is
// shown; as JSON that is a list of documents. The store is opened read-only and
// read in one transaction: show never creates or changes anything, and reads
// one consistent state while saves go on. As mermaid or dot, the schema's ER
// diagram (er_diagram.h), of one schema.

#include <optional>
#include <string>
#include <vector>

#include "apps/global_options.h"

namespace CLI {
class App;
}

namespace kelmarion::apps {

// What --format takes.
inline const std::vector<std::string> show_formats{"tree", "json", "mermaid", "dot"};

struct ShowArguments {
  std::optional<std::string> store;   // absent: see store_location.h
  std::optional<std::string> schema;  // absent: every stored schema
  std::string format = "tree";        // "tree", "json", "mermaid" or "dot"
  bool pretty = false;
  double lock_timeout_seconds = 0;  // set by the option's default
};

// Adds the "show" subcommand to `app`, filling `arguments` when it is parsed;
// both must outlive the parse.
CLI::App& add_show_command(CLI::App& app, ShowArguments& arguments);

// Runs the command and returns the exit status. Throws UsageError when the
// store file does not exist or holds no schema of the given name, and
// core::DatabaseError when the store fails.
int run_show(const ShowArguments& arguments, const GlobalOptions& global);

}  // namespace kelmarion::apps
