#include "kelmarion_meta/tools/source_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelmarion_core/errors.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "support/store_fixture.h"

namespace kelmarion::testing {
namespace {

using core::DocumentTypeError;
using core::MissingKeyError;
using meta::Document;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

class SourceStoreFailure : public StoreTest {};

TEST_P(SourceStoreFailure, MissingTableNameStopsBeforeThatTableAndSkipsReferencingRecords) {
  auto document = sales_document();
  auto& orders = document->at("tables")[1];
  orders.erase("table_name");

  EXPECT_THAT([&] { save(document); },
              ThrowsMessage<MissingKeyError>("table #2: missing required key 'table_name'"));

  // The first table is stored with all its children; nothing after it.
  EXPECT_THAT(all_counts(*this), ElementsAre(1, 1, 0, 3, 1, 0, 1, 0));
  EXPECT_FALSE(orders.contains("sort_order"));
  EXPECT_TRUE(document->at("tables")[0].contains("source_table_id"));
}

TEST_P(SourceStoreFailure, MissingViewsFailsOnlyAfterEveryTableIsStored) {
  auto document = sales_document();
  document->erase("views");

  EXPECT_THAT([&] { save(document); },
              ThrowsMessage<MissingKeyError>("schema 'sales': missing required key 'views'"));
  EXPECT_THAT(all_counts(*this), ElementsAre(1, 3, 0, 10, 3, 2, 3, 2));
}

TEST_P(SourceStoreFailure, ColumnWithoutNameKeepsEarlierColumnsAndItsWrittenKeys) {
  auto document = sales_document();
  document->at("tables")[0].at("columns")[1].erase("name");

  EXPECT_THAT([&] { save(document); },
              ThrowsMessage<MissingKeyError>(
                  "table 'customers', column #2: missing required key 'name'"));
  EXPECT_EQ(count(meta::SourceColumn::record_class()), 1);
  // Looked up afterwards: the save added keys to the table entry, which moves its values.
  const auto& columns = document->at("tables")[0].at("columns");
  EXPECT_EQ(columns[1].at("sort_order"), 20);
  EXPECT_TRUE(columns[1].contains("source_table_id"));
  EXPECT_FALSE(columns[2].contains("sort_order"));
}

TEST_P(SourceStoreFailure, EntriesOfTheWrongKindAreTypeErrorsNamingTheKey) {
  struct Case {
    const char* label;
    std::function<void(Document&)> damage;
    const char* message;
  };
  const std::vector<Case> cases{
      {"columns object", [](Document& d) { d["tables"][1]["columns"] = Document::object(); },
       "key 'columns' of table 'orders': expected a list, got an object"},
      {"foreign keys null", [](Document& d) { d["tables"][1]["foreign_keys"] = nullptr; },
       "key 'foreign_keys' of table 'orders': expected a list, got null"},
      {"primary key list", [](Document& d) { d["tables"][1]["primary_key"] = {"id"}; },
       "key 'primary_key' of table 'orders': expected an object, got a list"},
      {"column a text", [](Document& d) { d["tables"][1]["columns"][0] = "id"; },
       "table 'orders', column #1: expected an object, got a text"},
      {"tables object", [](Document& d) { d["tables"] = Document::object(); },
       "key 'tables' of schema 'sales': expected a list, got an object"},
      {"table a list", [](Document& d) { d["tables"][1] = Document::array(); },
       "table #2: expected an object, got a list"},
  };
  for (const auto& c : cases) {
    auto document = sales_document();
    c.damage(*document);
    EXPECT_THAT([&] { save(document); }, ThrowsMessage<DocumentTypeError>(HasSubstr(c.message)))
        << c.label;
  }
}

TEST_P(SourceStoreFailure, IndexAndForeignKeyEntriesMissingTheirColumnLists) {
  auto document = sales_document();
  document->at("tables")[1].at("indexes")[0].erase("column_names");
  EXPECT_THAT([&] { save(document); },
              ThrowsMessage<MissingKeyError>(HasSubstr("'column_names'")));

  document = sales_document();
  document->at("tables")[1].at("foreign_keys")[0].erase("constrained_columns");
  EXPECT_THAT([&] { save(document); },
              ThrowsMessage<MissingKeyError>(
                  "table 'orders', foreign key 'orders_customer': missing required key "
                  "'constrained_columns'"));
}

TEST_P(SourceStoreFailure, ValueThatDoesNotFitItsFieldNamesTableAndField) {
  auto document = sales_document();
  document->at("tables")[0].at("columns")[1]["nullable"] = "yes";

  EXPECT_THAT([&] { save(document); },
              ThrowsMessage<DocumentTypeError>(
                  "source_column: field 'nullable' expects a boolean, got string \"yes\""));
  EXPECT_EQ(count(meta::SourceColumn::record_class()), 1);
}

TEST_P(SourceStoreFailure, NonObjectMetadataIsRejectedBeforeAnythingChanges) {
  meta::SourceStore store({.db = &session(), .engine_name = "sqlite:///a.db", .schema_name = "a"});
  auto list = std::make_shared<Document>(Document::array({1, 2}));

  EXPECT_THAT([&] { run(store.save_meta({.metadata = list, .schema_name = "b"})); },
              ThrowsMessage<DocumentTypeError>("metadata: expected an object, got a list"));
  EXPECT_EQ(store.schema_name(), "a");
  EXPECT_THAT(all_counts(*this), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0));
}

TEST_P(SourceStoreFailure, SaveWithoutSessionIsAConfigurationError) {
  meta::SourceStore store({.schema_name = "sales"});
  EXPECT_THAT([&] { run(store.save_meta({.metadata = sales_document()})); },
              ThrowsMessage<core::ConfigurationError>(HasSubstr("no database session")));
}

TEST_P(SourceStoreFailure, RollingBackTheHostsTransactionLeavesTheStoreAsItWas) {
  save(sales_document());
  const auto before = all_counts(*this);
  auto document = sales_document();
  document->at("tables")[2].at("columns")[3].erase("name");
  document->at("tables")[0].at("columns").push_back({{"name", "added"}});

  run(session().begin());
  EXPECT_THROW(save(document), MissingKeyError);
  run(session().rollback());

  EXPECT_EQ(all_counts(*this), before);
}

INSTANTIATE_TEST_SUITE_P(Stores, SourceStoreFailure,
                         all_store_kinds(), store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
