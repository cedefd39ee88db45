// What a migration looks like to the tool: `diff` lists exactly what changed in
// the schema and writes nothing, `save` reports and records the same changes in
// the store's history, and a second `diff` finds the store up to date. Run on
// a SQLite engine into a SQLite store, and on a PostgreSQL engine into a
// PostgreSQL store.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "apps/store_backend.h"
#include "support/test_support.h"
#include "support/write_counter.h"

namespace kelmarion::testing {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using json = nlohmann::ordered_json;

const std::string before_migration =
    "CREATE TABLE customers (customer_id INTEGER PRIMARY KEY, email TEXT NOT NULL, fax TEXT);"
    "CREATE TABLE orders (order_id INTEGER PRIMARY KEY, customer_id INTEGER NOT NULL "
    "REFERENCES customers (customer_id), status TEXT NOT NULL DEFAULT 'open');";

// Adds a table, adds and drops a column, changes a type and a default, adds a
// unique index and drops a foreign key.
const std::string common_migration =
    "CREATE TABLE invoices (invoice_id INTEGER PRIMARY KEY, total INTEGER NOT NULL);"
    "ALTER TABLE customers ADD COLUMN phone TEXT;"
    "ALTER TABLE customers DROP COLUMN fax;"
    "CREATE UNIQUE INDEX customers_email ON customers (email);";
// SQLite changes a column's type or a foreign key only by building the table anew.
const std::string sqlite_migration =
    "CREATE TABLE orders_new (order_id INTEGER PRIMARY KEY, customer_id INTEGER NOT NULL, "
    "status VARCHAR(20) NOT NULL DEFAULT 'new');"
    "INSERT INTO orders_new SELECT * FROM orders; DROP TABLE orders;"
    "ALTER TABLE orders_new RENAME TO orders;";
const std::string postgresql_migration =
    "ALTER TABLE orders ALTER COLUMN status TYPE VARCHAR(20), "
    "ALTER COLUMN status SET DEFAULT 'new', DROP CONSTRAINT orders_customer_id_fkey;";

class ChangeHistory : public StoreBackendTest {
 protected:
  void SetUp() override {
    StoreBackendTest::SetUp();
    if (IsSkipped()) return;
    if (GetParam() == StoreBackend::sqlite) {
      _engine = engine_url(create_database("engine.db", before_migration));
      _schema = "main";
      return;
    }
    _schema = unique_name("cli_engine");
    postgresql_execute(*postgresql_test_url(), "CREATE SCHEMA " + _schema);
    _engine = *postgresql_test_url();
    migrate(before_migration);
  }
  void TearDown() override {
    if (GetParam() == StoreBackend::postgresql && !_schema.empty()) {
      postgresql_execute(*postgresql_test_url(), "DROP SCHEMA " + _schema + " CASCADE");
    }
    StoreBackendTest::TearDown();
  }

  void migrate(const std::string& sql) {
    if (GetParam() == StoreBackend::sqlite) {
      execute(directory() / "engine.db", sql);
    } else {
      postgresql_execute(with_search_path(_engine, _schema), sql);
    }
  }

  ToolRun run(const std::string& command, std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{command, "--engine", _engine,    "--schema",
                                       _schema, "--store",  store_url()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return tool(arguments);
  }

  std::string _engine;
  std::string _schema;
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

TEST_P(ChangeHistory, DiffListsAMigrationAndSaveRecordsIt) {
  ASSERT_EQ(run("save").status, 0);
  migrate(common_migration +
          (GetParam() == StoreBackend::sqlite ? sqlite_migration : postgresql_migration));

  count_writes(store_url());
  const auto diff = run("diff");
  EXPECT_EQ(diff.status, 3) << diff.err;
  EXPECT_THAT(counted_writes(store_url()), ::testing::IsEmpty());
  const auto status_change =
      GetParam() == StoreBackend::sqlite
          ? "  ~ column orders.status: type TEXT -> VARCHAR(20), default 'open' -> 'new'"
          : "  ~ column orders.status: type text -> character varying(20), default 'open'::text -> "
            "'new'::character varying";
  const std::vector<std::string> expected{
      "  + column customers.phone",
      "  + index customers.customers_email",
      "  + table invoices (2 columns, primary key)",
      status_change,
      "  - column customers.fax (stale; removed with --prune)",
      "  - foreign key orders (customer_id) -> customers (stale; removed with --prune)",
      // invoices comes before orders now
      "  ~ 1 object moved (sort order only)",
  };
  const auto listed = lines_of(diff.out);
  ASSERT_FALSE(listed.empty());
  EXPECT_THAT(listed.front(), HasSubstr("differs from engine"));
  EXPECT_THAT(std::vector(listed.begin() + 1, listed.end()), ElementsAreArray(expected));

  // The save makes the changes the diff listed (the stale ones deleted) and records them.
  auto expected_changes = json::parse(run("diff", {"--format", "json"}).out)["changes"];
  for (auto& change : expected_changes) {
    if (change["change"] == "stale") change["change"] = "deleted";
  }
  const auto saved = run("save", {"--prune", "--format", "json"});
  ASSERT_EQ(saved.status, 0) << saved.err;
  const auto report = json::parse(saved.out);
  EXPECT_EQ(report["changes"], expected_changes);
  const auto recorded =
      tool({"history", "--store", store_url(), "--save",
            std::to_string(report["history_id"].get<std::int64_t>()), "--format", "json"});
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  EXPECT_EQ(json::parse(recorded.out)["changes"], expected_changes);
  EXPECT_EQ(json::parse(recorded.out)["counts"], report["counts"]);

  const auto again = run("diff");
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_THAT(again.out, HasSubstr("matches engine"));
}

TEST_P(ChangeHistory, OnlyCommittedSavesAreInTheHistory) {
  ASSERT_EQ(run("save").status, 0);
  ASSERT_EQ(run("save").status, 0);
  // The second table lacks its name: the save fails half-way and is rolled back.
  const auto failed =
      tool(ToolCall{.arguments = {"save", "--document", "-", "--store", store_url()},
                    .input = R"({"schema_name": ")" + _schema +
                             R"(", "views": [], "tables": [{"table_name": "a", "columns": [], )"
                             R"("foreign_keys": [], "indexes": []}, {"columns": []}]})"});
  EXPECT_EQ(failed.status, 2) << failed.err;

  const auto history = tool({"history", "--store", store_url(), "--format", "json"});
  ASSERT_EQ(history.status, 0) << history.err;
  const auto saves = json::parse(history.out);
  ASSERT_EQ(saves.size(), 2U);
  EXPECT_GT(saves[0]["id"], saves[1]["id"]);  // newest first
  EXPECT_EQ(saves[0]["changes"], json::array());
  EXPECT_EQ(saves[1]["changes"][0]["contains"]["tables"], 2);
  EXPECT_EQ(saves[0]["counts"]["columns"]["unchanged"], 6);
}

INSTANTIATE_TEST_SUITE_P(Engines, ChangeHistory, all_store_backends(), store_backend_name);

}  // namespace
}  // namespace kelmarion::testing
