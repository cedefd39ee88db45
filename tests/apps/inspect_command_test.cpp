#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "apps/tool_test.h"

namespace kelmarion::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using json = nlohmann::ordered_json;

std::vector<std::string> names_in(const json& list, const char* key) {
  std::vector<std::string> names;
  for (const auto& entry : list) names.push_back(entry.at(key).get<std::string>());
  return names;
}

const json& entry_named(const json& list, const char* key, const std::string& name) {
  for (const auto& entry : list) {
    if (entry.at(key) == name) return entry;
  }
  throw std::runtime_error("no entry named '" + name + "'");
}

using InspectCommand = ToolTest;

TEST_F(InspectCommand, PrintsTheSchemaDocumentOfTheEngine) {
  const auto engine = create_shop();
  const auto run = tool({"inspect", "--engine", engine_url(engine), "--schema", "main"});

  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, IsEmpty());
  // Not a terminal: one compact line.
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1);
  const auto document = json::parse(run.out);
  EXPECT_EQ(document.at("schema_name"), "main");
  EXPECT_THAT(
      names_in(document.at("tables"), "table_name"),
      ElementsAre("categories", "customers", "order_lines", "orders", "products", "shipments"));
  EXPECT_THAT(names_in(document.at("views"), "view_name"), ElementsAre("order_totals"));

  const auto& order_lines = entry_named(document.at("tables"), "table_name", "order_lines");
  EXPECT_EQ(order_lines.at("primary_key").at("constrained_columns"),
            json::parse(R"(["order_id", "line_no"])"));
  const auto& shipments = entry_named(document.at("tables"), "table_name", "shipments");
  const auto& foreign_key = shipments.at("foreign_keys").at(0);
  EXPECT_EQ(foreign_key.at("name"), "shipments_order_line");
  EXPECT_EQ(foreign_key.at("referred_columns"), json::parse(R"(["order_id", "line_no"])"));
}

TEST_F(InspectCommand, WritesPrettyJsonOrIntoAFile) {
  const auto engine = create_shop();
  const auto compact = tool({"inspect", "--engine", engine_url(engine)});
  const auto pretty = tool({"inspect", "--engine", engine_url(engine), "--pretty"});
  const auto into_file = tool({"inspect", "--engine", engine_url(engine), "-o", "doc.json"});

  ASSERT_EQ(compact.status, 0) << compact.err;
  ASSERT_EQ(pretty.status, 0) << pretty.err;
  ASSERT_EQ(into_file.status, 0) << into_file.err;
  EXPECT_THAT(pretty.out, HasSubstr("\n  \"tables\": [\n"));
  EXPECT_EQ(json::parse(pretty.out), json::parse(compact.out));
  EXPECT_THAT(into_file.out, IsEmpty());
  std::ifstream written(directory() / "doc.json");
  EXPECT_EQ(json::parse(written), json::parse(compact.out));
  EXPECT_FALSE(std::filesystem::exists(directory() / "kelmarion_meta.db"))
      << "inspect must not open a store";
}

TEST_F(InspectCommand, HelpAndVersionExitWithZero) {
  const auto version = tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, HasSubstr("0.1.0"));

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--help"}, "save"},
      {{"inspect", "--help"}, "--engine"},
      {{"save", "--help"}, "--prune"},
      {{"show", "--help"}, "--format"},
  };
  for (const auto& [arguments, expected] : cases) {
    const auto run = tool(arguments);
    EXPECT_EQ(run.status, 0) << arguments.front();
    EXPECT_THAT(run.out, HasSubstr(expected)) << arguments.front();
    EXPECT_THAT(run.out, HasSubstr("Exit status")) << arguments.front();
    EXPECT_THAT(run.err, Not(HasSubstr("error"))) << arguments.front();
  }
}

}  // namespace
}  // namespace kelmarion::testing
