// A save writes only under its own schema: identifiers of other records that a
// document brings never attach its records to another schema's parents, and
// pruning either schema leaves the other as it was.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "apps/store_backend.h"
#include "support/test_support.h"

namespace kelmarion::testing {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::ordered_json;

json column(const std::string& name) {
  return {{"name", name}, {"type", "TEXT"}, {"nullable", true}, {"default", nullptr}};
}

json victim_document() {
  return {{"schema_name", "victim"},
          {"tables",
           {{{"table_name", "vt"},
             {"columns", {column("a"), column("b")}},
             {"primary_key", {{"name", nullptr}, {"constrained_columns", {"a"}}}},
             {"foreign_keys", json::array()},
             {"indexes", json::array()}}}},
          {"views", {{{"view_name", "vv"}, {"definition", "SELECT a, b FROM vt"},
                      {"columns", {column("a"), column("b")}}}}}};
}

// Identifiers the victim's records were given by its save.
struct VictimIds {
  json schema;
  json table;
  json view;
};

// A document of schema "evil" whose entries bring the victim's identifiers
// under one key; `victim` gives the values.
struct HostileCase {
  std::string name;
  json (*document)(const VictimIds& victim);
  bool refused;  // refused as bad input; otherwise saved under "evil" alone
};

json evil(json tables, json views) {
  return {{"schema_name", "evil"}, {"tables", std::move(tables)}, {"views", std::move(views)}};
}

json evil_table(json columns) {
  return {{"table_name", "et"},
          {"columns", std::move(columns)},
          {"foreign_keys", json::array()},
          {"indexes", json::array()}};
}

json evil_view(json columns) {
  return {{"view_name", "ev"}, {"definition", "x"}, {"columns", std::move(columns)}};
}

json with(json entry, const std::string& key, const json& value) {
  entry[key] = value;
  return entry;
}

const HostileCase hostile_cases[] = {
    {"view entry brings a table's identifier",
     [](const VictimIds& v) {
       return evil(json::array(),
                   {with(evil_view({column("injected")}), "source_table_id", v.table)});
     },
     true},
    {"table entry brings a view's identifier",
     [](const VictimIds& v) {
       return evil({with(evil_table({column("injected")}), "source_view_id", v.view)},
                   json::array());
     },
     true},
    {"table's column brings a view's identifier",
     [](const VictimIds& v) {
       return evil({evil_table({with(column("a"), "source_view_id", v.view)})}, json::array());
     },
     true},
    {"view's column brings a table's identifier",
     [](const VictimIds& v) {
       return evil(json::array(), {evil_view({with(column("a"), "source_table_id", v.table)})});
     },
     true},
    {"table's column brings its own kind of parent identifier",
     [](const VictimIds& v) {
       return evil({evil_table({with(column("a"), "source_table_id", v.table)})}, json::array());
     },
     false},
    {"view's column brings its own kind of parent identifier",
     [](const VictimIds& v) {
       return evil(json::array(), {evil_view({with(column("a"), "source_view_id", v.view)})});
     },
     false},
    {"entries bring the victim's schema and their own identifiers",
     [](const VictimIds& v) {
       auto table = with(evil_table({column("a")}), "source_schema_id", v.schema);
       table["source_table_id"] = v.table;
       table["primary_key"] = {{"constrained_columns", {"a"}}, {"source_table_id", v.table}};
       table["indexes"] = {{{"column_names", {"a"}}, {"unique", true},
                            {"source_table_id", v.table}}};
       auto view = with(evil_view({column("a")}), "source_schema_id", v.schema);
       view["source_view_id"] = v.view;
       auto document = evil({table}, {view});
       document["source_schema_id"] = v.schema;
       return document;
     },
     false},
};

class SchemaIsolation : public StoreBackendTest {
 protected:
  std::string write(const std::string& name, const json& document) {
    const auto path = (directory() / name).string();
    std::ofstream(path) << document.dump();
    return path;
  }

  ToolRun save(const std::string& path, std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{"save", "--document", path, "--store", store_url()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return tool(std::move(arguments));
  }

  std::string show_victim() {
    const auto shown = tool({"show", "--schema", "victim", "--store", store_url()});
    EXPECT_EQ(shown.status, 0) << shown.err;
    return shown.out;
  }
};

TEST_P(SchemaIsolation, HostileIdentifiersNeverReachAnotherSchemaNorDoesPruning) {
  const auto victim_path = write("victim.json", victim_document());
  const auto first = save(victim_path, {"-o", "victim_saved.json"});
  ASSERT_EQ(first.status, 0) << first.err;
  json saved;
  std::ifstream(directory() / "victim_saved.json") >> saved;
  const VictimIds victim{saved["tables"][0]["source_schema_id"],
                         saved["tables"][0]["source_table_id"],
                         saved["views"][0]["source_view_id"]};
  const auto before = show_victim();

  for (const auto& hostile : hostile_cases) {
    const auto evil_path = write("evil.json", hostile.document(victim));
    const auto evil_save = save(evil_path);
    if (hostile.refused) {
      EXPECT_EQ(evil_save.status, 2) << hostile.name << ": " << evil_save.err;
      EXPECT_THAT(evil_save.err, HasSubstr("is not accepted"))
          << hostile.name;
    } else {
      EXPECT_EQ(evil_save.status, 0) << hostile.name << ": " << evil_save.err;
    }
    EXPECT_EQ(show_victim(), before) << hostile.name;

    // Whatever the evil save left, pruning either schema touches only its own records.
    const auto evil_pruned =
        save(write("evil_clean.json", evil(json::array(), json::array())), {"--prune"});
    EXPECT_EQ(evil_pruned.status, 0) << hostile.name << ": " << evil_pruned.err;
    const auto victim_pruned = save(victim_path, {"--prune"});
    EXPECT_EQ(victim_pruned.status, 0) << hostile.name << ": " << victim_pruned.err;
    EXPECT_EQ(summary_row(victim_pruned.out, "total").stale, 0) << hostile.name;
    EXPECT_EQ(show_victim(), before) << hostile.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, SchemaIsolation, all_store_backends(), store_backend_name);

}  // namespace
}  // namespace kelmarion::testing
