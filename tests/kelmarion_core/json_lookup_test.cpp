// A lookup by a JSON field compares values, not their spelling: a store may
// keep an object's keys in its own order, and 1.0 is the number 1. Values that
// differ (another element order, a text for a number) are not found.

#include <gtest/gtest.h>

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

struct Spelling {
  Json stored;
  Json looked_up;
  bool found;
};

class JsonLookup : public StoreTest {
 protected:
  std::optional<core::Record> find(const Json& columns) {
    return run(QueryService::query_columns_first(&session(), SourceIndex::record_class(),
                                                 SourceIndex::source_table_id == 1,
                                                 SourceIndex::column_names == columns));
  }
};

TEST_P(JsonLookup, FindsTheValueHoweverItIsSpelled) {
  const std::vector<Spelling> cases = {
      {Json::parse(R"({"a": 1, "b": [1, 2]})"), Json::parse(R"({"b": [1, 2], "a": 1})"), true},
      {Json::parse(R"({"n": {"y": 2, "x": 1}})"), Json::parse(R"({"n": {"x": 1, "y": 2}})"), true},
      {Json::parse("[1, \"x\"]"), Json::parse("[1.0, \"x\"]"), true},
      {Json::parse("{\"k\": 3.0}"), Json::parse("{\"k\": 3}"), true},
      {Json::parse("[1, 2]"), Json::parse("[2, 1]"), false},
      {Json::parse("[1]"), Json::parse("[\"1\"]"), false},
      {Json::parse(R"({"a": 1})"), Json::parse(R"({"a": 1, "b": null})"), false},
  };
  for (const auto& spelling : cases) {
    SCOPED_TRACE(spelling.stored.dump() + " looked up as " + spelling.looked_up.dump());
    run(session().begin());
    const auto id = DataService::db_insert(&session(), SourceIndex::record_class(),
                                           Json{{"source_table_id", 1},
                                                {"name", "ix"},
                                                {"column_names", spelling.stored},
                                                {"unique", false}})
                        .id();
    // Created in this transaction, then read back from the store.
    const auto created = find(spelling.looked_up);
    run(session().commit());
    run(session().begin());
    const auto stored = find(spelling.looked_up);
    EXPECT_EQ(created.has_value(), spelling.found);
    EXPECT_EQ(stored.has_value(), spelling.found);
    if (stored) {
      EXPECT_EQ(stored->id(), id);
    }
    run(DataService::db_delete(&session(), id, SourceIndex::record_class()));
    run(session().commit());
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, JsonLookup, all_store_kinds(), store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
