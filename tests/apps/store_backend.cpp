#include "apps/store_backend.h"

#include "support/test_support.h"

namespace kelmarion::testing {

std::string store_backend_name(const ::testing::TestParamInfo<StoreBackend>& info) {
  return info.param == StoreBackend::sqlite ? "SQLite" : "PostgreSQL";
}

std::string with_search_path(const std::string& url, const std::string& schema) {
  return url + (url.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" +
         schema;
}

void StoreBackendTest::SetUp() {
  if (GetParam() == StoreBackend::sqlite) {
    _store_url = store();
    return;
  }
  const auto url = postgresql_test_url();
  if (!url) GTEST_SKIP() << "KELMARION_TEST_PG_URL is not set (scripts/with_postgres.sh sets it)";
  _postgresql_schema = unique_name("cli_store");
  postgresql_execute(*url, "CREATE SCHEMA " + _postgresql_schema);
  _store_url = with_search_path(*url, _postgresql_schema);
}

void StoreBackendTest::TearDown() {
  if (!_postgresql_schema.empty()) {
    postgresql_execute(*postgresql_test_url(), "DROP SCHEMA " + _postgresql_schema + " CASCADE");
  }
}

}  // namespace kelmarion::testing
