#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/tools/source_store.h"
#include "support/store_fixture.h"

namespace kelmarion::testing {
namespace {

using meta::Document;
using ::testing::ElementsAre;
using ::testing::Pair;

Document fk_to(const char* column, const char* referred_table, Document referred_schema = nullptr) {
  return {{"name", std::string("fk_") + column},
          {"constrained_columns", {column}},
          {"referred_schema", std::move(referred_schema)},
          {"referred_table", referred_table},
          {"referred_columns", {"id"}},
          {"options", {{"onupdate", "CASCADE"}}}};
}

Document table(const char* name, Document foreign_keys, std::vector<const char*> extra_columns = {}) {
  auto columns = Document::array({{{"name", "id"}}});
  for (const auto* column : extra_columns) columns.push_back({{"name", column}});
  for (const auto& fk : foreign_keys) columns.push_back({{"name", fk.at("constrained_columns")[0]}});
  return {{"table_name", name},
          {"columns", std::move(columns)},
          {"foreign_keys", std::move(foreign_keys)},
          {"indexes", Document::array()}};
}

// (constrained table, referred table) -> sort order, for every referencing record.
std::vector<std::pair<std::string, std::int64_t>> referencing(StoreTest& test) {
  std::vector<std::pair<std::string, std::int64_t>> result;
  for (const auto& record : test.records(meta::SourceReferencingForeignKey::record_class())) {
    result.emplace_back(record["constrained_table"].get<std::string>() + "->" +
                            record["referred_table"].get<std::string>(),
                        record["sort_order"].get<std::int64_t>());
  }
  return result;
}

class SourceStoreReferencing : public StoreTest {};

TEST_P(SourceStoreReferencing, NumbersRecordsAcrossTablesAndSkipsUnstoredTargets) {
  auto document = std::make_shared<Document>(Document{
      {"schema_name", "sales"},
      {"tables",
       {table("a", {fk_to("b_id", "b"), fk_to("c_id", "c")}),
        table("b", {fk_to("v_id", "a_view"), fk_to("x_id", "missing")}),
        table("c", {fk_to("parent_id", "c")})}},
      {"views", {{{"view_name", "a_view"}, {"columns", Document::array()}}}}});

  save(document);
  save(document);

  EXPECT_THAT(referencing(*this),
              ElementsAre(Pair("a->b", 10), Pair("a->c", 20), Pair("c->c", 30)));
}

TEST_P(SourceStoreReferencing, RecordJoinsBothEndsOfTheStoredForeignKey) {
  auto document = std::make_shared<Document>(
      Document{{"schema_name", "sales"},
               {"tables", {table("parent", Document::array()),
                           table("child", {fk_to("parent_id", "parent", "sales")}, {"sort_order"})}},
               {"views", Document::array()}});
  save(document);

  const auto fk = records(meta::SourceForeignKey::record_class()).at(0);
  const auto child = records(meta::SourceTable::record_class()).at(1);
  const auto record = records(meta::SourceReferencingForeignKey::record_class()).at(0).model_dump();
  Document expected{{"source_referencing_foreign_key_id", record.at("source_referencing_foreign_key_id")},
                    {"sort_order", 10},
                    {"source_schema_id", records(meta::SourceSchema::record_class())[0].id()},
                    {"source_table_id", child.id()},
                    {"name", "fk_parent_id"},
                    {"unique", false},
                    {"constrained_schema", "sales"},
                    {"constrained_table", "child"},
                    {"constrained_columns", {"parent_id"}},
                    {"referred_schema", "sales"},
                    {"referred_table", "parent"},
                    {"referred_columns", {"id"}},
                    {"referred_orderby", true},  // the child's own "sort_order" column
                    {"options", {{"onupdate", "CASCADE"}}},
                    {"source_foreign_key_id", fk.id()}};
  EXPECT_EQ(record, expected);
}

TEST_P(SourceStoreReferencing, ForeignKeyIntoAnotherSchemaIsNotTakenForThisSchemasTable) {
  auto document = std::make_shared<Document>(Document{
      {"schema_name", "sales"},
      {"tables", {table("accounts", Document::array()),
                  table("orders", {fk_to("mine", "accounts", "sales"),
                                   fk_to("theirs", "accounts", "billing"),
                                   fk_to("unqualified", "accounts")})}},
      {"views", Document::array()}});

  save(document);

  std::vector<std::string> recorded;
  for (const auto& record : records(meta::SourceReferencingForeignKey::record_class())) {
    recorded.push_back(record["name"]);
  }
  EXPECT_THAT(recorded, ElementsAre("fk_mine", "fk_unqualified"));
  EXPECT_EQ(count(meta::SourceForeignKey::record_class()), 3);
}

INSTANTIATE_TEST_SUITE_P(Stores, SourceStoreReferencing,
                         all_store_kinds(), store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
