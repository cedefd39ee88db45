#include "kelmarion_core/session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "kelmarion_core/data_service.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "support/store_fixture.h"
#include "support/test_support.h"

namespace kelmarion::core {
namespace {

using kelmarion::testing::run;
using kelmarion::testing::StoreKind;
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

// A host's trigger that rewrites a table's comment on every update. SQLite
// cannot assign to NEW: there an AFTER trigger sets it.
constexpr const char* postgresql_comment_trigger =
    "CREATE FUNCTION set_comment() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
    "NEW.comment := 'set by trigger'; RETURN NEW; END $$;"
    "CREATE TRIGGER set_comment BEFORE UPDATE ON source_table FOR EACH ROW "
    "EXECUTE FUNCTION set_comment()";
constexpr const char* sqlite_comment_trigger =
    "CREATE TRIGGER set_comment AFTER UPDATE ON source_table FOR EACH ROW "
    "WHEN NEW.comment IS NOT 'set by trigger' BEGIN "
    "UPDATE source_table SET comment = 'set by trigger' "
    "WHERE source_table_id = NEW.source_table_id; END";

class SessionUnderHostTrigger : public kelmarion::testing::StoreTest {};

// Inside a transaction an update returns the record with the given values, not
// what the store's trigger makes of them; a read in a later transaction, or
// outside one, returns what the store holds.
TEST_P(SessionUnderHostTrigger, UpdateReturnsGivenValuesAndLaterReadsTheStoredOnes) {
  const auto& tables = SourceTable::record_class();
  const auto schema =
      DataService::db_insert(&session(), SourceSchema::record_class(), {{"schema_name", "s"}});
  const auto table = DataService::db_insert(
      &session(), tables,
      {{"source_schema_id", schema.id()}, {"table_name", "orders"}, {"comment", "original"}});
  run(session().execute(GetParam() == StoreKind::postgresql ? postgresql_comment_trigger
                                                            : sqlite_comment_trigger));
  const auto find_orders = [&] {
    return run(QueryService::query_columns_first(
        &session(), tables,
        {SourceTable::source_schema_id == schema.id(), SourceTable::table_name == "orders"}));
  };

  run(session().begin());
  (void)find_orders();  // known to the transaction before the update, as in a save
  const nlohmann::ordered_json given = {{"comment", "given"}};
  const auto updated = run(DataService::db_update(&session(), table.id(), tables, given));
  run(session().commit());

  EXPECT_EQ(updated["comment"], "given");
  EXPECT_EQ(updated["table_name"], "orders");
  const auto stored = run(QueryService::query_all(&session(), tables));
  ASSERT_EQ(stored.size(), 1U);
  EXPECT_EQ(stored[0]["comment"], "set by trigger");
  run(session().begin());
  const auto found_later = find_orders();
  run(session().commit());
  ASSERT_TRUE(found_later);
  EXPECT_EQ((*found_later)["comment"], "set by trigger");
}

INSTANTIATE_TEST_SUITE_P(Stores, SessionUnderHostTrigger,
                         ::testing::Values(StoreKind::sqlite_file, StoreKind::postgresql),
                         kelmarion::testing::store_kind_name);

}  // namespace
}  // namespace kelmarion::core
