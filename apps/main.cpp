// kelmarion-meta: inspect a database schema, save it into a metamodel store,
// show what the store holds, tell what changed. See `kelmarion-meta --help`.

#include <CLI/CLI.hpp>
#include <exception>
#include <string>
#include <vector>

#include "apps/change_options.h"
#include "apps/commands/diff_command.h"
#include "apps/commands/doc_command.h"
#include "apps/commands/history_command.h"
#include "apps/commands/inspect_command.h"
#include "apps/commands/save_command.h"
#include "apps/commands/show_command.h"
#include "apps/completion_script.h"
#include "apps/exit_status.h"
#include "apps/global_options.h"
#include "apps/out_of_memory.h"
#include "apps/standard_output.h"
#include "apps/store_location.h"
#include "apps/tool_log.h"

namespace {

namespace apps = kelmarion::apps;

// Help and --version end the parse with status 0; everything else is a usage error.
int parse_failure(CLI::App& app, const CLI::ParseError& error) {
  if (error.get_exit_code() == 0) return app.exit(error);
  apps::print_error(std::string(error.what()) + " (see --help)");
  return apps::exit_usage;
}

void add_url(std::vector<std::string>& urls, const std::optional<std::string>& url) {
  if (url) urls.push_back(*url);
}

int run_command_line(int argc, char** argv) {
  CLI::App app(
      "Reads the structure of a database schema (tables, views, columns, keys, "
      "indexes) and keeps it as metamodel records in a store database.",
      "kelmarion-meta");
  app.set_version_flag("--version", std::string("kelmarion-meta ") + KELMARION_META_VERSION);
  app.require_subcommand(1);
  apps::GlobalOptions global;
  app.add_flag("-v,--verbose", global.verbose, "Show the library's debug log on stderr");
  app.add_flag("-q,--quiet", global.quiet, "Print no summary after a save");
  app.footer(
      "Exit status: 0 success, 1 a database or the system failed, 2 bad usage or input, "
      "3 differences found (diff).\n"
      "Run 'kelmarion-meta COMMAND --help' for a command's options.");

  apps::InspectArguments inspect;
  apps::SaveArguments save;
  apps::ShowArguments show;
  apps::DiffArguments diff;
  apps::HistoryArguments history;
  apps::DocArguments doc;
  const auto& inspect_command = apps::add_inspect_command(app, inspect);
  const auto& save_command = apps::add_save_command(app, save);
  const auto& show_command = apps::add_show_command(app, show);
  const auto& diff_command = apps::add_diff_command(app, diff);
  const auto& history_command = apps::add_history_command(app, history);
  const auto& doc_command = apps::add_doc_command(app, doc);
  std::string shell;
  auto* completion_command = app.add_subcommand(
      "completion", "Print a completion script for bash, zsh or fish (see the README)");
  completion_command->add_option("shell", shell, "The shell")
      ->required()
      ->check(CLI::IsMember({"bash", "zsh", "fish"}));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return parse_failure(app, error);
  }

  apps::configure_logging(global.verbose);
  std::vector<std::string> urls{inspect.engine};
  add_url(urls, save.source.engine);
  add_url(urls, save.store);
  add_url(urls, show.store);
  add_url(urls, diff.source.engine);
  add_url(urls, diff.store);
  add_url(urls, history.store);
  add_url(urls, doc.store);
  urls.push_back(apps::store_location(std::nullopt));
  try {
    if (inspect_command.parsed()) return apps::run_inspect(inspect, global);
    if (save_command.parsed()) return apps::run_save(save, global);
    if (show_command.parsed()) return apps::run_show(show, global);
    if (diff_command.parsed()) return apps::run_diff(diff, global);
    if (history_command.parsed()) return apps::run_history(history, global);
    if (doc_command.parsed()) return apps::run_doc(doc, global);
    if (completion_command->parsed()) {
      const apps::OptionValues values{{"save --format", apps::report_formats},
                                      {"diff --format", apps::report_formats},
                                      {"history --format", apps::report_formats},
                                      {"show --format", apps::show_formats}};
      apps::write_standard_output(apps::completion_script(app, shell, values));
      return apps::exit_success;
    }
    return apps::exit_usage;  // require_subcommand(1) lets nothing else through
  } catch (...) {
    const auto failure = apps::describe_failure(std::current_exception(), urls);
    apps::print_error(failure.message);
    return failure.status;
  }
}

}  // namespace

int main(int argc, char** argv) {
  apps::report_out_of_memory_on_terminate();
  int status = apps::exit_failure;
  try {
    status = run_command_line(argc, argv);
  } catch (...) {
    // Only building the command line itself can get here (out of memory).
    apps::print_error(apps::describe_failure(std::current_exception(), {}).message);
    return apps::exit_failure;
  }
  // A failed command has said so already; a successful one is not done until
  // its output is out.
  if (status == apps::exit_success || status == apps::exit_differences) {
    if (const auto failure = apps::standard_output_failure()) {
      apps::print_error(*failure);
      return apps::exit_failure;
    }
  }
  return status;
}
