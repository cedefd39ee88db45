#include "apps/commands/diff_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <sstream>

#include "apps/change_list.h"
#include "apps/change_options.h"
#include "apps/document_io.h"
#include "apps/document_source.h"
#include "apps/escaped_text.h"
#include "apps/exit_status.h"
#include "apps/lock_timeout_option.h"
#include "apps/run_coroutine.h"
#include "apps/standard_output.h"
#include "apps/store_location.h"
#include "apps/store_option.h"
#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/save_schema.h"

namespace kelmarion::apps {
namespace {

// Whether the save would write anything or finds stale records.
bool differs(const core::ChangeSet& changes) {
  if (!changes.writes_nothing()) return true;
  for (const auto& [table, of] : changes.classes()) {
    if (!of.stale.empty()) return true;
  }
  return false;
}

// "engine 'sqlite:///shop.db'" or "document 'schema.json'".
std::string source_text(const DiffArguments& arguments) {
  if (arguments.source.document)
    return fmt::format("document '{}'", escaped_text(*arguments.source.document));
  return fmt::format("engine '{}'", escaped_text(core::redact_password(*arguments.source.engine)));
}

std::string text_report(const DiffArguments& arguments, const std::string& schema_name,
                        const core::AsyncSession& session, const meta::SaveResult& result) {
  std::ostringstream text;
  const auto heading = fmt::format("schema '{}' in store '{}'", escaped_text(schema_name),
                                   escaped_text(session.location()));
  if (!differs(result.changes)) {
    text << fmt::format("{} matches {}\n", heading, source_text(arguments));
    return text.str();
  }
  text << fmt::format("{} differs from {}:\n", heading, source_text(arguments));
  if (result.schema_changes.empty()) {
    // Only records that mirror foreign keys, which the list leaves out.
    text << "  the references between its tables differ\n";
  }
  write_change_list(text, result.schema_changes);
  return text.str();
}

nlohmann::ordered_json json_report(const DiffArguments& arguments, const std::string& schema_name,
                                   const core::AsyncSession& session,
                                   const meta::SaveResult& result) {
  using Json = nlohmann::ordered_json;
  Json report = Json::object();
  report["schema"] = schema_name;
  report["store"] = session.location();
  report["engine"] =
      arguments.source.engine ? Json(core::redact_password(*arguments.source.engine)) : Json();
  report["document"] = arguments.source.document ? Json(*arguments.source.document) : Json();
  report["differs"] = differs(result.changes);
  report["counts"] = meta::counts_to_json(result.changes);
  report["changes"] = meta::changes_to_json(result.schema_changes);
  return report;
}

}  // namespace

CLI::App& add_diff_command(CLI::App& app, DiffArguments& arguments) {
  auto* command = app.add_subcommand(
      "diff", "Tell what a save would change in the store, changing nothing (exit 3: it differs)");
  command->fallthrough();
  add_schema_source_options(*command, arguments.source, "compare");
  add_store_option(*command, arguments.store);
  add_format_option(*command, arguments.format);
  add_lock_timeout_option(*command, arguments.lock_timeout_seconds);
  command->footer(
      "Lists every change a 'save' with the same arguments would make: created (+), "
      "changed (~), stale (-). Nothing is written to the store.\n"
      "Exit status: 0 no difference, 1 a database or the system failed, 2 bad usage or "
      "input (no such store file, schema not found, a store of a newer layout), "
      "3 differences found.");
  return *command;
}

int run_diff(const DiffArguments& arguments, const GlobalOptions& /*global*/) {
  const auto location = store_location(arguments.store);
  require_lasting_store(location);
  require_existing_store_file(location);
  core::AsyncSession session(
      location, {.rehearse = true, .lock_timeout = lock_timeout(arguments.lock_timeout_seconds)});
  auto obtained = obtain_document(arguments.source, "diff");
  if (arguments.format == "json") require_utf8_text(*obtained.document);
  const auto result = run_coroutine(meta::preview_save(
      session, arguments.source.engine, obtained.schema_name, std::move(obtained.document)));
  if (arguments.format == "json") {
    write_standard_output(
        document_text(json_report(arguments, obtained.schema_name, session, result), false));
  } else {
    write_standard_output(text_report(arguments, obtained.schema_name, session, result));
  }
  return differs(result.changes) ? exit_differences : exit_success;
}

}  // namespace kelmarion::apps
