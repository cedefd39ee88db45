#include "apps/commands/save_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "apps/change_options.h"
#include "apps/document_io.h"
#include "apps/document_source.h"
#include "apps/exit_status.h"
#include "apps/lock_timeout_option.h"
#include "apps/output_file.h"
#include "apps/run_coroutine.h"
#include "apps/save_progress.h"
#include "apps/save_summary.h"
#include "apps/standard_output.h"
#include "apps/store_location.h"
#include "apps/store_option.h"
#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/save_schema.h"

namespace kelmarion::apps {

CLI::App& add_save_command(CLI::App& app, SaveArguments& arguments) {
  auto* command = app.add_subcommand(
      "save", "Save a schema's structure into the store as metamodel records, in one transaction");
  command->fallthrough();
  add_schema_source_options(*command, arguments.source, "save");
  add_store_option(*command, arguments.store);
  command
      ->add_option("-o,--output", arguments.output,
                   "Write the saved document, with the identifiers and sort orders the save "
                   "wrote into it, into FILE ('-': standard output, the summary then goes "
                   "to stderr)")
      ->option_text("FILE");
  add_lock_timeout_option(*command, arguments.lock_timeout_seconds);
  command->add_flag("--prune", arguments.prune,
                    "Delete stale records (records under the schema this save did not write: "
                    "dropped columns, tables, indexes, ...) in the same transaction");
  add_changes_flag(*command, arguments.list_changes);
  add_format_option(*command, arguments.format);
  command->footer(
      "The summary lists what the save created (+), changed (~) and found stale or "
      "deleted (-); every save is recorded in the store's history ('history').\n"
      "Exit status: 0 saved, 1 a database or the system failed (a failed save "
      "changes nothing), 2 bad usage or input (malformed document, missing key, "
      "unknown URL scheme, schema not found, in-memory store, a store of a newer "
      "layout, -o FILE that cannot be written).");
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
  auto obtained = obtain_document(arguments.source, "save");
  // JSON output refuses text that is not UTF-8: refused before the save, not after it.
  if (arguments.output || arguments.format == "json") require_utf8_text(*obtained.document);

  // The result holds the only reference to the document, dropped once not needed.
  meta::SaveResult result = [&] {
    const SaveProgress progress(session, obtained.tables, global.verbose);
    return run_coroutine(meta::save_schema(session, arguments.source.engine, obtained.schema_name,
                                           std::move(obtained.document), arguments.prune));
  }();

  if (output_file) {
    output_file->write(document_text(*result.document, false));
  } else if (arguments.output) {
    write_standard_output(document_text(*result.document, false));
  }
  result.document.reset();
  if (global.quiet) return exit_success;
  const SaveSummary summary{
      .schema_name = obtained.schema_name,
      .store_location = session.location(),
      .engine_name = arguments.source.engine
                         ? std::optional(core::redact_password(*arguments.source.engine))
                         : std::nullopt,
      .elapsed = std::chrono::steady_clock::now() - started,
      .changes = &result.changes,
      .schema_changes = &result.schema_changes,
      .history_id = result.history_id,
      .pruned = arguments.prune,
      .list_limit = arguments.list_changes ? SIZE_MAX : default_list_limit};
  std::string report;
  if (arguments.format == "json") {
    report = document_text(save_summary_json(summary), false);
  } else {
    std::ostringstream text;
    write_save_summary(text, summary);
    report = text.str();
  }
  // With the document on standard output, the summary goes to stderr.
  if (arguments.output && !output_file) {
    std::cerr << report;
  } else {
    write_standard_output(report);
  }
  return exit_success;
}

}  // namespace kelmarion::apps
