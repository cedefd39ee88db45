// The record a write returns holds the values as stored: a later read gives the
// same values, whatever their kind and whether the write ran inside a
// transaction (where it is queued). JSON comes back as given, so values are
// compared as values: a PostgreSQL store keeps an object's keys in its own order.

#include <gtest/gtest.h>

#include "kelmarion_core/data_service.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "support/store_fixture.h"

namespace kelmarion::testing {
namespace {

using core::DataService;
using core::QueryService;
using meta::SourceForeignKey;
using Json = nlohmann::ordered_json;

class WrittenRecord : public StoreTest {};

// The record's fields as JSON whose objects compare whatever their key order.
nlohmann::json values_of(const core::Record& record) {
  return nlohmann::json::parse(record.model_dump().dump());
}

TEST_P(WrittenRecord, WritesReturnWhatAReadGivesBack) {
  const auto& foreign_keys = SourceForeignKey::record_class();
  // Values of every kind, and values each kind must convert.
  const std::vector<Json> data = {
      {{"source_table_id", 1},
       {"name", "plain"},
       {"constrained_columns", {"a", "b"}},
       {"options", {{"zz", 1}, {"a", {{"yy", 2.5}, {"b", nullptr}}}, {"m", "日本語 🎉"}}},
       {"unique", true},
       {"sort_order", 10}},
      {{"source_table_id", 2},
       {"name", 42},  // a number for a text field
       {"constrained_columns", {1e300, -0.0, 1e18, 18446744073709551615ULL}},
       {"options", "just text"},
       {"unique", 7},  // an integer for a boolean field
       {"constrained_orderby", false},
       {"sort_order", true}},  // a boolean for an integer field
      {{"source_table_id", 3},
       {"name", Json::object({{"x", 1}})},  // an object for a text field
       {"constrained_columns", Json::array()},
       {"options", {{"", {{"", Json::object()}}}}},
       {"referred_table", "back\\slash \"quoted\" 'single'"}},
  };
  for (const bool in_transaction : {false, true}) {
    SCOPED_TRACE(in_transaction ? "in a transaction" : "at once");
    if (in_transaction) run(session().begin());
    std::vector<core::Record> written;
    for (auto entry : data) {
      entry["source_table_id"] = entry["source_table_id"].get<int>() + (in_transaction ? 10 : 0);
      auto record = DataService::db_insert(&session(), foreign_keys, entry);
      // Found again, then updated with a part of its fields.
      auto found = run(QueryService::query_columns_first(
          &session(), foreign_keys, SourceForeignKey::source_table_id == entry["source_table_id"]));
      ASSERT_TRUE(found);
      EXPECT_EQ(values_of(*found), values_of(record));
      const Json change = {{"referred_schema", "other"}, {"options", {{"b", 1}, {"a", 2}}}};
      written.push_back(run(DataService::db_update(&session(), record.id(), foreign_keys, change)));
    }
    if (in_transaction) run(session().commit());
    for (const auto& record : written) {
      const auto stored = run(QueryService::query_columns_first(
          &session(), foreign_keys,
          SourceForeignKey::source_table_id == record["source_table_id"]));
      ASSERT_TRUE(stored);
      EXPECT_EQ(values_of(*stored), values_of(record));
    }
  }
}

TEST_P(WrittenRecord, EntriesWhoseKeysMoveAboutKeepEachValueInItsField) {
  const auto& columns = meta::SourceColumn::record_class();
  // One list's entries usually share their keys' order; these do not: keys swap
  // places, non-field keys take a field's place, and entries grow and shrink.
  const std::vector<Json> data = {
      {{"name", "a"}, {"type", "INT"}, {"source_table_id", 1}, {"sort_order", 1}},
      {{"type", "TEXT"}, {"name", "b"}, {"source_table_id", 1}, {"sort_order", 2}},
      {{"extra", "x"}, {"name", "c"}, {"comment", "kept"}, {"source_table_id", 1}},
      {{"name", "d"},
       {"extra", "type"},
       {"type", "REAL"},
       {"source_table_id", 1},
       {"sort_order", 4},
       {"nullable", true},
       {"default", "0"}},
      {{"name", "e"}, {"source_table_id", 1}},
  };
  for (const auto& entry : data) (void)DataService::db_insert(&session(), columns, entry);
  for (const auto& entry : data) {
    SCOPED_TRACE(entry.dump());
    const auto stored = run(QueryService::query_columns_first(
        &session(), columns, meta::SourceColumn::name == entry.at("name")));
    ASSERT_TRUE(stored);
    for (const auto& field : columns.fields().subspan(1)) {
      const std::string name(field.name);
      EXPECT_EQ((*stored)[name], entry.contains(name) ? entry.at(name) : Json()) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, WrittenRecord, all_store_kinds(), store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
