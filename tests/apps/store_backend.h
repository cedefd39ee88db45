#pragma once

// The fixture of tool tests that run once per store backend: a SQLite store file
// in the test's directory, and a PostgreSQL store in a schema of its own on the
// test server when the test command started one (skipped otherwise).

#include <gtest/gtest.h>

#include <string>

#include "apps/tool_test.h"

namespace kelmarion::testing {

enum class StoreBackend { sqlite, postgresql };

// Both backends, for INSTANTIATE_TEST_SUITE_P.
inline auto all_store_backends() {
  return ::testing::Values(StoreBackend::sqlite, StoreBackend::postgresql);
}

std::string store_backend_name(const ::testing::TestParamInfo<StoreBackend>& info);

// A libpq URL for `url` whose connections use `schema` as their search_path.
[[nodiscard]] std::string with_search_path(const std::string& url, const std::string& schema);

class StoreBackendTest : public ToolTest, public ::testing::WithParamInterface<StoreBackend> {
 protected:
  void SetUp() override;
  void TearDown() override;

  // What --store gets: the SQLite file's path, or the PostgreSQL URL.
  [[nodiscard]] const std::string& store_url() const { return _store_url; }

 private:
  std::string _store_url;
  std::string _postgresql_schema;
};

}  // namespace kelmarion::testing
