#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "apps/store_backend.h"
#include "apps/tool_test.h"
#include "support/write_counter.h"

namespace kelmarion::testing {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using json = nlohmann::ordered_json;

using SaveCommand = ToolTest;

TEST_F(SaveCommand, SecondSaveUpdatesEveryRecordAndCreatesNone) {
  const auto engine = create_shop();
  const auto first = save_shop(engine);
  const auto second = save_shop(engine);

  EXPECT_THAT(first.out, HasSubstr("saved schema 'main' into store"));
  EXPECT_EQ(summary_row(first.out, "tables"), (RecordCounts{6, 0, 0, 0}));
  EXPECT_EQ(summary_row(first.out, "views"), (RecordCounts{1, 0, 0, 0}));
  EXPECT_EQ(summary_row(first.out, "primary keys"), (RecordCounts{6, 0, 0, 0}));
  EXPECT_EQ(summary_row(first.out, "foreign keys"), (RecordCounts{6, 0, 0, 0}));
  // Every foreign key of the shop refers to a table of the same schema.
  EXPECT_EQ(summary_row(first.out, "referencing foreign keys"), (RecordCounts{6, 0, 0, 0}));

  const auto created = summary_row(first.out, "total").created;
  EXPECT_GT(created, 0);
  EXPECT_EQ(summary_row(second.out, "total"), (RecordCounts{0, 0, created, 0}));
  EXPECT_THAT(second.out, HasSubstr("\nno changes\n"));
}

TEST_F(SaveCommand, ReportsStaleRecordsAndDeletesThemOnlyWithPrune) {
  const auto engine = create_shop();
  save_shop(engine);
  execute(engine,
          "ALTER TABLE orders DROP COLUMN status;"
          "DROP INDEX products_category_title;"
          "CREATE INDEX products_category_title ON products (title, category_id);");

  const auto kept = save_shop(engine);
  EXPECT_EQ(summary_row(kept.out, "columns").stale, 1);
  EXPECT_EQ(summary_row(kept.out, "indexes"), (RecordCounts{1, 0, 6, 1}));
  // The index found under other columns is a new record; the old one is stale.
  EXPECT_THAT(kept.out, HasSubstr("changes:\n"
                                  "  + index products.products_category_title\n"
                                  "  - column orders.status (stale; removed with --prune)\n"
                                  "  - index products.products_category_title (stale; removed with "
                                  "--prune)\n"));

  // Kept means kept: the next save finds them again.
  const auto again = save_shop(engine);
  EXPECT_EQ(summary_row(again.out, "total").stale, 2);

  const auto pruned = save_shop(engine, {"--prune"});
  EXPECT_EQ(summary_row(pruned.out, "total").stale, 2);
  EXPECT_THAT(pruned.out, HasSubstr("changes:\n"
                                    "  - column orders.status (deleted)\n"
                                    "  - index products.products_category_title (deleted)\n"));

  const auto after = save_shop(engine);
  EXPECT_EQ(summary_row(after.out, "total").stale, 0);
  const auto stored = show_main();
  for (const auto& table : stored.at("tables")) {
    for (const auto& column : table.at("columns")) {
      EXPECT_FALSE(table.at("table_name") == "orders" && column.at("name") == "status");
    }
  }
}

TEST_F(SaveCommand, DroppedTableMakesItsWholeSubtreeStale) {
  const auto engine = create_shop();
  save_shop(engine);
  execute(engine, "DROP VIEW order_totals; DROP TABLE shipments;");

  const auto run = save_shop(engine, {"--prune"});
  // The table, its 4 columns, primary key, foreign key and index, and the
  // reference to order_lines; the view and its 3 columns.
  EXPECT_EQ(summary_row(run.out, "tables").stale, 1);
  EXPECT_EQ(summary_row(run.out, "views").stale, 1);
  EXPECT_EQ(summary_row(run.out, "columns").stale, 4 + 3);
  EXPECT_EQ(summary_row(run.out, "referencing foreign keys").stale, 1);
  EXPECT_EQ(summary_row(run.out, "total").stale, 1 + 1 + 7 + 1 + 1 + 1 + 1);
  EXPECT_EQ(show_main().at("tables").size(), 5U);
  EXPECT_THAT(show_main().at("views"), IsEmpty());
}

TEST_F(SaveCommand, WritesTheSavedDocumentWithIdentifiersAndSortOrders) {
  const auto engine = create_shop();
  const auto run = save_shop(engine, {"-q", "-o", "saved.json"});

  EXPECT_THAT(run.out, IsEmpty());
  std::ifstream input(directory() / "saved.json");
  const auto saved = json::parse(input);
  const auto& first_table = saved.at("tables").at(0);
  EXPECT_EQ(first_table.at("sort_order"), 10);
  EXPECT_TRUE(first_table.at("source_table_id").is_number_integer());
  EXPECT_EQ(first_table.at("columns").at(1).at("sort_order"), 20);
  EXPECT_TRUE(saved.at("views").at(0).at("source_view_id").is_number_integer());
}

TEST_F(SaveCommand, ReadsTheDocumentFromStandardInput) {
  const auto engine = create_shop();
  const auto inspected = tool({"inspect", "--engine", engine_url(engine)});
  ASSERT_EQ(inspected.status, 0) << inspected.err;

  const auto run = tool(ToolCall{.arguments = {"save", "--document", "-", "--store", store()},
                                 .input = inspected.out});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("saved schema 'main'"));
  EXPECT_EQ(summary_row(run.out, "tables"), (RecordCounts{6, 0, 0, 0}));
}

TEST_F(SaveCommand, FailedSaveLeavesTheStoreAsItWas) {
  const auto engine = create_shop();
  save_shop(engine);
  const auto before = show_main();

  // The first table is written before the second one turns out to be broken.
  auto broken = before;
  broken.at("tables").at(0).at("columns").push_back(json{{"name", "added"}});
  broken.at("tables").at(1).at("columns").at(0).erase("name");
  const auto run = tool(ToolCall{.arguments = {"save", "--document", "-", "--store", store()},
                                 .input = broken.dump()});

  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, HasSubstr("table 'customers', column #1: missing required key 'name'"));
  EXPECT_EQ(show_main(), before);
}

TEST_F(SaveCommand, StoreComesFromTheEnvironmentOrTheWorkingDirectory) {
  const auto engine = create_shop();
  const auto by_default = tool({"save", "-q", "--engine", engine_url(engine)});
  const auto from_environment =
      tool(ToolCall{.arguments = {"save", "-q", "--engine", engine_url(engine)},
                    .environment = {{"KELMARION_META_STORE", "sqlite:///from_env.db"}}});

  EXPECT_EQ(by_default.status, 0) << by_default.err;
  EXPECT_EQ(from_environment.status, 0) << from_environment.err;
  EXPECT_TRUE(std::filesystem::exists(directory() / "kelmarion_meta.db"));
  EXPECT_TRUE(std::filesystem::exists(directory() / "from_env.db"));
}

TEST_F(SaveCommand, VerboseShowsTheLibraryLogOnStderr) {
  const auto engine = create_shop();
  const auto quiet = save_shop(engine, {"-q"});
  const auto verbose = tool({"-v", "save", "--engine", engine_url(engine), "--store", store()});

  EXPECT_THAT(quiet.out, IsEmpty());
  EXPECT_THAT(quiet.err, IsEmpty());
  ASSERT_EQ(verbose.status, 0) << verbose.err;
  EXPECT_THAT(verbose.err,
              AllOf(HasSubstr("正在处理表: orders"), HasSubstr("正在处理视图: order_totals")));
  EXPECT_THAT(verbose.out, HasSubstr("saved schema 'main'"));
}

// A save that finds every record as stored sends no write at all: no row gets a
// new version and no trigger of the host's fires.
class SaveCommandOnStore : public StoreBackendTest {};

TEST_P(SaveCommandOnStore, ResaveOfAnUnchangedSchemaWritesOnlyItsHistoryRow) {
  const auto engine = create_shop();
  const std::vector<std::string> save{"save", "--engine", engine_url(engine), "--schema",
                                      "main", "--store",  store_url()};
  const auto first = tool(save);
  ASSERT_EQ(first.status, 0) << first.err;
  count_writes(store_url());

  const auto second = tool(save);

  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_THAT(counted_writes(store_url()), ElementsAre("kelmarion_save_history INSERT 1"));
  EXPECT_EQ(summary_row(second.out, "total"),
            (RecordCounts{0, 0, summary_row(first.out, "total").created, 0}));
}

INSTANTIATE_TEST_SUITE_P(Stores, SaveCommandOnStore, all_store_backends(), store_backend_name);

}  // namespace
}  // namespace kelmarion::testing
