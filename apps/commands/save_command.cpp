#include "apps/commands/save_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "apps/document_io.h"
#include "apps/document_names.h"
#include "apps/exit_status.h"
#include "apps/lock_timeout_option.h"
#include "apps/output_file.h"
#include "apps/run_coroutine.h"
#include "apps/save_progress.h"
#include "apps/save_summary.h"
#include "apps/stale_records.h"
#include "apps/standard_output.h"
#include "apps/store_location.h"
#include "apps/usage_error.h"
#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/save_schema.h"
#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::apps {
namespace {

std::string schema_name_of(const meta::Document& document) {
  const auto found = document.find("schema_name");
  return found != document.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// The document to save and the schema it is saved as.
std::pair<std::shared_ptr<meta::Document>, std::string> obtain_document(
    const SaveArguments& arguments) {
  if (arguments.document) {
    auto document = std::make_shared<meta::Document>(read_document(*arguments.document));
    check_names(*document);
    auto schema = arguments.schema.value_or(schema_name_of(*document));
    if (schema.empty()) {
      throw UsageError(
          fmt::format("document '{}': no text 'schema_name'; give --schema", *arguments.document));
    }
    return {std::move(document), std::move(schema)};
  }
  if (!arguments.engine) {
    throw UsageError("save: give --engine to inspect a schema, or --document to read one");
  }
  meta::SourceStore inspector({.engine_name = arguments.engine, .schema_name = arguments.schema});
  auto inspected = inspector.inspect();
  if (!inspected) {
    throw UsageError(fmt::format("schema '{}': not found by engine '{}'",
                                 arguments.schema.value_or("(default)"),
                                 core::redact_password(*arguments.engine)));
  }
  auto schema = arguments.schema.value_or(schema_name_of(*inspected));
  if (schema.empty()) {
    throw UsageError(fmt::format("engine '{}': its document names no schema; give --schema",
                                 core::redact_password(*arguments.engine)));
  }
  return {std::make_shared<meta::Document>(std::move(*inspected)), std::move(schema)};
}

std::size_t table_count(const meta::Document& document) {
  const auto tables = document.find("tables");
  return tables != document.end() && tables->is_array() ? tables->size() : 0;
}

}  // namespace

CLI::App& add_save_command(CLI::App& app, SaveArguments& arguments) {
  auto* command = app.add_subcommand(
      "save", "Save a schema's structure into the store as metamodel records, in one transaction");
  command->fallthrough();
  command->add_option("--engine", arguments.engine,
                      "Database to inspect (sqlite:///file.db, postgresql://user@host/db, "
                      "mysql://user@host/db); "
                      "with --document it is only recorded, and defaults to the stored one");
  command->add_option("--schema", arguments.schema,
                      "Schema to save (default: the document's schema_name, or the engine's "
                      "default schema)");
  command->add_option("--document", arguments.document,
                      "Save this JSON document (as 'inspect' or 'show --format json' write it) "
                      "instead of inspecting; '-' reads standard input");
  command->add_option(
      "--store", arguments.store,
      "Store database: sqlite:///file.db, a file path, postgresql://user@host/db or "
      "libpq key=value pairs (default: $" +
          std::string(store_environment_variable) + ", else " + default_store + ")");
  command->add_option("-o,--output", arguments.output,
                      "Write the saved document, with the identifiers and sort orders the save "
                      "wrote into it, into FILE ('-': standard output, the summary then goes "
                      "to stderr)");
  add_lock_timeout_option(*command, arguments.lock_timeout_seconds);
  command->add_flag("--prune", arguments.prune,
                    "Delete stale records (records under the schema this save did not write: "
                    "dropped columns, tables, indexes, ...) in the same transaction");
  command->footer(
      "Exit status: 0 saved, 1 a database or the system failed (a failed save "
      "changes nothing), 2 bad usage or input (malformed document, missing key, "
      "unknown URL scheme, schema not found, in-memory store, -o FILE that cannot "
      "be written).");
  return *command;
}

int run_save(const SaveArguments& arguments, const GlobalOptions& global) {
  const auto started = std::chrono::steady_clock::now();
  const auto location = store_location(arguments.store);
  require_lasting_store(location);
  // Opened before the save, so that a file that cannot be written leaves the store as it was.
  std::optional<OutputFile> output_file;
  if (!is_standard_output(arguments.output)) output_file.emplace(*arguments.output);
  core::AsyncSession session(location,
                             {.lock_timeout = lock_timeout(arguments.lock_timeout_seconds)});
  auto obtained = obtain_document(arguments);
  auto& document = obtained.first;
  const auto& schema_name = obtained.second;
  if (arguments.output) require_utf8_text(*document);

  const auto tables = table_count(*document);
  // The result holds the only reference to the document, dropped once not needed.
  meta::SaveResult result = [&] {
    const SaveProgress progress(session, tables, global.verbose);
    return run_coroutine(meta::save_schema(session, arguments.engine, schema_name,
                                           std::move(document), arguments.prune));
  }();

  if (output_file) {
    output_file->write(document_text(*result.document, false));
  } else if (arguments.output) {
    write_standard_output(document_text(*result.document, false));
  }
  if (!global.quiet) {
    auto stale = describe_stale_records(result.stale, *result.document);
    result.document.reset();
    SaveSummary summary{schema_name,
                        session.location(),
                        std::chrono::steady_clock::now() - started,
                        count_records(result.changes),
                        std::move(stale),
                        arguments.prune};
    std::ostringstream text;
    write_save_summary(text, summary);
    if (arguments.output && !output_file) {
      std::cerr << text.str();
    } else {
      write_standard_output(text.str());
    }
  }
  return exit_success;
}

}  // namespace kelmarion::apps
