#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "apps/tool_test.h"

namespace kelmarion::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using json = nlohmann::ordered_json;

struct ConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

void run_sql(PGconn* connection, const std::string& sql) {
  const std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection, sql.c_str()),
                                                             &PQclear);
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error("PostgreSQL: " + std::string(PQerrorMessage(connection)));
  }
}

// A schema of its own on the test server, dropped with everything in it.
class PostgresqlSchema {
 public:
  PostgresqlSchema(const std::string& url, std::string name)
      : _connection(PQconnectdb(url.c_str())), _name(std::move(name)) {
    if (PQstatus(_connection.get()) != CONNECTION_OK) {
      throw std::runtime_error("KELMARION_TEST_PG_URL is set, but the server cannot be reached: " +
                               std::string(PQerrorMessage(_connection.get())));
    }
    run_sql(_connection.get(), "SET client_min_messages TO warning");
    run_sql(_connection.get(), "DROP SCHEMA IF EXISTS " + _name + " CASCADE");
    run_sql(_connection.get(), "CREATE SCHEMA " + _name);
  }
  PostgresqlSchema(const PostgresqlSchema&) = delete;
  PostgresqlSchema& operator=(const PostgresqlSchema&) = delete;
  PostgresqlSchema(PostgresqlSchema&&) = delete;
  PostgresqlSchema& operator=(PostgresqlSchema&&) = delete;
  ~PostgresqlSchema() {
    try {
      run_sql(_connection.get(), "DROP SCHEMA IF EXISTS " + _name + " CASCADE");
    } catch (const std::exception&) {
      // A leftover schema on a throwaway server does no harm; a throwing destructor would.
    }
  }

  void execute(const std::string& sql) { run_sql(_connection.get(), sql); }

 private:
  Connection _connection;
  std::string _name;
};

using PostgresqlEngine = ToolTest;

TEST_F(PostgresqlEngine, InspectsAndSavesASchema) {
  const auto url = postgresql_test_url();
  if (!url) GTEST_SKIP() << "KELMARION_TEST_PG_URL is not set (scripts/with_postgres.sh sets it)";
  const std::string schema = "kelmarion_cli_" + std::to_string(getpid());
  PostgresqlSchema database(*url, schema);
  database.execute("CREATE TABLE " + schema +
                   ".customers (customer_id serial PRIMARY KEY, email text NOT NULL UNIQUE);"
                   "CREATE TABLE " +
                   schema +
                   ".orders (order_id serial PRIMARY KEY, customer_id integer NOT NULL "
                   "REFERENCES " +
                   schema +
                   ".customers ON DELETE CASCADE, note text);"
                   "CREATE INDEX orders_customer ON " +
                   schema +
                   ".orders (customer_id);"
                   "CREATE VIEW " +
                   schema +
                   ".order_count AS SELECT customer_id, count(*) AS n "
                   "FROM " +
                   schema + ".orders GROUP BY customer_id;");

  const auto inspected = tool({"inspect", "--engine", *url, "--schema", schema});
  ASSERT_EQ(inspected.status, 0) << inspected.err;
  const auto document = json::parse(inspected.out);
  EXPECT_EQ(document.at("schema_name"), schema);
  std::vector<std::string> tables;
  for (const auto& table : document.at("tables")) tables.push_back(table.at("table_name"));
  EXPECT_THAT(tables, ElementsAre("customers", "orders"));

  const auto first = tool({"save", "--engine", *url, "--schema", schema, "--store", store()});
  const auto second = tool({"save", "--engine", *url, "--schema", schema, "--store", store()});
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(summary_row(first.out, "tables"), (RecordCounts{2, 0, 0, 0}));
  EXPECT_EQ(summary_row(first.out, "views"), (RecordCounts{1, 0, 0, 0}));
  EXPECT_EQ(summary_row(first.out, "referencing foreign keys"), (RecordCounts{1, 0, 0, 0}));
  EXPECT_EQ(summary_row(second.out, "total"),
            (RecordCounts{0, 0, summary_row(first.out, "total").created, 0}));

  database.execute("ALTER TABLE " + schema + ".orders DROP COLUMN note");
  const auto stale = tool({"save", "--engine", *url, "--schema", schema, "--store", store()});
  EXPECT_THAT(stale.out, HasSubstr("- column orders.note (stale; removed with --prune)"));
}

}  // namespace
}  // namespace kelmarion::testing
