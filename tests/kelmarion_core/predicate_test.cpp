#include "kelmarion_core/predicate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelmarion_core/detail/sql_render.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/field.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"

namespace kelmarion::core {
namespace {

using meta::SourceColumn;
using meta::SourceIndex;
using meta::SourceTable;

static_assert(comparable<decltype(SourceTable::table_name), const char*>);
static_assert(comparable<decltype(SourceTable::table_name), nlohmann::ordered_json>);
static_assert(comparable<decltype(SourceTable::source_table_id), std::nullopt_t>);
static_assert(!comparable<decltype(SourceTable::table_name), int>);
static_assert(!comparable<decltype(SourceTable::source_table_id), std::string>);
static_assert(!comparable<decltype(SourceTable::source_table_id), bool>);
static_assert(!comparable<decltype(SourceIndex::column_names), bool>);
static_assert(comparable<decltype(SourceIndex::unique), bool>);
static_assert(!std::is_convertible_v<Predicate, bool>);

TEST(PredicateRendering, GoldenSqlPerDialect) {
  const Condition condition{SourceColumn::source_table_id == 7,
                            SourceColumn::source_view_id == std::nullopt,
                            SourceColumn::name == "id"};
  const auto& columns = SourceColumn::record_class();

  const auto sqlite = detail::render_where(columns, condition, detail::Dialect::sqlite);
  EXPECT_EQ(sqlite.sql, R"("source_table_id" = ?1 AND "source_view_id" IS NULL AND "name" = ?2)");
  ASSERT_EQ(sqlite.parameters.size(), 2);
  EXPECT_EQ(std::get<std::int64_t>(sqlite.parameters[0]), 7);
  EXPECT_EQ(std::get<std::string>(sqlite.parameters[1]), "id");

  const auto postgresql = detail::render_where(columns, condition, detail::Dialect::postgresql);
  EXPECT_EQ(postgresql.sql, R"("source_table_id" = $1 AND "source_view_id" IS NULL AND "name" = $2)");
}

TEST(PredicateRendering, ListValuesCompareAsWholeSerializedValues) {
  const std::vector<std::string> names{"b", "a"};
  const Condition condition{SourceIndex::column_names == names};
  const auto rendered =
      detail::render_where(SourceIndex::record_class(), condition, detail::Dialect::sqlite);
  EXPECT_EQ(rendered.sql, R"("column_names" = ?1)");
  EXPECT_EQ(std::get<std::string>(rendered.parameters[0]), R"(["b","a"])");
}

TEST(PredicateRendering, RefusesAbsentTermsAndFieldsOfOtherClasses) {
  const Condition with_absent{std::nullopt, SourceColumn::name == "id"};
  EXPECT_TRUE(with_absent.matches_nothing());
  EXPECT_FALSE(Condition{SourceColumn::name == "id"}.matches_nothing());
  EXPECT_THROW((void)detail::render_where(SourceColumn::record_class(), with_absent,
                                          detail::Dialect::sqlite),
               Error);
  EXPECT_THAT([] {
    (void)detail::render_where(SourceColumn::record_class(), Condition{SourceTable::table_name == "t"},
                               detail::Dialect::sqlite);
  }, ::testing::ThrowsMessage<Error>(::testing::HasSubstr("source_table.table_name")));
}

TEST(PredicateRendering, IdentifiersAreQuotedWithDoubledQuotes) {
  EXPECT_EQ(detail::quote_identifier("default"), R"("default")");
  EXPECT_EQ(detail::quote_identifier(R"(a"; DROP TABLE x; --)"), R"("a""; DROP TABLE x; --")");
}

}  // namespace
}  // namespace kelmarion::core
