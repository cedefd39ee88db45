#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "apps/store_backend.h"
#include "support/mysql_server.h"
#include "support/write_counter.h"

namespace kelmarion::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using json = nlohmann::ordered_json;

class MysqlEngine : public StoreBackendTest {};

TEST_P(MysqlEngine, SavesADatabaseAndASecondSaveChangesNothing) {
  const auto url = mysql_test_url();
  if (!url)
    GTEST_SKIP() << "KELMARION_TEST_MYSQL_URL is not set "
                    "(scripts/with_mariadb.sh sets it)";
  MysqlAdmin admin(*url);
  const auto database = admin.create_database("kel_cli");
  const auto quoted = mysql_quote(database);
  admin.execute("CREATE TABLE " + quoted +
                ".customers (customer_id int AUTO_INCREMENT PRIMARY KEY,"
                " email varchar(120) NOT NULL UNIQUE, note text COMMENT 'free text');"
                "CREATE TABLE " +
                quoted +
                ".orders (order_id int AUTO_INCREMENT PRIMARY KEY, customer_id int NOT "
                "NULL,"
                " placed timestamp NOT NULL DEFAULT CURRENT_TIMESTAMP ON UPDATE "
                "CURRENT_TIMESTAMP,"
                " status enum('new','paid') NOT NULL DEFAULT 'new', code varchar(40),"
                " total decimal(10,2) AS (0) VIRTUAL, KEY code_prefix (code(8)),"
                " FOREIGN KEY (customer_id) REFERENCES " +
                quoted +
                ".customers (customer_id) ON DELETE CASCADE);"
                "CREATE VIEW " +
                quoted + ".order_count AS SELECT customer_id, count(*) AS n FROM " + quoted +
                ".orders GROUP BY customer_id");
  // The URL names the database: no --schema needed.
  const auto engine = mysql_url_as(*url, "root", "", database);

  const auto inspected = tool({"inspect", "--engine", engine});
  ASSERT_EQ(inspected.status, 0) << inspected.err;
  const auto document = json::parse(inspected.out);
  EXPECT_EQ(document.at("schema_name"), database);
  std::vector<std::string> tables;
  for (const auto& table : document.at("tables")) tables.push_back(table.at("table_name"));
  EXPECT_THAT(tables, ElementsAre("customers", "orders"));

  const auto first = tool({"save", "--engine", engine, "--store", store_url()});
  ASSERT_EQ(first.status, 0) << first.err;
  count_writes(store_url());
  const auto second = tool({"save", "--engine", engine, "--store", store_url()});
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(summary_row(first.out, "tables"), (RecordCounts{2, 0, 0, 0}));
  EXPECT_EQ(summary_row(first.out, "views"), (RecordCounts{1, 0, 0, 0}));
  EXPECT_EQ(summary_row(first.out, "referencing foreign keys"), (RecordCounts{1, 0, 0, 0}));
  EXPECT_EQ(summary_row(second.out, "total"),
            (RecordCounts{0, 0, summary_row(first.out, "total").created, 0}));
  // Nothing but the second save's own row in the history.
  EXPECT_THAT(counted_writes(store_url()), ElementsAre("kelmarion_save_history INSERT 1"));

  const auto shown = tool({"show", "--store", store_url(), "--schema", database});
  EXPECT_THAT(shown.out, HasSubstr("(engine mysql://root@"));
}

INSTANTIATE_TEST_SUITE_P(Stores, MysqlEngine, all_store_backends(), store_backend_name);

}  // namespace
}  // namespace kelmarion::testing
