#pragma once

// kelmarion-meta diff --engine URL [--schema NAME] [--document FILE|-]
//                     [--store URL] [--format text|json] [--lock-timeout SECONDS]
//
// Tells whether the store still holds what the schema is now: runs the save a
// `save` of the same arguments would run, on a session that rehearses its
// writes (nothing is sent to the store, nothing is recorded in its history),
// and lists the changes that save would make. Exit status 0 when there are
// none, 3 when there are (a CI job branches on it).
//
//   schema 'main' in store 'store.db' differs from engine 'sqlite:///shop.db':
//     + table invoices (4 columns, primary key, 1 foreign key, 2 indexes)
//     - column customers.fax (stale; removed with --prune)
//
// As JSON: {"schema", "store", "engine", "document", "differs", "counts",
// "changes"}, the last two as schema_changes.h describes them.

#include <optional>
#include <string>

#include "apps/document_source.h"
#include "apps/global_options.h"

namespace CLI {
class App;
}

namespace kelmarion::apps {

struct DiffArguments {
  SchemaSource source;  // --engine, --schema, --document
  std::optional<std::string> store;
  std::string format = "text";
  double lock_timeout_seconds = 0;  // set by the option's default
};

CLI::App& add_diff_command(CLI::App& app, DiffArguments& arguments);

// Returns exit_success or exit_differences. Throws UsageError for bad
// arguments, input or a missing store file, and what the library throws.
int run_diff(const DiffArguments& arguments, const GlobalOptions& global);

}  // namespace kelmarion::apps
