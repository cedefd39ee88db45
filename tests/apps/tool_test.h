#pragma once

// The fixture of the tool's end-to-end tests: a fresh temporary directory that
// is the tool's working directory, the example shop database as the engine, and
// a store file beside it.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "apps/tool_runner.h"
#include "support/test_support.h"

namespace kelmarion::testing {

// One row of a save summary: created, changed, unchanged, stale.
struct RecordCounts {
  int created = -1;
  int changed = -1;
  int unchanged = -1;
  int stale = -1;
  friend bool operator==(const RecordCounts&, const RecordCounts&) = default;
};

void PrintTo(const RecordCounts& counts, std::ostream* output);

// The row `label` ("total", "columns", ...) of the summary `out`; all -1 when absent.
[[nodiscard]] RecordCounts summary_row(const std::string& out, const std::string& label);

class ToolTest : public ::testing::Test {
 protected:
  // Runs the tool with `arguments` in the test's directory.
  ToolRun tool(std::vector<std::string> arguments);
  ToolRun tool(ToolCall call);

  // A new SQLite database `name` in the test's directory made by running `sql`.
  std::filesystem::path create_database(const std::string& name, const std::string& sql);
  // The example schema (examples/shop.sql) as a new engine database.
  std::filesystem::path create_shop();
  // Runs `sql` on an existing SQLite database.
  static void execute(const std::filesystem::path& database, const std::string& sql);

  // "sqlite:///" + the absolute path.
  static std::string engine_url(const std::filesystem::path& database);
  // The store file the tests pass with --store.
  [[nodiscard]] std::string store() const { return (_directory.path() / "store.db").string(); }
  [[nodiscard]] const std::filesystem::path& directory() const { return _directory.path(); }

  // Saves schema "main" of `engine` into store(); expects success.
  ToolRun save_shop(const std::filesystem::path& engine, std::vector<std::string> extra = {});
  // `show --format json --schema main` of store(), parsed; expects success.
  nlohmann::ordered_json show_main();

 private:
  TempDir _directory;
};

}  // namespace kelmarion::testing
