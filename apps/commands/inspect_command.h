#pragma once

// kelmarion-meta inspect --engine URL [--schema NAME] [-o FILE] [--pretty]
//
// Reads one schema of a live database and writes its schema metadata document
// as JSON (indented on a terminal or with --pretty). Writes nothing to the store.

#include <optional>
#include <string>

#include "apps/global_options.h"

namespace CLI {
class App;
}

namespace kelmarion::apps {

struct InspectArguments {
  std::string engine;                 // connection URL of the database to inspect
  std::optional<std::string> schema;  // absent: the engine's default schema
  std::optional<std::string> output;  // absent or "-": standard output
  bool pretty = false;
};

// Adds the "inspect" subcommand to `app`, filling `arguments` when it is parsed;
// both must outlive the parse.
CLI::App& add_inspect_command(CLI::App& app, InspectArguments& arguments);

// Runs the command and returns the exit status. Throws UsageError when the
// engine has no such schema, and what the inspector throws (see exit_status.h).
int run_inspect(const InspectArguments& arguments, const GlobalOptions& global);

}  // namespace kelmarion::apps
