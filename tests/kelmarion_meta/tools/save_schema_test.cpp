#include "kelmarion_meta/tools/save_schema.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "bench/generated_document.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "support/store_fixture.h"
#include "support/write_counter.h"

namespace kelmarion::testing {
namespace {

using meta::Document;
using meta::SourceColumn;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

std::string change_text(std::int64_t id, std::string_view field, const Document& before,
                        const Document& after) {
  return fmt::format("{} {}: {} -> {}", id, field, before.dump(), after.dump());
}

// A re-save writes the rows whose values changed and no other, and its change
// set names exactly those records, field by field, and every other as unchanged.
class SaveSchemaResave : public StoreTest {
 protected:
  // 100 tables, whose foreign keys' options have their keys in an order
  // PostgreSQL does not keep.
  static Document bench_document() {
    auto document = bench::generated_document(100);
    for (auto& table : document.at("tables")) {
      for (auto& key : table.at("foreign_keys")) {
        key["options"] = {{"onupdate", "CASCADE"}, {"ondelete", "SET NULL"}};
      }
    }
    return document;
  }

  meta::SaveResult save_bench(Document document) {
    auto shared = std::make_shared<Document>(std::move(document));
    return run(meta::save_schema(session(), "sqlite:///bench.db", "bench", std::move(shared)));
  }
};

TEST_P(SaveSchemaResave, UnchangedSchemaWritesOnlyItsHistoryRow) {
  (void)save_bench(bench_document());
  count_writes(location());

  const auto again = save_bench(bench_document());

  EXPECT_THAT(counted_writes(location()), ElementsAre("kelmarion_save_history INSERT 1"));
  EXPECT_TRUE(again.changes.writes_nothing());
}

TEST_P(SaveSchemaResave, ChangedColumnsAreTheOnlyRowsWrittenAndReported) {
  auto document = bench_document();
  const auto first = save_bench(document);
  // A column of every seventh table, 15 of some 1500: a new type, or a comment
  // where there was none.
  std::vector<std::string> expected;
  std::set<std::int64_t> changed_ids;
  auto& tables = document.at("tables");
  for (std::size_t t = 0; t < tables.size(); t += 7) {
    auto& column = tables[t].at("columns").at(t % 15);
    const auto& saved_table = first.document->at("tables")[t];
    core::Condition condition{SourceColumn::source_table_id == saved_table.at("source_table_id"),
                              SourceColumn::name == column.at("name")};
    const auto stored = run(core::QueryService::query_columns_first(
        &session(), SourceColumn::record_class(), std::move(condition)));
    ASSERT_TRUE(stored);
    const auto id = stored->id();
    const std::string field = t % 2 == 0 ? "type" : "comment";
    const Document after = fmt::format("changed in table {}", t);
    expected.push_back(change_text(id, field, column.at(field), after));
    changed_ids.insert(id);
    column[field] = after;
  }
  count_writes(location());

  const auto second = save_bench(document);

  EXPECT_THAT(counted_writes(location()),
              ElementsAre("kelmarion_save_history INSERT 1",
                          fmt::format("source_column UPDATE {}", expected.size())));
  EXPECT_EQ(second.changes.classes().size(), first.changes.classes().size());
  for (const auto& [table, created] : first.changes.classes()) {
    std::vector<std::int64_t> unchanged;
    std::copy_if(
        created.created.begin(), created.created.end(), std::back_inserter(unchanged),
        [&](std::int64_t id) { return table != SourceColumn::table || !changed_ids.contains(id); });
    const auto* again = second.changes.find(table);
    ASSERT_NE(again, nullptr) << table;
    EXPECT_THAT(again->unchanged, UnorderedElementsAreArray(unchanged)) << table;
    EXPECT_THAT(again->stale, IsEmpty()) << table;
  }
  std::vector<std::string> reported;
  for (const auto& change : second.changes.find(SourceColumn::table)->changed) {
    for (const auto& field : change.fields) {
      reported.push_back(change_text(change.id, field.field, field.before, field.after));
    }
  }
  EXPECT_THAT(reported, UnorderedElementsAreArray(expected));
}

INSTANTIATE_TEST_SUITE_P(Stores, SaveSchemaResave,
                         ::testing::Values(StoreKind::sqlite_file, StoreKind::postgresql),
                         store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
