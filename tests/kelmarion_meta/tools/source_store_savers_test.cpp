#include "kelmarion_meta/tools/source_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "support/store_fixture.h"

namespace kelmarion::testing {
namespace {

using meta::Document;
using ::testing::ElementsAre;

Document columns_named(std::initializer_list<const char*> names) {
  auto columns = Document::array();
  for (const auto* name : names) columns.push_back({{"name", name}});
  return columns;
}

Document table(const char* name, Document columns, Document foreign_keys, Document indexes) {
  return {{"table_name", name},
          {"columns", std::move(columns)},
          {"foreign_keys", std::move(foreign_keys)},
          {"indexes", std::move(indexes)}};
}

std::shared_ptr<Document> schema_of(Document tables, Document views = Document::array()) {
  return std::make_shared<Document>(
      Document{{"schema_name", "sales"}, {"tables", std::move(tables)}, {"views", std::move(views)}});
}

Document index_on(std::vector<std::string> columns, Document unique) {
  return {{"name", nullptr}, {"column_names", std::move(columns)}, {"unique", std::move(unique)}};
}

class SourceStoreSavers : public StoreTest {};

TEST_P(SourceStoreSavers, ForeignKeyUniqueComesFromTheFirstIndexOnExactlyItsColumns) {
  struct Case {
    const char* label;
    Document indexes;
    Document expected;
  };
  const std::vector<Case> cases{
      {"same columns, unique", {index_on({"a", "b"}, true)}, true},
      {"other order", {index_on({"b", "a"}, true)}, false},
      {"more columns", {index_on({"a", "b", "c"}, true)}, false},
      {"fewer columns", {index_on({"a"}, true)}, false},
      {"first match wins", {index_on({"a", "b"}, false), index_on({"a", "b"}, true)}, false},
      {"non-boolean copied", {index_on({"c"}, true), index_on({"a", "b"}, 1)}, 1},
      {"no index", Document::array(), false},
  };
  for (const auto& c : cases) {
    auto document = schema_of(
        {table("t", columns_named({"a", "b", "c"}),
               {{{"constrained_columns", {"a", "b"}}, {"referred_table", "t"}, {"unique", "stale"}}},
               c.indexes)});
    save(document);
    EXPECT_EQ(document->at("tables")[0].at("foreign_keys")[0].at("unique"), c.expected) << c.label;
  }
}

TEST_P(SourceStoreSavers, ConstrainedOrderbyNeedsAColumnNamedExactlySortOrder) {
  const std::vector<std::pair<Document, bool>> cases{
      {columns_named({"id", "sort_order"}), true},
      {columns_named({"id", "Sort_Order"}), false},
      {columns_named({"id", "sort_order_2"}), false},
  };
  for (const auto& [columns, expected] : cases) {
    auto document = schema_of({table("t", columns,
                                     {{{"constrained_columns", {"id"}}, {"referred_table", "x"}},
                                      {{"constrained_columns", {"id", "id"}}, {"referred_table", "x"}}},
                                     Document::array())});
    save(document);
    for (const auto& fk : document->at("tables")[0].at("foreign_keys")) {
      EXPECT_EQ(fk.at("constrained_orderby"), expected) << columns;
    }
  }
  const auto stored = records(meta::SourceForeignKey::record_class());
  EXPECT_EQ(stored.back()["constrained_orderby"], false);
}

TEST_P(SourceStoreSavers, SortOrdersFollowListPositionAndRestartPerParent) {
  auto first = table("first", columns_named({"a", "b", "c"}),
                     {{{"constrained_columns", {"a"}}}, {{"constrained_columns", {"b"}}}},
                     {index_on({"a"}, false), index_on({"b"}, false)});
  first.at("columns")[1]["sort_order"] = 5;  // overwritten by position
  auto second = table("second", columns_named({"x"}), {{{"constrained_columns", {"x"}}}},
                      {index_on({"x"}, false)});
  auto document = schema_of({first, second}, {{{"view_name", "v1"}, {"columns", columns_named({"p"})}},
                                              {{"view_name", "v2"}, {"columns", columns_named({"q"})}}});
  save(document);

  std::vector<std::int64_t> orders;
  for (const auto& column : records(meta::SourceColumn::record_class())) {
    orders.push_back(column["sort_order"]);
  }
  EXPECT_THAT(orders, ElementsAre(10, 20, 30, 10, 10, 10));
  orders.clear();
  for (const auto& fk : records(meta::SourceForeignKey::record_class())) orders.push_back(fk["sort_order"]);
  EXPECT_THAT(orders, ElementsAre(10, 20, 10));
  orders.clear();
  for (const auto& index : records(meta::SourceIndex::record_class())) {
    orders.push_back(index["sort_order"]);
  }
  EXPECT_THAT(orders, ElementsAre(10, 20, 10));
  EXPECT_EQ(document->at("views")[1].at("sort_order"), 20);
}

TEST_P(SourceStoreSavers, PrimaryKeyIsStoredWhenPresentEvenIfEmpty) {
  auto with_empty_key = table("a", columns_named({"id"}), Document::array(), Document::array());
  with_empty_key["primary_key"] = Document::object();
  auto with_null_key = table("b", columns_named({"id"}), Document::array(), Document::array());
  with_null_key["primary_key"] = nullptr;
  auto without_key = table("c", columns_named({"id"}), Document::array(), Document::array());
  auto document = schema_of({with_empty_key, with_null_key, without_key});

  save(document);

  const auto keys = records(meta::SourcePrimaryKey::record_class());
  ASSERT_EQ(keys.size(), 1);
  EXPECT_EQ(keys[0]["source_table_id"], records(meta::SourceTable::record_class())[0].id());
  EXPECT_EQ(document->at("tables")[0].at("primary_key"),
            Document({{"source_table_id", keys[0]["source_table_id"]}}));
  EXPECT_TRUE(document->at("tables")[1].at("primary_key").is_null());
}

TEST_P(SourceStoreSavers, EntriesOfTheSameNaturalKeyShareOneRecord) {
  auto document = schema_of(
      {table("t", columns_named({"a", "a"}),
             {{{"name", "one"}, {"constrained_columns", {"a"}}, {"referred_table", "t"}},
              {{"name", "two"}, {"constrained_columns", {"a"}}, {"referred_table", "t"}}},
             Document::array()),
       table("t", columns_named({"z"}), Document::array(), Document::array())});

  save(document);

  const auto tables = records(meta::SourceTable::record_class());
  ASSERT_EQ(tables.size(), 1);
  EXPECT_EQ(tables[0]["sort_order"], 20);  // the second entry updated the first's record
  EXPECT_EQ(count(meta::SourceForeignKey::record_class()), 1);
  EXPECT_EQ(records(meta::SourceForeignKey::record_class())[0]["name"], "two");
  EXPECT_EQ(count(meta::SourceColumn::record_class()), 2);  // "a" once, and "z"
}

TEST_P(SourceStoreSavers, EmptyListsStoreOnlyTheSchema) {
  LogCapture log;
  save(schema_of(Document::array()));

  EXPECT_THAT(all_counts(*this), ElementsAre(1, 0, 0, 0, 0, 0, 0, 0));
  EXPECT_EQ(log.lines().back(), "正在处理: 引用当前表的外键 source_referencing_foreign_key");
}

TEST_P(SourceStoreSavers, ValuesAreStoredByFieldKind) {
  auto entry = table("t", Document::array(), Document::array(), Document::array());
  entry["columns"] = {{{"name", 42},
                       {"type", "NUMERIC(10,2)"},
                       {"nullable", 0},
                       {"default", 7},
                       {"autoincrement", true},
                       {"comment", "größe; DROP TABLE x; --"},
                       {"extra", {{"ignored", true}}}}};
  save(schema_of({entry}));

  const auto column = records(meta::SourceColumn::record_class()).at(0);
  EXPECT_EQ(column["name"], "42");
  EXPECT_EQ(column["nullable"], false);
  EXPECT_EQ(column["default"], "7");
  EXPECT_EQ(column["autoincrement"], true);
  EXPECT_EQ(column["comment"], "größe; DROP TABLE x; --");
}

INSTANTIATE_TEST_SUITE_P(Stores, SourceStoreSavers,
                         all_store_kinds(), store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
