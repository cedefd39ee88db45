#include "support/store_fixture.h"

#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/generate/entity_table/source_view.h"

namespace kelmarion::testing {

std::string store_kind_name(const ::testing::TestParamInfo<StoreKind>& info) {
  switch (info.param) {
    case StoreKind::sqlite_memory:
      return "SqliteMemory";
    case StoreKind::sqlite_file:
      return "SqliteFile";
    case StoreKind::postgresql:
      return "PostgreSQL";
    case StoreKind::postgresql_in_transaction:
      return "PostgreSQLInTransaction";
  }
  return "Unknown";
}

void StoreTest::SetUp() {
  switch (GetParam()) {
    case StoreKind::sqlite_memory:
      _location = ":memory:";
      break;
    case StoreKind::sqlite_file:
      _location = "sqlite:///" + (_directory.path() / "store.db").string();
      break;
    case StoreKind::postgresql:
    case StoreKind::postgresql_in_transaction: {
      const auto url = postgresql_test_url();
      if (!url) GTEST_SKIP() << "set KELMARION_TEST_PG_URL to run the store tests on PostgreSQL";
      _postgresql_schema = unique_name("store_test");
      postgresql_execute(*url, "CREATE SCHEMA " + _postgresql_schema);
      _location = *url + (url->find('?') == std::string::npos ? "?" : "&") +
                  "options=-csearch_path%3D" + _postgresql_schema;
      break;
    }
  }
  _session = std::make_unique<core::AsyncSession>(_location);
}

void StoreTest::TearDown() {
  _session.reset();
  if (!_postgresql_schema.empty()) {
    postgresql_execute(*postgresql_test_url(), "DROP SCHEMA " + _postgresql_schema + " CASCADE");
  }
}

std::vector<core::Record> StoreTest::records(const core::RecordClass& record_class) {
  return run(core::QueryService::query_all(_session.get(), record_class));
}

std::shared_ptr<meta::Document> StoreTest::save(const std::shared_ptr<meta::Document>& document,
                                                const std::string& schema_name) {
  meta::SourceStore store({.db = _session.get(), .engine_name = "sqlite:///sales.db",
                           .schema_name = schema_name});
  if (GetParam() != StoreKind::postgresql_in_transaction || _session->in_transaction()) {
    return run(store.save_meta({.metadata = document}));
  }
  run(_session->begin());
  std::shared_ptr<meta::Document> saved;
  try {
    saved = run(store.save_meta({.metadata = document}));
  } catch (...) {
    run(_session->commit());
    throw;
  }
  run(_session->commit());
  return saved;
}

std::vector<std::size_t> all_counts(StoreTest& test) {
  using namespace meta;
  return {test.count(SourceSchema::record_class()),     test.count(SourceTable::record_class()),
          test.count(SourceView::record_class()),       test.count(SourceColumn::record_class()),
          test.count(SourcePrimaryKey::record_class()), test.count(SourceForeignKey::record_class()),
          test.count(SourceIndex::record_class()),
          test.count(SourceReferencingForeignKey::record_class())};
}

std::shared_ptr<meta::Document> sales_document() {
  auto column = [](const char* name, const char* type, bool nullable = false) {
    return meta::Document{{"name", name},       {"type", type},          {"nullable", nullable},
                          {"default", nullptr}, {"autoincrement", false}, {"comment", nullptr}};
  };
  auto fk = [](const char* name, std::vector<std::string> columns, const char* table,
               std::vector<std::string> referred) {
    return meta::Document{{"name", name},
                          {"constrained_columns", std::move(columns)},
                          {"referred_schema", "sales"},
                          {"referred_table", table},
                          {"referred_columns", std::move(referred)},
                          {"options", {{"ondelete", "CASCADE"}}}};
  };
  meta::Document customers{
      {"table_name", "customers"},
      {"comment", "people who buy"},
      {"columns", {column("id", "INTEGER"), column("name", "TEXT"), column("email", "TEXT", true)}},
      {"primary_key", {{"name", nullptr}, {"constrained_columns", {"id"}}}},
      {"foreign_keys", meta::Document::array()},
      {"indexes",
       {{{"name", "customers_email"}, {"column_names", {"email"}}, {"unique", true}}}}};
  meta::Document orders{
      {"table_name", "orders"},
      {"comment", nullptr},
      {"columns",
       {column("id", "INTEGER"), column("customer_id", "INTEGER"), column("placed_at", "TEXT")}},
      {"primary_key", {{"name", "orders_pk"}, {"constrained_columns", {"id"}}}},
      {"foreign_keys", {fk("orders_customer", {"customer_id"}, "customers", {"id"})}},
      {"indexes",
       {{{"name", "orders_customer"}, {"column_names", {"customer_id"}}, {"unique", false}}}}};
  meta::Document items{
      {"table_name", "order_items"},
      {"comment", nullptr},
      {"columns",
       {column("order_id", "INTEGER"), column("line", "INTEGER"), column("sort_order", "INTEGER"),
        column("product", "TEXT")}},
      {"primary_key", {{"name", nullptr}, {"constrained_columns", {"order_id", "line"}}}},
      {"foreign_keys", {fk("items_order", {"order_id", "line"}, "orders", {"id", "line"})}},
      {"indexes",
       {{{"name", "items_order_line"}, {"column_names", {"order_id", "line"}}, {"unique", true}}}}};
  meta::Document view{{"view_name", "recent_orders"},
                      {"definition", "SELECT id, placed_at FROM orders"},
                      {"comment", nullptr},
                      {"columns", {column("id", "INTEGER"), column("placed_at", "TEXT")}}};
  return std::make_shared<meta::Document>(meta::Document{
      {"schema_name", "sales"},
      {"tables", {customers, orders, items}},
      {"views", {view}},
      {"comment", nullptr}});
}

}  // namespace kelmarion::testing
