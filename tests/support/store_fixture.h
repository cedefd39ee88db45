#pragma once

// A store test runs once per store backend: SQLite in memory, SQLite in a file,
// and PostgreSQL when the test command started one.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kelmarion_core/record.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/source_store.h"
#include "support/test_support.h"

namespace kelmarion::testing {

// `postgresql_in_transaction` is a PostgreSQL store whose saves (through save()
// below) each run in a transaction, where the store queues its writes: the
// suite shows a caller sees the same as when every write runs at once.
enum class StoreKind { sqlite_memory, sqlite_file, postgresql, postgresql_in_transaction };

// Every backend, for INSTANTIATE_TEST_SUITE_P.
inline auto all_store_kinds() {
  return ::testing::Values(StoreKind::sqlite_memory, StoreKind::sqlite_file, StoreKind::postgresql,
                           StoreKind::postgresql_in_transaction);
}

std::string store_kind_name(const ::testing::TestParamInfo<StoreKind>& info);

class StoreTest : public ::testing::TestWithParam<StoreKind> {
 public:
  void SetUp() override;
  void TearDown() override;

  // The store's location: for PostgreSQL, a URL whose search_path is this
  // test's own schema, so that every test starts from an empty store.
  [[nodiscard]] const std::string& location() const { return _location; }

  core::AsyncSession& session() { return *_session; }

  // Every stored record of a class, by identifier.
  std::vector<core::Record> records(const core::RecordClass& record_class);
  std::size_t count(const core::RecordClass& record_class) { return records(record_class).size(); }

  // Saves `document` (shared, so the test sees what the save wrote) as schema
  // `schema_name` through a new store over this session. In a transaction, it
  // commits even after a failure, keeping what was written before it.
  std::shared_ptr<meta::Document> save(const std::shared_ptr<meta::Document>& document,
                                       const std::string& schema_name = "sales");

  TempDir _directory;
  std::string _location;
  std::string _postgresql_schema;
  std::unique_ptr<core::AsyncSession> _session;
};

// The counts of every record class, in a fixed order, for before/after checks.
std::vector<std::size_t> all_counts(StoreTest& test);

// A small schema "sales": customers, orders -> customers, order_items -> orders
// (composite primary key, a "sort_order" column, a unique index on its foreign
// key columns), and a view over orders.
std::shared_ptr<meta::Document> sales_document();

}  // namespace kelmarion::testing
