#include "apps/tool_test.h"

#include <sqlite3.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace kelmarion::testing {

void PrintTo(const RecordCounts& counts, std::ostream* output) {
  *output << "{created " << counts.created << ", changed " << counts.changed << ", unchanged "
          << counts.unchanged << ", stale " << counts.stale << "}";
}

RecordCounts summary_row(const std::string& out, const std::string& label) {
  // Not std::regex: g++ 12 warns inside <regex> under the sanitizer build.
  std::istringstream lines(out);
  const std::string prefix = "  " + label + " ";
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(prefix)) continue;
    std::istringstream numbers(line.substr(prefix.size()));
    RecordCounts counts;
    if (numbers >> counts.created >> counts.changed >> counts.unchanged >> counts.stale) {
      return counts;
    }
  }
  return {};
}

ToolRun ToolTest::tool(std::vector<std::string> arguments) {
  return tool(ToolCall{.arguments = std::move(arguments)});
}

ToolRun ToolTest::tool(ToolCall call) {
  if (call.directory.empty()) call.directory = _directory.path();
  return run_tool(call);
}

void ToolTest::execute(const std::filesystem::path& database, const std::string& sql) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open(database.c_str(), &raw);
  const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  char* message = nullptr;
  if (opened != SQLITE_OK ||
      sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message != nullptr ? message : sqlite3_errmsg(db.get());
    sqlite3_free(message);
    throw std::runtime_error("SQLite database '" + database.string() + "': " + text);
  }
}

std::filesystem::path ToolTest::create_database(const std::string& name, const std::string& sql) {
  auto path = _directory.path() / name;
  execute(path, sql);
  return path;
}

std::filesystem::path ToolTest::create_shop() {
  std::ifstream input(KELMARION_SHOP_SQL);
  std::ostringstream sql;
  sql << input.rdbuf();
  if (sql.str().empty()) throw std::runtime_error("cannot read examples/shop.sql");
  return create_database("shop.db", sql.str());
}

std::string ToolTest::engine_url(const std::filesystem::path& database) {
  return "sqlite:///" + std::filesystem::absolute(database).string();
}

ToolRun ToolTest::save_shop(const std::filesystem::path& engine, std::vector<std::string> extra) {
  std::vector<std::string> arguments{"save",    "--engine", engine_url(engine), "--schema", "main",
                                     "--store", store()};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  auto run = tool(std::move(arguments));
  EXPECT_EQ(run.status, 0) << run.err;
  return run;
}

nlohmann::ordered_json ToolTest::show_main() {
  const auto run = tool({"show", "--store", store(), "--format", "json", "--schema", "main"});
  EXPECT_EQ(run.status, 0) << run.err;
  return nlohmann::ordered_json::parse(run.out);
}

}  // namespace kelmarion::testing
