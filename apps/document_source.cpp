#include "apps/document_source.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "apps/document_io.h"
#include "apps/document_names.h"
#include "apps/usage_error.h"
#include "kelmarion_core/connection_url.h"

namespace kelmarion::apps {
namespace {

std::string schema_name_of(const meta::Document& document) {
  const auto found = document.find("schema_name");
  return found != document.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::size_t table_count(const meta::Document& document) {
  const auto tables = document.find("tables");
  return tables != document.end() && tables->is_array() ? tables->size() : 0;
}

}  // namespace

void add_schema_source_options(CLI::App& command, SchemaSource& source, std::string_view verb) {
  command
      .add_option("--engine", source.engine,
                  "Database to inspect (sqlite:///file.db, postgresql://user@host/db, "
                  "mysql://user@host/db); with --document it is only recorded, and defaults "
                  "to the stored one")
      ->option_text("URL");
  command
      .add_option("--schema", source.schema,
                  fmt::format("Schema to {} (default: the document's schema_name, or the "
                              "engine's default schema)",
                              verb))
      ->option_text("NAME");
  command
      .add_option("--document", source.document,
                  fmt::format("{} this JSON document (as 'inspect' or 'show --format json' "
                              "write it) instead of inspecting; '-' reads standard input",
                              verb == "save" ? "Save" : "Compare"))
      ->option_text("FILE");
}

ObtainedDocument obtain_document(const SchemaSource& source, std::string_view command) {
  ObtainedDocument obtained;
  if (source.document) {
    obtained.document = std::make_shared<meta::Document>(read_document(*source.document));
    check_names(*obtained.document);
    obtained.schema_name = source.schema.value_or(schema_name_of(*obtained.document));
    if (obtained.schema_name.empty()) {
      throw UsageError(
          fmt::format("document '{}': no text 'schema_name'; give --schema", *source.document));
    }
  } else {
    if (!source.engine) {
      throw UsageError(
          fmt::format("{}: give --engine to inspect a schema, or --document to read one", command));
    }
    meta::SourceStore inspector({.engine_name = source.engine, .schema_name = source.schema});
    auto inspected = inspector.inspect();
    if (!inspected) {
      throw UsageError(fmt::format("schema '{}': not found by engine '{}'",
                                   source.schema.value_or("(default)"),
                                   core::redact_password(*source.engine)));
    }
    obtained.schema_name = source.schema.value_or(schema_name_of(*inspected));
    if (obtained.schema_name.empty()) {
      throw UsageError(fmt::format("engine '{}': its document names no schema; give --schema",
                                   core::redact_password(*source.engine)));
    }
    obtained.document = std::make_shared<meta::Document>(std::move(*inspected));
  }
  obtained.tables = table_count(*obtained.document);
  return obtained;
}

}  // namespace kelmarion::apps
