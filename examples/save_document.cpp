// A host program that saves a schema on its own Asio event loop: it reads a
// schema metadata document from a JSON file, saves it into a SQLite store in one
// transaction, and prints what the save changed and how many records of each
// kind the store now holds.
//
//   save_document [DOCUMENT.json] [STORE] [SCHEMA]
//   (defaults: examples/sales.json, kelmarion_meta.db, the document's schema_name)

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <exception>
#include <fstream>
#include <iostream>

#include "kelmarion_core/query_service.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/generate/entity_table/source_view.h"
#include "kelmarion_meta/tools/save_schema.h"

namespace {

using kelmarion::core::AsyncSession;
using kelmarion::core::QueryService;
namespace meta = kelmarion::meta;

asio::awaitable<void> save_and_report(AsyncSession& session,
                                      std::shared_ptr<meta::Document> document,
                                      std::string schema_name) {
  // One transaction: begun, locked for the schema, committed, or rolled back on failure.
  const auto result =
      co_await meta::save_schema(session, std::string("file:example"), schema_name, document);
  std::size_t created = 0;
  std::size_t changed = 0;
  for (const auto& [table, changes] : result.changes.classes()) {
    created += changes.created.size();
    changed += changes.changed.size();
  }
  std::cout << "created " << created << " records, changed " << changed << "\n";
  const std::pair<const char*, const kelmarion::core::RecordClass*> kinds[] = {
      {"schemas", &meta::SourceSchema::record_class()},
      {"tables", &meta::SourceTable::record_class()},
      {"views", &meta::SourceView::record_class()},
      {"columns", &meta::SourceColumn::record_class()},
      {"primary keys", &meta::SourcePrimaryKey::record_class()},
      {"foreign keys", &meta::SourceForeignKey::record_class()},
      {"indexes", &meta::SourceIndex::record_class()},
      {"referencing foreign keys", &meta::SourceReferencingForeignKey::record_class()},
  };
  std::cout << "saved schema '" << schema_name << "' into " << session.location() << "\n";
  for (const auto& [label, record_class] : kinds) {
    const auto stored = co_await QueryService::query_all(&session, *record_class);
    std::cout << "  " << label << ": " << stored.size() << "\n";
  }
  for (const auto& table : document->at("tables")) {
    std::cout << "  table " << table.at("table_name").get<std::string>() << " -> source_table_id "
              << table.at("source_table_id") << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string document_path = argc > 1 ? argv[1] : "examples/sales.json";
  const std::string store_path = argc > 2 ? argv[2] : "kelmarion_meta.db";
  try {
    std::ifstream input(document_path);
    if (!input) {
      std::cerr << "cannot read '" << document_path << "'\n";
      return 2;
    }
    auto document = std::make_shared<meta::Document>(meta::Document::parse(input));
    const std::string schema_name =
        argc > 3 ? argv[3] : document->value("schema_name", std::string("main"));

    asio::io_context context;
    AsyncSession session(store_path);
    auto done =
        asio::co_spawn(context, save_and_report(session, document, schema_name), asio::use_future);
    context.run();
    done.get();
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "error: " << error.what() << "\n";
    return 1;
  }
}
