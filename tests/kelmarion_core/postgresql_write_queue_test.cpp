// Inside a transaction, a session queues its writes and answers lookups from
// what the transaction read or wrote. On PostgreSQL these tests compare it with
// the same work done without a transaction (where every write runs at once)
// and drive the cases the queue must get right: refusals by the server, values
// libpq cannot carry, records moved between parents.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bench/generated_document.h"
#include "kelmarion_core/data_service.h"
#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/tools/source_store.h"
#include "support/store_contents.h"
#include "support/test_support.h"

namespace kelmarion::testing {
namespace {

using core::DataService;
using core::QueryService;
using meta::Document;
using meta::SourceColumn;
using meta::SourceTable;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

// A store in a schema of its own on the test server.
class PostgresqlStoreSchema {
 public:
  explicit PostgresqlStoreSchema(const std::string& url)
      : _url(url), _schema(unique_name("queue_test")) {
    postgresql_execute(_url, "CREATE SCHEMA " + _schema);
    _location = _url + (_url.find('?') == std::string::npos ? "?" : "&") +
                "options=-csearch_path%3D" + _schema;
  }
  PostgresqlStoreSchema(const PostgresqlStoreSchema&) = delete;
  PostgresqlStoreSchema& operator=(const PostgresqlStoreSchema&) = delete;
  PostgresqlStoreSchema(PostgresqlStoreSchema&&) = delete;
  PostgresqlStoreSchema& operator=(PostgresqlStoreSchema&&) = delete;
  ~PostgresqlStoreSchema() { postgresql_execute(_url, "DROP SCHEMA " + _schema + " CASCADE"); }

  [[nodiscard]] const std::string& location() const { return _location; }
  [[nodiscard]] const std::string& schema() const { return _schema; }
  [[nodiscard]] StoreContents contents() const { return postgresql_contents(_url, _schema); }

 private:
  std::string _url;
  std::string _schema;
  std::string _location;
};

// `document` without the identifiers a save wrote into it.
Document without_identifiers(Document document) {
  if (document.is_object()) {
    Document kept = Document::object();
    for (auto& [key, value] : document.items()) {
      if (!key.ends_with("_id")) kept[key] = without_identifiers(value);
    }
    return kept;
  }
  if (document.is_array()) {
    for (auto& element : document) element = without_identifiers(element);
  }
  return document;
}

class PostgresqlWriteQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto url = postgresql_test_url();
    if (!url) GTEST_SKIP() << "set KELMARION_TEST_PG_URL to run PostgreSQL tests";
    _url = *url;
  }

  // Saves `document` as schema "bench"; in one transaction when `in_transaction`,
  // committing even after a failure so that what came before it stays.
  static std::shared_ptr<Document> save(core::AsyncSession& session, Document document,
                                        bool in_transaction) {
    meta::SourceStore store(
        {.db = &session, .engine_name = "sqlite:///g.db", .schema_name = "bench"});
    auto shared = std::make_shared<Document>(std::move(document));
    if (in_transaction) run(session.begin());
    try {
      run(store.save_meta({.metadata = shared}));
    } catch (...) {
      if (in_transaction) run(session.commit());
      throw;
    }
    if (in_transaction) run(session.commit());
    return shared;
  }

  std::string _url;
};

// Large enough to fill the queue several times over and to need more than one
// read of children per parent class; then a re-save that changes, adds and
// moves records.
TEST_F(PostgresqlWriteQueue, SavesStoreExactlyWhatWritingAtOnceStores) {
  auto first = bench::generated_document(270);
  auto second = first;
  auto& tables = second.at("tables");
  tables[3].at("columns").erase(tables[3].at("columns").begin());
  tables[5].at("columns").push_back({{"name", "added"}, {"type", "TEXT"}});
  tables[7].at("columns")[0]["comment"] = "changed";
  tables[269]["comment"] = "last";
  tables.push_back({{"table_name", "brand_new"},
                    {"columns", Document::array({{{"name", "id"}}, {{"name", "id"}}})},
                    {"foreign_keys", Document::array()},
                    {"indexes", Document::array()},
                    {"primary_key", nullptr}});

  const PostgresqlStoreSchema at_once_store(_url);
  const PostgresqlStoreSchema queued_store(_url);
  core::AsyncSession at_once(at_once_store.location());
  core::AsyncSession queued(queued_store.location());
  const auto at_once_first = save(at_once, first, false);
  const auto queued_first = save(queued, first, true);
  const auto at_once_second = save(at_once, second, false);
  const auto queued_second = save(queued, second, true);

  // Identifiers differ: a transaction takes them in blocks, leaving gaps.
  EXPECT_EQ(without_identifiers(*queued_first), without_identifiers(*at_once_first));
  EXPECT_EQ(without_identifiers(*queued_second), without_identifiers(*at_once_second));
  const auto queued_rows = queued_store.contents();
  const auto at_once_rows = at_once_store.contents();
  ASSERT_EQ(queued_rows.size(), at_once_rows.size());
  for (const auto& [table, contents] : at_once_rows) {
    EXPECT_EQ(queued_rows.at(table).rows, contents.rows) << table;
  }
}

// A value the server refuses ends the save with the server's error naming the
// table: at the record that holds it when every write runs at once, at the
// flush inside a transaction, which is then rolled back whole.
TEST_F(PostgresqlWriteQueue, ValueTheServerRefusesEndsTheSaveAtItsRecord) {
  auto document = bench::generated_document(40);
  document.at("tables")[20].at("columns")[2]["name"] = "bad \xC3\x28 byte";

  const PostgresqlStoreSchema at_once_store(_url);
  const PostgresqlStoreSchema queued_store(_url);
  for (const bool in_transaction : {false, true}) {
    SCOPED_TRACE(in_transaction ? "queued" : "at once");
    core::AsyncSession session((in_transaction ? queued_store : at_once_store).location());
    meta::SourceStore store({.db = &session, .schema_name = "bench"});
    auto shared = std::make_shared<Document>(document);
    if (in_transaction) run(session.begin());
    try {
      run(store.save_meta({.metadata = shared}));
      ADD_FAILURE() << "the save went through";
    } catch (const core::DatabaseError& error) {
      EXPECT_EQ(error.code(), "22021") << error.what();
      EXPECT_THAT(error.what(), HasSubstr("table 'source_column'"));
    }
    if (in_transaction) {
      run(session.rollback());
      const auto contents = queued_store.contents();
      EXPECT_TRUE(!contents.contains("source_column") || contents.at("source_column").rows == 0);
    } else {
      const auto& columns = shared->at("tables")[20].at("columns");
      EXPECT_TRUE(columns[2].contains("sort_order"));
      EXPECT_FALSE(columns[3].contains("sort_order"));
      EXPECT_FALSE(shared->at("tables")[21].contains("source_table_id"));
    }
  }
}

// libpq passes text as C strings: a NUL would cut a value short and store
// something else. Both ways of writing refuse it, naming the table and field
// (inside a transaction, when the write is sent).
TEST_F(PostgresqlWriteQueue, TextWithANulCharacterIsRefusedNotCutShort) {
  const PostgresqlStoreSchema store(_url);
  core::AsyncSession session(store.location());
  const Document data = {{"table_name", std::string("ab\0cd", 5)}};
  for (const bool in_transaction : {false, true}) {
    if (in_transaction) run(session.begin());
    EXPECT_THAT(
        [&] {
          (void)DataService::db_insert(&session, SourceTable::record_class(), data);
          if (in_transaction) run(session.commit());
        },
        ThrowsMessage<core::DocumentTypeError>(
            HasSubstr("source_table: field 'table_name' holds a NUL character")));
    EXPECT_THAT(
        [&] {
          run(QueryService::query_columns_first(
              &session, SourceTable::record_class(),
              SourceTable::table_name == std::string("ab\0cd", 5)));
        },
        ThrowsMessage<core::DocumentTypeError>(HasSubstr("NUL character")));
    if (in_transaction) run(session.rollback());
  }
  const auto contents = store.contents();
  EXPECT_TRUE(!contents.contains("source_table") || contents.at("source_table").rows == 0);
}

// Children a host writes without looking them up first, and records moved to
// another parent, are found where they are; what a rollback undid is gone.
TEST_F(PostgresqlWriteQueue, LookupsSeeEveryWriteOfTheTransactionAndNothingUndone) {
  const PostgresqlStoreSchema store(_url);
  core::AsyncSession session(store.location());
  const auto& columns = SourceColumn::record_class();
  const auto column_named = [&](std::int64_t table_id, const char* name) {
    return run(QueryService::query_columns_first(
        &session, columns, SourceColumn::source_table_id == table_id, SourceColumn::name == name));
  };

  run(session.begin());
  const auto first =
      DataService::db_insert(&session, SourceTable::record_class(), {{"table_name", "a"}});
  const auto second =
      DataService::db_insert(&session, SourceTable::record_class(), {{"table_name", "b"}});
  EXPECT_FALSE(column_named(first.id(), "x"));  // the first's children are known: none
  const auto x =
      DataService::db_insert(&session, columns, {{"source_table_id", first.id()}, {"name", "x"}});
  // Written without a lookup under a parent whose children were not asked for.
  (void)DataService::db_insert(&session, columns,
                               {{"source_table_id", second.id()}, {"name", "y"}});
  ASSERT_TRUE(column_named(second.id(), "y"));
  EXPECT_EQ(column_named(first.id(), "x")->id(), x.id());

  // Moved to the second table.
  (void)run(DataService::db_update(&session, x.id(), columns, {{"source_table_id", second.id()}}));
  EXPECT_FALSE(column_named(first.id(), "x"));
  EXPECT_EQ(column_named(second.id(), "x")->id(), x.id());
  EXPECT_EQ(
      run(QueryService::query_all(&session, columns, SourceColumn::source_table_id == second.id()))
          .size(),
      2U);

  run(session.commit());

  EXPECT_EQ(store.contents().at("source_column").rows, 2U);
  run(session.begin());
  (void)DataService::db_insert(&session, columns,
                               {{"source_table_id", first.id()}, {"name", "gone"}});
  run(session.rollback());
  EXPECT_EQ(store.contents().at("source_column").rows, 2U);
}

// Queued writes go to the server at commit. A refusal among them (a host's
// trigger) fails the commit with the server's reason; a rollback drops them
// without one; and the session goes on working.
TEST_F(PostgresqlWriteQueue, WritesSentAheadAreHeardOutBeforeTheNextStatement) {
  const PostgresqlStoreSchema store(_url);
  const auto& tables = SourceTable::record_class();
  {
    core::AsyncSession session(store.location());
    (void)DataService::db_insert(&session, tables, {{"table_name", "first"}});  // makes the table
  }
  // A rule of the host's that this side cannot know of.
  postgresql_execute(_url, "CREATE FUNCTION " + store.schema() +
                               ".refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                               "RAISE EXCEPTION 'no table called %', NEW.table_name; END $$; "
                               "CREATE TRIGGER refuse BEFORE INSERT ON " +
                               store.schema() +
                               ".source_table FOR EACH ROW WHEN (NEW.table_name = 'refused') "
                               "EXECUTE FUNCTION " +
                               store.schema() + ".refuse()");
  const auto insert_many = [&](core::AsyncSession& session) {
    for (int i = 0; i < 300; ++i) {
      const auto name = i == 200 ? std::string("refused") : fmt::format("t{}", i);
      (void)DataService::db_insert(&session, tables, {{"table_name", name}});
    }
  };
  {
    core::AsyncSession session(store.location());
    run(session.begin());
    insert_many(session);
    run(session.rollback());  // nothing to report: the writes are undone
  }

  core::AsyncSession session(store.location());
  run(session.begin());
  EXPECT_THAT(
      [&] {
        insert_many(session);
        run(session.commit());
      },
      ThrowsMessage<core::DatabaseError>(
          AllOf(HasSubstr("table 'source_table'"), HasSubstr("no table called refused"))));
  run(session.rollback());

  run(session.begin());
  const auto last = DataService::db_insert(&session, tables, {{"table_name", "last"}});
  EXPECT_EQ(
      run(QueryService::query_columns_first(&session, tables, SourceTable::table_name == "last"))
          ->id(),
      last.id());
  run(session.commit());
  EXPECT_EQ(store.contents().at("source_table").rows, 2U);
}

}  // namespace
}  // namespace kelmarion::testing
