// Saves a one-table document into an in-memory store through the installed headers and libraries.
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>

#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/source_store.h"

int main() {
  kelmarion::core::AsyncSession session(":memory:");
  kelmarion::meta::SourceStore store({.db = &session, .schema_name = "s"});
  auto document = std::make_shared<kelmarion::meta::Document>(kelmarion::meta::Document::parse(
      R"({"tables": [{"table_name": "t", "columns": [], "foreign_keys": [], "indexes": []}],
          "views": []})"));
  asio::io_context context;
  std::exception_ptr failure;
  asio::co_spawn(context, store.save_meta({.metadata = document}),
                 [&failure](std::exception_ptr error, const auto& /*saved*/) {
                   failure = std::move(error);
                 });
  context.run();
  return failure || !document->at("tables")[0].contains("source_table_id") ? 1 : 0;
}
