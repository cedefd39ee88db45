#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "apps/tool_test.h"

namespace kelmarion::testing {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using json = nlohmann::ordered_json;

using ShowCommand = ToolTest;

TEST_F(ShowCommand, JsonIsTheInspectedDocumentAndSavingItChangesNothing) {
  const auto engine = create_shop();
  const auto inspected = tool({"inspect", "--engine", engine_url(engine)});
  const auto first = save_shop(engine);
  const auto shown = tool({"show", "--store", store(), "--format", "json", "--schema", "main"});
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(json::parse(shown.out), json::parse(inspected.out));

  {
    std::ofstream output(directory() / "shown.json");
    output << shown.out;
  }
  const auto again = tool({"save", "--document", "shown.json", "--store", store()});
  ASSERT_EQ(again.status, 0) << again.err;
  const auto total = summary_row(first.out, "total");
  EXPECT_EQ(summary_row(again.out, "total"), (RecordCounts{0, 0, total.created, 0}));
  EXPECT_EQ(show_main(), json::parse(shown.out));

  // The engine the schema came from is kept although the document save named none.
  const auto tree = tool({"show", "--store", store()});
  EXPECT_THAT(tree.out, HasSubstr("(engine " + engine_url(engine) + ")"));
}

TEST_F(ShowCommand, TreeShowsTablesKeysIndexesViewsAndReferences) {
  const auto engine = create_shop();
  save_shop(engine);
  const auto run = tool({"show", "--store", store(), "--schema", "main"});

  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(
      run.out,
      AllOf(HasSubstr("schema 'main' (engine " + engine_url(engine) + "): 6 tables, 1 view\n"),
            HasSubstr("  table order_lines\n    columns\n      order_id    INTEGER  not null\n"),
            HasSubstr("    primary key (order_id, line_no)\n"),
            HasSubstr("    foreign key shipments_order_line (order_id, line_no) -> "
                      "order_lines (order_id, line_no)  ondelete CASCADE\n"),
            HasSubstr("    unique index products_sku (sku)\n"),
            HasSubstr("    referenced by shipments (order_id, line_no), one to one\n"),
            HasSubstr("  view order_totals\n")));
}

TEST_F(ShowCommand, WithoutSchemaShowsEveryStoredSchema) {
  const auto engine = create_shop();
  save_shop(engine);
  const auto inspected = tool({"inspect", "--engine", engine_url(engine), "-o", "shop.json"});
  ASSERT_EQ(inspected.status, 0) << inspected.err;
  const auto archived =
      tool({"save", "-q", "--document", "shop.json", "--schema", "archive", "--store", store()});
  ASSERT_EQ(archived.status, 0) << archived.err;

  const auto as_json = tool({"show", "--store", store(), "--format", "json"});
  const auto as_tree = tool({"show", "--store", store()});

  ASSERT_EQ(as_json.status, 0) << as_json.err;
  const auto documents = json::parse(as_json.out);
  ASSERT_TRUE(documents.is_array());
  ASSERT_EQ(documents.size(), 2U);
  EXPECT_EQ(documents.at(0).at("schema_name"), "main");
  EXPECT_EQ(documents.at(1).at("schema_name"), "archive");
  EXPECT_EQ(documents.at(1).at("tables"), documents.at(0).at("tables"));
  EXPECT_THAT(as_tree.out, AllOf(HasSubstr("schema 'main'"), HasSubstr("schema 'archive'")));
}

TEST_F(ShowCommand, EmptyStoreHoldsNoSchema) {
  create_database("empty.db", "");
  const auto tree = tool({"show", "--store", "empty.db"});
  const auto as_json = tool({"show", "--store", "empty.db", "--format", "json"});

  EXPECT_EQ(tree.status, 0) << tree.err;
  EXPECT_THAT(tree.out, HasSubstr("holds no schema"));
  EXPECT_EQ(as_json.status, 0) << as_json.err;
  EXPECT_EQ(json::parse(as_json.out), json::array());
}

}  // namespace
}  // namespace kelmarion::testing
