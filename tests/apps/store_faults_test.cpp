// The tool against a failing store: it exits with status 1 and a message naming
// the store and the problem, leaves every row of the store as it was, and the
// next save goes through.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "apps/store_backend.h"
#include "apps/store_rows.h"
#include "apps/tool_test.h"
#include "support/store_contents.h"
#include "support/test_support.h"

namespace kelmarion::testing {
namespace {

using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using json = nlohmann::ordered_json;

using ToolStoreFault = ToolTest;

// A schema "large" of `tables` tables with twelve columns, a primary key and an
// index each: enough round trips for a save to be caught half-way.
json large_document(int tables) {
  json document{{"schema_name", "large"}, {"tables", json::array()}, {"views", json::array()}};
  for (int t = 0; t < tables; ++t) {
    json columns = json::array();
    for (int c = 0; c < 12; ++c) {
      columns.push_back({{"name", fmt::format("column_{}", c)},
                         {"type", "INTEGER"},
                         {"nullable", c != 0},
                         {"default", nullptr},
                         {"autoincrement", false},
                         {"comment", nullptr}});
    }
    document["tables"].push_back(
        {{"table_name", fmt::format("table_{}", t)},
         {"columns", std::move(columns)},
         {"primary_key", {{"name", nullptr}, {"constrained_columns", {"column_0"}}}},
         {"foreign_keys", json::array()},
         {"indexes",
          {{{"name", fmt::format("table_{}_c1", t)},
            {"column_names", {"column_1"}},
            {"unique", false}}}}});
  }
  return document;
}

std::filesystem::path write_file(const std::filesystem::path& path, const json& document) {
  std::ofstream(path) << document.dump();
  return path;
}

TEST_F(ToolStoreFault, SqliteStoreHeldByAnotherWriterExitsOneAfterWaitingThenSaves) {
  const auto engine = create_shop();
  save_shop(engine);
  const auto before = sqlite_contents(store());
  const auto other_writer = open_sqlite_file(store());
  sqlite_execute(other_writer.get(), "BEGIN IMMEDIATE");

  const auto locked = tool({"save", "--engine", engine_url(engine), "--schema", "main", "--store",
                            store(), "--lock-timeout", "0.5"});
  EXPECT_EQ(locked.status, 1);
  EXPECT_THAT(locked.err,
              AllOf(HasSubstr(fmt::format("kelmarion-meta: error: store '{}'", store())),
                    HasSubstr("gave up after waiting 500 ms"), HasSubstr("database is locked")));
  EXPECT_EQ(sqlite_contents(store()), before);

  sqlite_execute(other_writer.get(), "ROLLBACK");
  const auto saved = save_shop(engine);
  EXPECT_EQ(summary_row(saved.out, "total").created, 0);
}

TEST_F(ToolStoreFault, PostgresqlConnectionDroppedMidSaveExitsOneAndKeepsNoPartialRecord) {
  const auto url = postgresql_test_url();
  if (!url) GTEST_SKIP() << "KELMARION_TEST_PG_URL is not set (scripts/with_postgres.sh sets it)";
  const auto schema = unique_name("tool_store_fault");
  postgresql_execute(*url, "CREATE SCHEMA " + schema);
  struct DropSchema {
    const std::string& url;
    const std::string& schema;
    ~DropSchema() {
      try {
        postgresql_execute(url, "DROP SCHEMA " + schema + " CASCADE");
      } catch (const std::exception&) {
        // A leftover schema on a throwaway server does no harm; a throwing destructor would.
      }
    }
  } drop_schema{*url, schema};
  // The application name lets a second connection find the tool's.
  const auto store_url =
      fmt::format("{}{}options=-csearch_path%3D{}&application_name={}", *url,
                  url->find('?') == std::string::npos ? "?" : "&", schema, schema);

  const auto small = write_file(directory() / "small.json", large_document(2));
  const auto first = tool({"save", "--document", small.string(), "--store", store_url});
  ASSERT_EQ(first.status, 0) << first.err;
  const auto before = postgresql_contents(*url, schema);

  const auto large = write_file(directory() / "large.json", large_document(300));
  ToolRun dropped;
  std::thread saver([&] {
    dropped = tool({"save", "--document", large.string(), "--store", store_url});
  });
  // Once the tool is inserting records inside its transaction, its connection goes.
  int terminated = 0;
  const auto admin = connect_postgresql(*url);
  const auto terminate_sql = fmt::format(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
      "WHERE application_name = '{}' AND backend_xid IS NOT NULL AND query LIKE 'INSERT%'",
      schema);
  for (int attempt = 0; attempt < 10000 && terminated == 0; ++attempt) {
    terminated = PQntuples(postgresql_query(admin.get(), terminate_sql).get());
    if (terminated == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  saver.join();

  ASSERT_EQ(terminated, 1);
  EXPECT_EQ(dropped.status, 1) << dropped.err;
  EXPECT_THAT(
      dropped.err,
      AllOf(StartsWith("kelmarion-meta: error: "), HasSubstr(fmt::format("store '{}'", store_url)),
            AnyOf(HasSubstr("terminating connection"), HasSubstr("server closed the connection"))));
  EXPECT_EQ(postgresql_contents(*url, schema), before);

  const auto again = tool({"save", "--document", large.string(), "--store", store_url});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(summary_row(again.out, "tables"), (RecordCounts{298, 0, 2, 0}));
}

using StoredValueFault = StoreBackendTest;

// Anyone who may write to the store can leave a json field nested far deeper
// than any document. A command that reads it fails naming where it is, rather
// than overflowing the stack; a save that only writes the field repairs it.
TEST_P(StoredValueFault, JsonFieldNestedTooDeepFailsEachReadNamingItsRecord) {
  const auto engine = create_shop();
  const std::vector<std::string> save = {"save",     "-q",   "--engine", engine_url(engine),
                                         "--schema", "main", "--store",  store_url()};
  ASSERT_EQ(tool(save).status, 0);
  const bool sqlite = GetParam() == StoreBackend::sqlite;
  // Nests `field` of the first record of `table` `depth` lists deep; returns the
  // error a command reading it must report.
  const auto corrupt = [&](const std::string& table, const std::string& field, int depth) {
    const auto id =
        store_query(store_url(), fmt::format("SELECT MIN({0}_id) FROM {0}", table)).at(0);
    const auto update = fmt::format("UPDATE {} SET {} = '{}{}' WHERE {}_id = {}", table, field,
                                    std::string(depth, '['), std::string(depth, ']'), table, id);
    if (sqlite) {
      execute(store_url(), update);
    } else {
      postgresql_execute(store_url(), update);
    }
    return fmt::format(
        "kelmarion-meta: error: table '{}', record {}, field '{}': JSON nested "
        "deeper than 100 levels",
        table, id, field);
  };
  const auto expect_failure = [&](const std::vector<std::string>& arguments,
                                  const std::string& message) {
    const auto run = tool(arguments);
    EXPECT_EQ(run.status, 1) << fmt::format("{}", fmt::join(arguments, " "));
    EXPECT_THAT(run.err, HasSubstr(message)) << fmt::format("{}", fmt::join(arguments, " "));
  };
  const std::vector<std::string> show_json = {"show", "--store", store_url(), "--format", "json"};
  const std::vector<std::string> show_tree = {"show", "--store", store_url()};

  // A save writes a foreign key's options without reading them. PostgreSQL's own
  // parser refuses a jsonb much deeper than ten thousand levels.
  const auto options = corrupt("source_foreign_key", "options", sqlite ? 50000 : 10000);
  expect_failure(show_json, options);
  expect_failure(show_tree, options);
  ASSERT_EQ(tool(save).status, 0);
  EXPECT_EQ(tool(show_json).status, 0);

  // A save looks an index up by its column names, a key of a unique index, which
  // PostgreSQL keeps to rows of 2.7 kB.
  const auto column_names = corrupt("source_index", "column_names", sqlite ? 50000 : 500);
  const auto before = store_checksum(store_url());
  expect_failure(show_json, column_names);
  expect_failure(save, column_names);
  EXPECT_EQ(store_checksum(store_url()), before);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoredValueFault, all_store_backends(), store_backend_name);

}  // namespace
}  // namespace kelmarion::testing
