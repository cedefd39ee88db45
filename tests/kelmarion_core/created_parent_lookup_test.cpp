// Inside a transaction a store may answer a lookup under a parent it created
// there without asking the database. Whatever the store knows, a lookup must
// find what the query would: children created since, records stored before
// the transaction that refer to the new parent's identifier, records moved
// under it, and identifiers reused after a delete.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "kelmarion_core/data_service.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "support/store_fixture.h"

namespace kelmarion::testing {
namespace {

using core::DataService;
using core::QueryService;
using meta::SourceColumn;
using meta::SourceTable;
using Json = nlohmann::ordered_json;

class CreatedParentLookup : public StoreTest {
 protected:
  std::int64_t table(const std::string& name) {
    return DataService::db_insert(&session(), SourceTable::record_class(),
                                  {{"source_schema_id", 1}, {"table_name", name}})
        .id();
  }
  std::int64_t column(std::int64_t table_id, const std::string& name) {
    return DataService::db_insert(&session(), SourceColumn::record_class(),
                                  {{"source_table_id", table_id}, {"name", name}})
        .id();
  }
  std::optional<std::int64_t> find(std::int64_t table_id, const std::string& name) {
    const auto found = run(QueryService::query_columns_first(
        &session(), SourceColumn::record_class(),
        {SourceColumn::source_table_id == table_id, SourceColumn::name == name}));
    return found ? std::optional(found->id()) : std::nullopt;
  }
};

TEST_P(CreatedParentLookup, FindsChildrenCreatedSinceAndNothingElse) {
  run(session().begin());
  const auto orders = table("orders");
  EXPECT_FALSE(find(orders, "id"));
  const auto id = column(orders, "id");
  EXPECT_EQ(find(orders, "id"), id);  // the same name again: found, not added twice
  EXPECT_FALSE(find(orders, "ID"));
  EXPECT_FALSE(find(orders, "id "));
  const auto items = table("items");
  EXPECT_FALSE(find(items, "id"));
  run(session().commit());
  EXPECT_EQ(find(orders, "id"), id);
}

TEST_P(CreatedParentLookup, FindsChildrenOfParentsLongPast) {
  // More new parents than a store keeps in mind at once.
  run(session().begin());
  const auto childless = table("first");
  std::vector<std::pair<std::int64_t, std::int64_t>> made;
  for (int i = 0; i < 5000; ++i) {
    const auto parent = table(fmt::format("t{}", i));
    EXPECT_FALSE(find(parent, "c"));  // looked up first, as a save does
    made.emplace_back(parent, column(parent, "c"));
  }
  EXPECT_EQ(find(made.front().first, "c"), made.front().second);
  EXPECT_EQ(find(made.back().first, "c"), made.back().second);
  EXPECT_FALSE(find(made.front().first, "d"));
  // A parent long past gets another child, and one made before all of them its first.
  const auto second = column(made.front().first, "d");
  EXPECT_EQ(find(made.front().first, "c"), made.front().second);
  EXPECT_EQ(find(made.front().first, "d"), second);
  const auto first = column(childless, "c");
  EXPECT_EQ(find(childless, "c"), first);
  EXPECT_FALSE(find(childless, "d"));
  run(session().commit());
}

TEST_P(CreatedParentLookup, FindsRecordsStoredBeforeThatReferToTheNewIdentifier) {
  // A column stored for table identifiers that do not exist yet (left behind,
  // say, by a table deleted in an earlier session).
  const auto first = table("first");
  const auto orphan = column(first + 2, "kept");
  run(session().begin());
  const auto second = table("second");
  const auto third = table("third");
  ASSERT_EQ(third, first + 2);
  EXPECT_FALSE(find(second, "kept"));
  EXPECT_EQ(find(third, "kept"), orphan);
  run(session().commit());
}

TEST_P(CreatedParentLookup, FindsRecordsMovedUnderTheParentOrLeftBehindByADelete) {
  const auto old_table = table("old");
  const auto moved = column(old_table, "moved");
  run(session().begin());
  const auto fresh = table("fresh");
  run(DataService::db_update(&session(), moved, SourceColumn::record_class(),
                             {{"source_table_id", fresh}}));
  EXPECT_EQ(find(fresh, "moved"), moved);
  run(session().commit());

  // The table with the largest identifier goes, its columns stay; the next
  // table may get its identifier back, and with it those columns.
  const auto last = table("last");
  const auto left = column(last, "left");
  run(session().begin());
  run(DataService::db_delete(&session(), last, SourceTable::record_class()));
  const auto again = table("again");
  if (again == last) {
    EXPECT_EQ(find(again, "left"), left);
  }
  EXPECT_FALSE(find(again, "other"));
  run(session().commit());
}

INSTANTIATE_TEST_SUITE_P(Stores, CreatedParentLookup, all_store_kinds(), store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
