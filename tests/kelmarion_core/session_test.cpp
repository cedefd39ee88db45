#include "kelmarion_core/session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "kelmarion_core/data_service.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "support/test_support.h"

namespace kelmarion::core {
namespace {

using kelmarion::testing::run;
using meta::SourceSchema;
using meta::SourceTable;

// Names of the tables and indexes in a SQLite file, read with the plain C API.
std::vector<std::string> schema_objects(const std::string& path) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, "SELECT name FROM sqlite_schema ORDER BY name", -1, &statement, nullptr);
  std::vector<std::string> names;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return names;
}

TEST(AsyncSession, CreatesTablesOnFirstUseAndKeepsThemAcrossSessions) {
  const kelmarion::testing::TempDir directory;
  const auto path = (directory.path() / "store.db").string();
  {
    AsyncSession session("sqlite:///" + path);
    EXPECT_TRUE(schema_objects(path).empty());
    (void)DataService::db_insert(&session, SourceSchema::record_class(), {{"schema_name", "s"}});
  }
  EXPECT_THAT(schema_objects(path),
              ::testing::ElementsAre("kelmarion_store_version", "source_schema",
                                     "source_schema_lookup_1"));
  AsyncSession reopened(path);
  const auto found = run(QueryService::query_columns_first(&reopened, SourceSchema::record_class(),
                                                           SourceSchema::schema_name == "s"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->id(), 1);
}

TEST(AsyncSession, RollbackUndoesWritesIncludingTablesCreatedInTheTransaction) {
  AsyncSession session(":memory:");
  run(session.begin());
  EXPECT_TRUE(session.in_transaction());
  (void)DataService::db_insert(&session, SourceTable::record_class(), {{"table_name", "t"}});
  run(session.rollback());
  EXPECT_FALSE(session.in_transaction());

  // The table is gone with the transaction and must be created again.
  (void)DataService::db_insert(&session, SourceTable::record_class(), {{"table_name", "u"}});
  const auto all = run(QueryService::query_all(&session, SourceTable::record_class()));
  ASSERT_EQ(all.size(), 1);
  EXPECT_EQ(all[0]["table_name"], "u");
}

TEST(AsyncSession, ReportsStoresItCannotOpen) {
  EXPECT_THAT([] { AsyncSession session("/nonexistent-dir/x/store.db"); },
              ::testing::ThrowsMessage<DatabaseError>(
                  ::testing::HasSubstr("open store '/nonexistent-dir/x/store.db'")));
  EXPECT_THAT([] { AsyncSession session("mysql://u:pw@h/db"); },
              ::testing::ThrowsMessage<ConfigurationError>(::testing::AllOf(
                  ::testing::HasSubstr("mysql://u@h/db"), ::testing::Not(::testing::HasSubstr("pw")))));
}

}  // namespace
}  // namespace kelmarion::core
