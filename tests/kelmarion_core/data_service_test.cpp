#include "kelmarion_core/data_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelmarion_core/errors.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "support/test_support.h"

namespace kelmarion::core {
namespace {

using kelmarion::testing::run;
using meta::SourceColumn;
using meta::SourceIndex;
using Json = nlohmann::ordered_json;

TEST(DataService, InsertTakesFieldsOnlyAndTheDatabaseAssignsTheIdentifier) {
  AsyncSession session(":memory:");
  const auto first = DataService::db_insert(&session, SourceColumn::record_class(),
                                            {{"source_column_id", 99},
                                             {"name", "id"},
                                             {"default", nullptr},
                                             {"columns", {1, 2, 3}}});
  const auto second =
      DataService::db_insert(&session, SourceColumn::record_class(), {{"name", "b"}});
  EXPECT_EQ(first.id(), 1);
  EXPECT_EQ(second.id(), 2);
  EXPECT_EQ(first["name"], "id");
  EXPECT_TRUE(first["type"].is_null());
  EXPECT_THROW((void)first["columns"], Error);
}

TEST(DataService, UpdateSetsPresentFieldsAndKeepsTheRest) {
  AsyncSession session(":memory:");
  const auto stored = DataService::db_insert(
      &session, SourceColumn::record_class(),
      {{"name", "id"}, {"type", "INT"}, {"comment", "key"}, {"source_table_id", 3}});

  const auto updated = run(DataService::db_update(
      &session, stored.id(), SourceColumn::record_class(),
      Json{{"source_column_id", 50}, {"type", "BIGINT"}, {"comment", nullptr}}));

  EXPECT_EQ(updated.id(), stored.id());
  EXPECT_EQ(updated["type"], "BIGINT");
  EXPECT_TRUE(updated["comment"].is_null());
  EXPECT_EQ(updated["name"], "id");
  EXPECT_EQ(updated["source_table_id"], 3);
  EXPECT_THAT([&] { run(DataService::db_update(&session, 77, SourceColumn::record_class(), Json::object())); },
              ::testing::ThrowsMessage<DatabaseError>(
                  ::testing::HasSubstr("no record with source_column_id 77")));
}

TEST(QueryService, LookupsCompareWholeListsAndAbsentValues) {
  AsyncSession session(":memory:");
  (void)DataService::db_insert(&session, SourceIndex::record_class(),
                               {{"source_table_id", 1}, {"column_names", {"a", "b"}}});
  (void)DataService::db_insert(&session, SourceIndex::record_class(),
                               {{"column_names", {"a"}}});
  const auto find = [&](Condition condition) {
    auto found = run(QueryService::query_columns_first(&session, SourceIndex::record_class(),
                                                       std::move(condition)));
    return found ? found->id() : 0;
  };

  EXPECT_EQ(find({SourceIndex::source_table_id == 1, SourceIndex::column_names == Json{"a", "b"}}), 1);
  EXPECT_EQ(find({SourceIndex::source_table_id == 1, SourceIndex::column_names == Json{"b", "a"}}), 0);
  EXPECT_EQ(find({SourceIndex::source_table_id == 1, SourceIndex::column_names == Json{"a"}}), 0);
  EXPECT_EQ(find({SourceIndex::source_table_id == std::nullopt}), 2);
  // An absent term never widens the lookup to every parent.
  EXPECT_EQ(find({std::nullopt, SourceIndex::column_names == Json{"a"}}), 0);
  const auto stored = run(QueryService::query_all(&session, SourceIndex::record_class()));
  EXPECT_EQ(stored[0]["column_names"], Json({"a", "b"}));
}

TEST(DataService, WithoutSessionNamesTheTable) {
  EXPECT_THAT([] { (void)DataService::db_insert(nullptr, SourceColumn::record_class(), Json::object()); },
              ::testing::ThrowsMessage<ConfigurationError>(
                  "table 'source_column': no database session (give the store a session)"));
}

}  // namespace
}  // namespace kelmarion::core
