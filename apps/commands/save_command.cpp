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
#include "apps/stored_schema.h"
#include "apps/usage_error.h"
#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::apps {
namespace {

struct SaveJob {
  std::shared_ptr<meta::Document> document;
  std::string schema_name;
  std::optional<std::string> engine_name;  // absent: keep the one stored for the schema
  bool prune = false;
};

struct SaveOutcome {
  core::AsyncSession::WriteLog written;
  std::vector<StaleRecord> stale;
};

// The engine the schema was saved from before, so that saving a document
// without --engine keeps it.
asio::awaitable<std::optional<std::string>> stored_engine_name(core::AsyncSession& session,
                                                               std::string schema_name) {
  core::Condition condition(meta::SourceSchema::schema_name == schema_name);
  const auto stored = co_await core::QueryService::query_columns_first(
      &session, meta::SourceSchema::record_class(), std::move(condition));
  if (!stored || !(*stored)["engine_name"].is_string()) co_return std::nullopt;
  co_return (*stored)["engine_name"].get<std::string>();
}

asio::awaitable<SaveOutcome> save_and_check(core::AsyncSession& session, SaveJob job) {
  if (!job.engine_name) job.engine_name = co_await stored_engine_name(session, job.schema_name);
  meta::SourceStore store(
      {.db = &session, .engine_name = job.engine_name, .schema_name = job.schema_name});
  meta::SaveMetaOptions options{.metadata = job.document};
  job.document = co_await store.save_meta(std::move(options));
  // Unless the caller keeps it for -o, the document goes before the stored records are read.
  job.document.reset();

  SaveOutcome outcome{session.written(), {}};
  const auto stored = co_await read_stored_schemas(session, job.schema_name);
  for (const auto& schema : stored) {
    auto stale = find_stale_records(schema, outcome.written);
    outcome.stale.insert(outcome.stale.end(), std::make_move_iterator(stale.begin()),
                         std::make_move_iterator(stale.end()));
  }
  if (job.prune) co_await delete_records(session, outcome.stale);
  co_return outcome;
}

// All or nothing: one transaction, rolled back on any failure.
asio::awaitable<SaveOutcome> save_in_transaction(core::AsyncSession& session, SaveJob job) {
  co_await session.begin();
  session.track_writes(true);
  std::exception_ptr failure;
  std::optional<SaveOutcome> outcome;
  try {
    // Saves of one schema run one after the other, so none stores a record twice.
    co_await session.lock_schema(job.schema_name);
    auto saved = co_await save_and_check(session, std::move(job));
    outcome = std::move(saved);
    co_await session.commit();
  } catch (...) {
    failure = std::current_exception();
  }
  session.track_writes(false);
  if (failure) {
    if (session.in_transaction()) {
      try {
        co_await session.rollback();
      } catch (...) {
        // The failure that made us roll back is the one to report; SQLite has
        // already undone the transaction when its rollback itself fails.
      }
    }
    std::rethrow_exception(failure);
  }
  co_return std::move(*outcome);
}

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
  auto [document, schema_name] = obtain_document(arguments);
  if (arguments.output) require_utf8_text(*document);

  // Counted out here: clang 14 cannot name a structured binding inside a lambda.
  const auto tables = table_count(*document);
  // Only -o needs the document after the save; otherwise the job holds it alone.
  SaveJob job{arguments.output ? document : std::move(document), schema_name, arguments.engine,
              arguments.prune};
  SaveOutcome outcome = [&] {
    const SaveProgress progress(tables, global.verbose);
    return run_coroutine(save_in_transaction(session, std::move(job)));
  }();

  if (output_file) {
    output_file->write(document_text(*document, false));
  } else if (arguments.output) {
    write_standard_output(document_text(*document, false));
  }
  if (!global.quiet) {
    SaveSummary summary{schema_name,
                        session.location(),
                        std::chrono::steady_clock::now() - started,
                        count_records(outcome.written, outcome.stale),
                        std::move(outcome.stale),
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
