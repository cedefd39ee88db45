#include "apps/commands/show_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <sstream>

#include "apps/docs/er_diagram.h"
#include "apps/docs/schema_pages.h"
#include "apps/document_io.h"
#include "apps/escaped_text.h"
#include "apps/exit_status.h"
#include "apps/lock_timeout_option.h"
#include "apps/read_transaction.h"
#include "apps/run_coroutine.h"
#include "apps/standard_output.h"
#include "apps/store_location.h"
#include "apps/store_option.h"
#include "apps/stored_document.h"
#include "apps/stored_schema.h"
#include "apps/tree_report.h"
#include "apps/usage_error.h"
#include "kelmarion_core/session.h"

namespace kelmarion::apps {
namespace {}  // namespace

CLI::App& add_show_command(CLI::App& app, ShowArguments& arguments) {
  auto* command = app.add_subcommand(
      "show", "Show what the store holds: an outline, JSON documents or an ER diagram");
  command->fallthrough();
  add_store_option(*command, arguments.store);
  command->add_option("--schema", arguments.schema, "Show only this schema")->option_text("NAME");
  command
      ->add_option("--format", arguments.format,
                   "tree: a readable outline; json: the schema's document, of the shape "
                   "'inspect' writes; mermaid, dot: the schema's ER diagram as a Mermaid "
                   "erDiagram or a Graphviz digraph (names and foreign keys only beyond 50 tables)")
      ->check(CLI::IsMember(show_formats))
      ->capture_default_str();
  command->add_flag("--pretty", arguments.pretty,
                    "Indent the JSON (the default when standard output is a terminal)");
  add_lock_timeout_option(*command, arguments.lock_timeout_seconds);
  command->footer(
      "Without --schema every stored schema is shown; with --format json that is a "
      "list of documents, with --schema a single document. Saving a schema's "
      "document with 'save --document' changes nothing.\n"
      "Exit status: 0 done, 1 the store or the system failed, 2 bad usage or input "
      "(no such store file or schema, in-memory store, text that is not UTF-8 in "
      "--format json).");
  return *command;
}

int run_show(const ShowArguments& arguments, const GlobalOptions& /*global*/) {
  auto session = open_store_to_read(arguments.store, arguments.lock_timeout_seconds);
  const auto schemas =
      run_coroutine(in_one_transaction(session, read_stored_schemas(session, arguments.schema)));
  if (arguments.schema && schemas.empty()) {
    throw UsageError(
        fmt::format("schema '{}': not in store '{}'", *arguments.schema, session.location()));
  }

  if (arguments.format == "mermaid" || arguments.format == "dot") {
    if (schemas.size() != 1) {
      throw UsageError(fmt::format("store '{}' holds {} schemas: give --schema for a diagram",
                                   escaped_text(session.location()), schemas.size()));
    }
    const auto& schema = schemas.front();
    const SchemaLinks links(schema);
    const auto diagram =
        schema_diagram(schema, links, schema_diagram_has_columns(schema.tables.size()));
    write_standard_output(arguments.format == "dot" ? dot_text_of(diagram)
                                                    : mermaid_text_of(diagram));
    return exit_success;
  }

  if (arguments.format == "json") {
    const bool pretty = arguments.pretty || stdout_is_terminal();
    if (arguments.schema) {
      write_document(to_document(schemas.front()), std::nullopt, pretty);
    } else {
      meta::Document documents = meta::Document::array();
      for (const auto& schema : schemas) documents.push_back(to_document(schema));
      write_document(documents, std::nullopt, pretty);
    }
    return exit_success;
  }

  if (schemas.empty()) {
    write_standard_output(
        fmt::format("store '{}' holds no schema\n", escaped_text(session.location())));
  }
  for (const auto& schema : schemas) {
    std::ostringstream tree;
    write_tree(tree, schema);
    write_standard_output(tree.str());
  }
  return exit_success;
}

}  // namespace kelmarion::apps
