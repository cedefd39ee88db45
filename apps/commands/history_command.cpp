#include "apps/commands/history_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <sstream>

#include "apps/change_list.h"
#include "apps/change_options.h"
#include "apps/document_io.h"
#include "apps/escaped_text.h"
#include "apps/exit_status.h"
#include "apps/lock_timeout_option.h"
#include "apps/read_transaction.h"
#include "apps/run_coroutine.h"
#include "apps/standard_output.h"
#include "apps/store_location.h"
#include "apps/store_option.h"
#include "apps/usage_error.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/save_history.h"
#include "kelmarion_meta/tools/schema_changes.h"

namespace kelmarion::apps {
namespace {

using Json = nlohmann::ordered_json;

// The saves asked for.
asio::awaitable<std::vector<meta::SaveHistoryEntry>> read_saves(core::AsyncSession& session,
                                                                const HistoryArguments& arguments) {
  if (!arguments.save)
    co_return co_await meta::read_history(session, arguments.schema, arguments.limit);
  std::vector<meta::SaveHistoryEntry> saves;
  if (auto save = co_await meta::read_save(session, *arguments.save))
    saves.push_back(std::move(*save));
  co_return saves;
}

// Totals over every kind of record: created, changed, stale or deleted.
std::string totals(const Json& counts) {
  std::size_t created = 0;
  std::size_t changed = 0;
  std::size_t removed = 0;
  if (counts.is_object()) {
    for (const auto& [kind, of] : counts.items()) {
      const auto count = [&](const char* key) -> std::size_t {
        const auto found = of.find(key);
        return found != of.end() && found->is_number_unsigned() ? found->get<std::size_t>() : 0;
      };
      if (!of.is_object()) continue;
      created += count("created");
      changed += count("changed");
      // A deleted record was stale first: counted once.
      removed += count("stale");
    }
  }
  return fmt::format("+{} ~{} -{}", created, changed, removed);
}

std::string engine_text(const meta::SaveHistoryEntry& save) {
  return save.engine_name ? fmt::format("from '{}'", escaped_text(*save.engine_name))
                          : std::string("from a document");
}

Json to_json(const meta::SaveHistoryEntry& save) {
  return Json{{"id", save.id},
              {"saved_at", save.saved_at},
              {"schema", save.schema_name},
              {"engine", save.engine_name ? Json(*save.engine_name) : Json()},
              {"tool_version", save.tool_version},
              {"counts", save.counts},
              {"changes", save.changes}};
}

std::string one_save_text(const meta::SaveHistoryEntry& save) {
  std::ostringstream text;
  text << fmt::format("save {} of schema '{}' at {} {} by kelmarion_meta {}: {}\n", save.id,
                      escaped_text(save.schema_name), escaped_text(save.saved_at),
                      engine_text(save), escaped_text(save.tool_version), totals(save.counts));
  const auto changes = meta::changes_from_json(save.changes);
  if (changes.empty()) {
    text << "no changes\n";
  } else {
    text << "changes:\n";
    write_change_list(text, changes);
  }
  return text.str();
}

std::string list_text(const std::vector<meta::SaveHistoryEntry>& saves,
                      const HistoryArguments& arguments, const std::string& location) {
  if (saves.empty()) {
    return arguments.schema ? fmt::format("store '{}' holds no saves of schema '{}'\n",
                                          escaped_text(location), escaped_text(*arguments.schema))
                            : fmt::format("store '{}' holds no saves\n", escaped_text(location));
  }
  std::string text;
  for (const auto& save : saves) {
    text += fmt::format("save {}  {}  schema '{}'  {}  {}\n", save.id, escaped_text(save.saved_at),
                        escaped_text(save.schema_name), totals(save.counts), engine_text(save));
  }
  return text;
}

}  // namespace

CLI::App& add_history_command(CLI::App& app, HistoryArguments& arguments) {
  auto* command =
      app.add_subcommand("history", "List the saves the store recorded, newest first, or one save");
  command->fallthrough();
  add_store_option(*command, arguments.store);
  command->add_option("--schema", arguments.schema, "Only the saves of this schema")
      ->option_text("NAME");
  command->add_option("--limit", arguments.limit, "At most this many saves (0: all)")
      ->option_text("N")
      ->capture_default_str();
  command->add_option("--save", arguments.save, "Show this save (its number) with every change")
      ->option_text("ID");
  add_format_option(*command, arguments.format);
  add_lock_timeout_option(*command, arguments.lock_timeout_seconds);
  command->footer(
      "+ created, ~ changed, - stale (or deleted with --prune) records.\n"
      "Exit status: 0 done, 1 the store or the system failed, 2 bad usage (no such store "
      "file or save).");
  return *command;
}

int run_history(const HistoryArguments& arguments, const GlobalOptions& /*global*/) {
  auto session = open_store_to_read(arguments.store, arguments.lock_timeout_seconds);
  const auto saves = run_coroutine(in_one_transaction(session, read_saves(session, arguments)));
  if (arguments.save && saves.empty()) {
    throw UsageError(
        fmt::format("save {}: not in store '{}'", *arguments.save, session.location()));
  }
  if (arguments.format == "json") {
    Json report = Json::array();
    for (const auto& save : saves) report.push_back(to_json(save));
    write_standard_output(document_text(arguments.save ? report.front() : report, false));
  } else if (arguments.save) {
    write_standard_output(one_save_text(saves.front()));
  } else {
    write_standard_output(list_text(saves, arguments, session.location()));
  }
  return exit_success;
}

}  // namespace kelmarion::apps
