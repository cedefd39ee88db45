#pragma once

// kelmarion-meta save --engine URL [--schema NAME] [--document FILE|-]
//                     [--store URL] [-o FILE] [--prune] [--lock-timeout SECONDS]
//                     [--changes] [--format text|json]
//
// Saves a schema's metadata into the store in one transaction: the document is
// inspected from the engine, or read from a file (or standard input). After the
// save, records stored under the schema that the save did not write are stale:
// they are reported, and deleted with --prune in the same transaction. The same
// transaction appends the save to the history of saves. Any failure rolls
// everything back. Prints a summary with the changes (save_summary.h) unless -q.

#include <optional>
#include <string>

#include "apps/document_source.h"
#include "apps/global_options.h"

namespace CLI {
class App;
}

namespace kelmarion::apps {

struct SaveArguments {
  SchemaSource source;                // --engine, --schema, --document
  std::optional<std::string> store;   // absent: see store_location.h
  std::optional<std::string> output;  // where the saved document goes, if anywhere
  bool prune = false;
  bool list_changes = false;  // list every change, however many
  std::string format = "text";
  double lock_timeout_seconds = 0;  // set by the option's default
};

// Adds the "save" subcommand to `app`, filling `arguments` when it is parsed;
// both must outlive the parse.
CLI::App& add_save_command(CLI::App& app, SaveArguments& arguments);

// Runs the command and returns the exit status. Throws UsageError for bad
// arguments or input, and what the library throws (see exit_status.h).
int run_save(const SaveArguments& arguments, const GlobalOptions& global);

}  // namespace kelmarion::apps
