#include "apps/commands/inspect_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "apps/document_io.h"
#include "apps/exit_status.h"
#include "apps/usage_error.h"
#include "kelmarion_core/connection_url.h"
#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::apps {

CLI::App& add_inspect_command(CLI::App& app, InspectArguments& arguments) {
  auto* command = app.add_subcommand(
      "inspect", "Print a schema's structure (tables, views, keys, indexes) as a JSON document");
  command->fallthrough();
  command
      ->add_option("--engine", arguments.engine,
                   "Database to inspect: sqlite:///relative.db, sqlite:////absolute.db, "
                   "postgresql://user@host:port/db, libpq key=value pairs, "
                   "mysql://user@host:port/db")
      ->required()
      ->option_text("URL");
  command
      ->add_option("--schema", arguments.schema,
                   "Schema to inspect (default: the engine's own, 'main' for SQLite, "
                   "'public' for PostgreSQL, the URL's database for MySQL)")
      ->option_text("NAME");
  command
      ->add_option("-o,--output", arguments.output,
                   "Write the document into FILE instead of standard output")
      ->option_text("FILE");
  command->add_flag("--pretty", arguments.pretty,
                    "Indent the JSON (the default when standard output is a terminal)");
  command->footer(
      "Exit status: 0 done, 1 the database or the system failed, 2 bad usage or "
      "input, unknown URL scheme, schema not found or text that is not UTF-8.");
  return *command;
}

int run_inspect(const InspectArguments& arguments, const GlobalOptions& /*global*/) {
  meta::SourceStore store({.engine_name = arguments.engine, .schema_name = arguments.schema});
  const auto document = store.inspect();
  if (!document) {
    throw UsageError(fmt::format("schema '{}': not found by engine '{}'",
                                 arguments.schema.value_or("(default)"),
                                 core::redact_password(arguments.engine)));
  }
  const bool pretty =
      arguments.pretty || (is_standard_output(arguments.output) && stdout_is_terminal());
  write_document(*document, arguments.output, pretty);
  return exit_success;
}

}  // namespace kelmarion::apps
