// A record is the row as it was when the store handed it out: inside a
// transaction, where backends may read a found or updated row only when the
// record is first read, later writes, a rollback, or the end of the session do
// not show through a record held from before them.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <thread>

#include "kelmarion_core/data_service.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "support/store_fixture.h"

namespace kelmarion::testing {
namespace {

using core::DataService;
using core::QueryService;
using meta::SourceIndex;
using Json = nlohmann::ordered_json;

class FoundRecord : public StoreTest {
 protected:
  const core::RecordClass& indexes = SourceIndex::record_class();

  core::Record insert(const std::string& name, const Json& columns) {
    return DataService::db_insert(
        &session(), indexes,
        Json{{"source_table_id", 1}, {"name", name}, {"column_names", columns}, {"unique", false}});
  }
  std::optional<core::Record> find(const std::string& name) {
    return run(QueryService::query_columns_first(&session(), indexes, SourceIndex::name == name));
  }
  core::Record update(std::int64_t id, const Json& data) {
    return run(DataService::db_update(&session(), id, indexes, data));
  }
};

TEST_P(FoundRecord, KeepsTheRowAsFoundThroughLaterWritesRollbackAndClose) {
  run(session().begin());
  const auto id = insert("ix_a", {"a"}).id();
  (void)insert("ix_b", {"b"});

  auto found = find("ix_a");
  ASSERT_TRUE(found);
  const auto updated = update(id, {{"name", "ix_a2"}, {"column_names", {"a", "z"}}});
  auto found_again = find("ix_a2");
  ASSERT_TRUE(found_again);
  // Another record found, then deleted, and one found then the transaction undone.
  auto doomed = find("ix_b");
  ASSERT_TRUE(doomed);
  run(DataService::db_delete(&session(), doomed->id(), indexes));
  const auto second = update(id, {{"unique", true}});
  run(session().rollback());

  EXPECT_EQ((*found)["name"], "ix_a");
  EXPECT_EQ((*found)["column_names"], Json::array({"a"}));
  EXPECT_EQ(updated["name"], "ix_a2");
  EXPECT_EQ(updated["column_names"], Json::array({"a", "z"}));
  EXPECT_EQ(updated["unique"], false);
  EXPECT_EQ((*found_again)["column_names"], Json::array({"a", "z"}));
  EXPECT_EQ((*doomed)["name"], "ix_b");
  EXPECT_EQ(second["unique"], true);
  EXPECT_EQ(second["name"], "ix_a2");
  EXPECT_FALSE(find("ix_a2"));  // rolled back

  // Found in a transaction, first read after the session is gone.
  run(session().begin());
  const auto kept_id = insert("ix_c", {"c"}).id();
  auto kept = find("ix_c");
  (void)update(kept_id, {{"name", "ix_c2"}});
  run(session().commit());
  auto late = find("ix_c2");
  _session.reset();
  ASSERT_TRUE(kept && late);
  EXPECT_EQ((*kept)["name"], "ix_c");
  EXPECT_EQ((*late)["name"], "ix_c2");
  EXPECT_EQ(kept->model_dump()["column_names"], Json::array({"c"}));
}

TEST_P(FoundRecord, ReadOnAnotherThreadWhileTheSessionWrites) {
  run(session().begin());
  for (int i = 0; i < 50; ++i) (void)insert(fmt::format("ix_{}", i), {fmt::format("c{}", i)});
  std::vector<core::Record> found;
  for (int i = 0; i < 50; ++i) found.push_back(*find(fmt::format("ix_{}", i)));
  std::thread reader([&found] {
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i]["column_names"], Json::array({fmt::format("c{}", i)}));
    }
  });
  for (int i = 0; i < 50; ++i)
    (void)update(found[static_cast<std::size_t>(i)].id(), {{"name", "x"}});
  reader.join();
  run(session().commit());
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i]["name"], fmt::format("ix_{}", i));
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, FoundRecord, all_store_kinds(), store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
