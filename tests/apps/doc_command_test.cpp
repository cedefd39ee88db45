// `kelmarion-meta doc` and `show --format mermaid|dot`: pages whose links all
// lead somewhere, diagrams Graphviz renders, names that cannot break either,
// and the same bytes from the same store.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "apps/tool_test.h"

namespace kelmarion::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string read_text(const fs::path& path) {
  std::ifstream input(path, std::ios::binary);
  std::ostringstream text;
  text << input.rdbuf();
  return text.str();
}

// Every file under `directory`, by relative path, with its bytes.
std::map<std::string, std::string> tree_of(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), directory).string()] = read_text(entry.path());
    }
  }
  return files;
}

bool have_dot() { return std::system("command -v dot > /dev/null 2>&1") == 0; }

// Problems of the pages under `directory`: a link to a file that is not
// there, a table row with another number of cells than its header, a Mermaid
// block with a fence inside or a label quote too many, a DOT file Graphviz
// refuses.
std::vector<std::string> page_problems(const fs::path& directory) {
  std::vector<std::string> problems;
  // A link: "](target)" after an unescaped ']', outside fenced blocks.
  const std::regex link(R"((^|[^\\])\]\(([^)]+)\))");
  for (const auto& [path, text] : tree_of(directory)) {
    const auto file = directory / path;
    if (file.extension() == ".dot" && have_dot()) {
      const auto command = "dot -Tsvg '" + file.string() + "' -o /dev/null";
      if (std::system(command.c_str()) != 0) problems.push_back(path + ": dot refuses it");
    }
    if (file.extension() != ".md") continue;
    std::istringstream lines(text);
    std::string line;
    int header_cells = -1;
    bool in_mermaid = false;
    while (std::getline(lines, line)) {
      if (in_mermaid) {
        if (line == "```") {
          in_mermaid = false;
        } else if (line.find('`') != std::string::npos ||
                   std::count(line.begin(), line.end(), '"') > 2) {
          problems.push_back(path + ": mermaid line " + line);
        }
        continue;
      }
      in_mermaid = line == "```mermaid";
      for (auto m = std::sregex_iterator(line.begin(), line.end(), link);
           m != std::sregex_iterator(); ++m) {
        if (!fs::exists(file.parent_path() / (*m)[2].str())) {
          problems.push_back(path + ": link to missing " + (*m)[2].str());
        }
      }
      if (!line.starts_with("|")) {
        header_cells = -1;
        continue;
      }
      int cells = 0;
      for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\')
          ++i;  // an escaped character is text
        else if (line[i] == '|')
          ++cells;
      }
      if (header_cells < 0) header_cells = cells;
      if (cells != header_cells) problems.push_back(path + ": table row " + line);
    }
  }
  return problems;
}

using DocCommand = ToolTest;

TEST_F(DocCommand, DocumentsASchemaWithWorkingLinksAndTheSameBytesEachRun) {
  const auto engine = create_shop();
  save_shop(engine);
  const auto out = directory() / "docs";
  const auto run = tool({"doc", "--store", store(), "--schema", "main", "-o", out.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, StartsWith("documented schema 'main' in"));

  const auto first = tree_of(out);
  for (const auto* page : {"README.md", "schema.dot", "tables/orders.md", "tables/orders.dot",
                           "views/order_totals.md"}) {
    EXPECT_TRUE(first.contains(page)) << page;
  }
  EXPECT_EQ(first.contains("tables/orders.svg"), have_dot());
  EXPECT_THAT(first.at("tables/orders.md"),
              HasSubstr("| [order_lines](order_lines.md) | order_id | order_id |"));
  EXPECT_THAT(first.at("README.md"), HasSubstr("Last saved: "));
  EXPECT_THAT(page_problems(out), ::testing::IsEmpty());

  const auto refused = tool({"doc", "--store", store(), "--schema", "main", "-o", out.string()});
  EXPECT_EQ(refused.status, 2);
  EXPECT_THAT(refused.err, HasSubstr("not empty; --force"));
  const auto again =
      tool({"doc", "--store", store(), "--schema", "main", "-o", out.string(), "--force"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(tree_of(out), first);

  const auto mermaid = tool({"show", "--store", store(), "--format", "mermaid"});
  EXPECT_THAT(mermaid.out, StartsWith("erDiagram\n"));
  const auto dot = tool({"show", "--store", store(), "--format", "dot"});
  EXPECT_EQ(dot.out, first.at("schema.dot"));
}

TEST_F(DocCommand, HostileNamesNeverBreakAPageOrADiagramAndGetFilesOfTheirOwn) {
  // A document, not an engine: SQLite's own names could not differ in case alone.
  const std::vector<std::string> names{"orders",
                                       "Orders",
                                       "a/b",
                                       "a:b",
                                       "a_b",
                                       "a|b`c```",
                                       "say \"hi\" <b>&amp;",
                                       "[x](y)",
                                       "line\nbreak",
                                       "表格",
                                       "../etc",
                                       "con",
                                       std::string(80, 'L') + "x",
                                       std::string(80, 'L') + "y"};
  nlohmann::ordered_json document{{"schema_name", "main"},
                                  {"tables", nlohmann::ordered_json::array()},
                                  {"views", nlohmann::ordered_json::array()}};
  for (const auto& name : names) {
    document["tables"].push_back(
        {{"table_name", name},
         {"columns", {{{"name", "id|`#"}, {"type", "INTEGER"}}, {{"name", "o"}, {"type", "x\"y"}}}},
         {"primary_key", {{"name", "pk]]>"}, {"constrained_columns", {"id|`#"}}}},
         {"foreign_keys",
          {{{"name", "fk\n"},
            {"constrained_columns", {"o"}},
            {"referred_schema", nullptr},
            {"referred_table", "orders"},
            {"referred_columns", {"id|`#"}},
            {"options", {{"ondelete", "CASCADE|"}}}}}},
         {"indexes", {{{"name", "i*_x_*"}, {"column_names", {"o"}}, {"unique", true}}}}});
  }
  const auto saved = tool(ToolCall{.arguments = {"save", "--document", "-", "--store", store()},
                                   .input = document.dump()});
  ASSERT_EQ(saved.status, 0) << saved.err;
  const auto out = directory() / "docs";
  const auto run = tool({"doc", "--store", store(), "--schema", "main", "-o", out.string()});
  ASSERT_EQ(run.status, 0) << run.err;

  std::set<std::string> pages;
  for (const auto& entry : fs::directory_iterator(out / "tables")) {
    if (entry.path().extension() != ".md") continue;
    auto name = entry.path().filename().string();
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    pages.insert(name);  // distinct even where case does not count
  }
  EXPECT_EQ(pages.size(), names.size());
  EXPECT_THAT(page_problems(out), ::testing::IsEmpty());
}

}  // namespace
}  // namespace kelmarion::testing
