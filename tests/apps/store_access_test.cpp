// Which databases the tool treats as its store, and how it shares one: a
// database that is not a store of ours (or of a layout this build does not know)
// is refused and left untouched, `show` never writes, and saves wait for each
// other only when they must, and never without a bound.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "apps/store_backend.h"
#include "apps/store_rows.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/source_store.h"
#include "support/test_support.h"

namespace kelmarion::testing {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using json = nlohmann::ordered_json;

class StoreAccess : public StoreBackendTest {
 protected:
  void SetUp() override {
    StoreBackendTest::SetUp();
    // An empty file is an empty SQLite database, as a new PostgreSQL schema is.
    if (GetParam() == StoreBackend::sqlite) std::ofstream{store_url()}.flush();
    _shop = create_shop();
  }

  // Runs each statement on the store, past the tool.
  void store_execute(const std::vector<std::string>& statements) {
    for (const auto& sql : statements) {
      if (GetParam() == StoreBackend::postgresql) {
        postgresql_execute(store_url(), sql);
      } else {
        execute(store_url(), sql);
      }
    }
  }

  ToolRun save_shop_into_store(const std::string& schema = "main",
                               std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{"save",      "--engine",   engine_url(_shop),
                                       "--schema",  schema,       "--store",
                                       store_url(), "--document", "-"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return tool(ToolCall{arguments, {}, {}, shop_document(schema)});
  }

  ToolRun show(std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{"show", "--store", store_url()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return tool(std::move(arguments));
  }

  // A save of `schema` through `session` that has written, as a host does, but
  // not committed yet.
  void begin_save(core::AsyncSession& session, const std::string& schema) {
    auto document = std::make_shared<meta::Document>(json::parse(shop_document(schema)));
    (*document)["tables"][0]["comment"] = "changed, not committed";
    run(session.begin());
    run(session.lock_schema(schema));
    meta::SourceStore store({.db = &session, .engine_name = "x", .schema_name = schema});
    meta::SaveMetaOptions options{.metadata = document};
    (void)run(store.save_meta(std::move(options)));
  }

  // The shop's document saved as schema `schema`.
  std::string shop_document(const std::string& schema) {
    if (!_shop_document) {
      const auto inspected = tool({"inspect", "--engine", engine_url(_shop), "--schema", "main"});
      EXPECT_EQ(inspected.status, 0) << inspected.err;
      _shop_document = json::parse(inspected.out);
    }
    auto document = *_shop_document;
    document["schema_name"] = schema;
    return document.dump();
  }

 protected:
  std::filesystem::path _shop;

 private:
  std::optional<json> _shop_document;
};

// What another program may have left in the database that is given as the store.
struct ForeignStore {
  std::string name;
  std::vector<std::string> setup;
  std::string refusal;
};

const ForeignStore foreign_stores[] = {
    {"another application's table with a name of ours",
     {"CREATE TABLE source_table (source_table_id INTEGER PRIMARY KEY, source_schema_id INTEGER, "
      "table_name TEXT, comment TEXT, sort_order INTEGER)",
      "INSERT INTO source_table VALUES (1, 1, 'theirs', NULL, 10)"},
     "is not a kelmarion_meta store: it has a table 'source_table'"},
    {"a newer layout",
     {"CREATE TABLE kelmarion_store_version (layout_version INTEGER NOT NULL)",
      "INSERT INTO kelmarion_store_version VALUES (999)"},
     "has store layout 999, newer than"},
    {"layout zero",
     {"CREATE TABLE kelmarion_store_version (layout_version INTEGER NOT NULL)",
      "INSERT INTO kelmarion_store_version VALUES (0)"},
     "holds '0', not a store layout"},
    {"a layout that is no number",
     {"CREATE TABLE kelmarion_store_version (layout_version TEXT)",
      "INSERT INTO kelmarion_store_version VALUES ('abc')"},
     "holds 'abc', not a store layout"},
    {"a version table without its row",
     {"CREATE TABLE kelmarion_store_version (layout_version INTEGER NOT NULL)"},
     "holds no row, not a store layout"},
};

TEST_P(StoreAccess, DatabasesThatAreNotOurStoreAreRefusedAndLeftUntouched) {
  for (const auto& foreign : foreign_stores) {
    store_execute(
        {"DROP TABLE IF EXISTS kelmarion_store_version", "DROP TABLE IF EXISTS source_table"});
    store_execute(foreign.setup);
    const auto before = store_rows(store_url());

    const auto saved = save_shop_into_store("main", {"--prune"});
    EXPECT_EQ(saved.status, 2) << foreign.name << ": " << saved.err;
    EXPECT_THAT(saved.err, HasSubstr(foreign.refusal)) << foreign.name;
    const auto shown = show();
    EXPECT_EQ(shown.status, 2) << foreign.name << ": " << shown.err;
    EXPECT_THAT(shown.err, HasSubstr(foreign.refusal)) << foreign.name;
    EXPECT_EQ(store_rows(store_url()), before) << foreign.name;
  }

  // Tables of other names are another application's business: the store goes beside them.
  store_execute({"DROP TABLE IF EXISTS kelmarion_store_version",
                 "DROP TABLE IF EXISTS source_table", "CREATE TABLE app_data (x INTEGER)",
                 "INSERT INTO app_data VALUES (7)"});
  const auto saved = save_shop_into_store();
  EXPECT_EQ(saved.status, 0) << saved.err;
  EXPECT_THAT(store_query(store_url(), "SELECT x FROM app_data"), ::testing::ElementsAre("7"));
  EXPECT_EQ(show({"--schema", "main"}).status, 0);
}

// A store of layout 1 is what this build writes without the history of saves.
TEST_P(StoreAccess, AStoreOfThePreviousLayoutIsReadAsItIsAndUpgradedByTheFirstSave) {
  ASSERT_EQ(save_shop_into_store().status, 0);
  store_execute({"DROP TABLE kelmarion_save_history",
                 "UPDATE kelmarion_store_version SET layout_version = 1"});
  const auto previous = store_rows(store_url());

  const auto history = tool({"history", "--store", store_url()});
  EXPECT_EQ(history.status, 0) << history.err;
  EXPECT_THAT(history.out, HasSubstr("holds no saves"));
  const auto diff =
      tool({"diff", "--engine", engine_url(_shop), "--schema", "main", "--store", store_url()});
  EXPECT_EQ(diff.status, 0) << diff.out << diff.err;
  EXPECT_EQ(store_rows(store_url()), previous);

  const auto saved = save_shop_into_store();
  ASSERT_EQ(saved.status, 0) << saved.err;
  EXPECT_THAT(store_query(store_url(), "SELECT layout_version FROM kelmarion_store_version"),
              ::testing::ElementsAre("2"));
  const auto upgraded = tool({"history", "--store", store_url(), "--format", "json"});
  ASSERT_EQ(upgraded.status, 0) << upgraded.err;
  EXPECT_EQ(json::parse(upgraded.out).size(), 1U);
}

TEST_P(StoreAccess, ShowCreatesNothingAndDoesNotWaitForASaveInProgress) {
  const auto empty = store_rows(store_url());
  const auto shown_empty = show();
  EXPECT_EQ(shown_empty.status, 0) << shown_empty.err;
  EXPECT_THAT(shown_empty.out, HasSubstr("holds no schema"));
  EXPECT_EQ(store_rows(store_url()), empty);

  ASSERT_EQ(save_shop_into_store().status, 0);
  const auto saved = store_rows(store_url());
  const auto before = show({"--schema", "main"});
  ASSERT_EQ(before.status, 0) << before.err;

  core::AsyncSession writer(store_url());
  begin_save(writer, "main");

  const auto during = show({"--schema", "main", "--lock-timeout", "1"});
  EXPECT_EQ(during.status, 0) << during.err;
  EXPECT_EQ(during.out, before.out);
  run(writer.rollback());
  EXPECT_EQ(store_rows(store_url()), saved);
}

TEST_P(StoreAccess, SavesOfOtherSchemasGoOnWhileOneWaitsAtMostItsLockTimeout) {
  ASSERT_EQ(save_shop_into_store("held").status, 0);
  core::AsyncSession holder(store_url());
  begin_save(holder, "held");

  // SQLite has one writer at a time; PostgreSQL serialises saves of one schema only.
  const bool sqlite = GetParam() == StoreBackend::sqlite;
  const auto other = save_shop_into_store("other", {"--lock-timeout", "0.5"});
  EXPECT_EQ(other.status, sqlite ? 1 : 0) << other.err;
  const auto same = save_shop_into_store("held", {"--lock-timeout", "0.5"});
  EXPECT_EQ(same.status, 1);
  EXPECT_THAT(same.err, AllOf(HasSubstr("gave up after waiting 500 ms"),
                              HasSubstr(sqlite ? "database is locked" : "schema 'held'")));
  run(holder.rollback());
  EXPECT_EQ(save_shop_into_store("held", {"--lock-timeout", "0.5"}).status, 0);
}

TEST_P(StoreAccess, ShowReadsThroughARoleThatMayOnlyRead) {
  if (GetParam() != StoreBackend::postgresql) GTEST_SKIP() << "needs PostgreSQL roles";
  ASSERT_EQ(save_shop_into_store().status, 0);
  const auto expected = show({"--schema", "main"});
  ASSERT_EQ(expected.status, 0) << expected.err;
  const auto schema = store_query(store_url(), "SELECT current_schema()").at(0);
  const auto role = unique_name("reader");
  postgresql_execute(*postgresql_test_url(),
                     fmt::format("CREATE ROLE {0} LOGIN; GRANT USAGE ON SCHEMA {1} TO {0}; "
                                 "GRANT SELECT ON ALL TABLES IN SCHEMA {1} TO {0}",
                                 role, schema));

  const auto shown = tool({"show", "--schema", "main", "--store", store_url() + "&user=" + role});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out, expected.out);
  postgresql_execute(*postgresql_test_url(), fmt::format("DROP OWNED BY {0}; DROP ROLE {0}", role));
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreAccess, all_store_backends(), store_backend_name);

}  // namespace
}  // namespace kelmarion::testing
