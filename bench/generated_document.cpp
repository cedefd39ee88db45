#include "generated_document.h"

#include <string>

namespace kelmarion::bench {
namespace {

using Document = nlohmann::ordered_json;

Document column(const std::string& name, const char* type, bool nullable) {
  return {{"name", name},       {"type", type},          {"nullable", nullable},
          {"default", nullptr}, {"autoincrement", false}, {"comment", nullptr}};
}

}  // namespace

Document generated_document(int table_count) {
  auto tables = Document::array();
  auto views = Document::array();
  for (int t = 0; t < table_count; ++t) {
    const auto name = "table_" + std::to_string(t);
    auto columns = Document::array({column("id", "INTEGER", false)});
    for (int c = 1; c < 15; ++c) {
      columns.push_back(column("column_" + std::to_string(c), c % 3 == 0 ? "TEXT" : "INTEGER", true));
    }
    auto foreign_keys = Document::array();
    auto indexes = Document::array();
    const int fk_count = 1 + t % 3;
    for (int f = 0; f < fk_count; ++f) {
      const auto column_name = "column_" + std::to_string(f + 1);
      foreign_keys.push_back({{"name", name + "_fk_" + std::to_string(f)},
                              {"constrained_columns", {column_name}},
                              {"referred_schema", "bench"},
                              {"referred_table", "table_" + std::to_string((t + f + 1) % table_count)},
                              {"referred_columns", {"id"}},
                              {"options", Document::object()}});
      indexes.push_back({{"name", name + "_ix_" + std::to_string(f)},
                         {"column_names", {column_name}},
                         {"unique", f == 0}});
    }
    tables.push_back({{"table_name", name},
                      {"comment", nullptr},
                      {"columns", std::move(columns)},
                      {"primary_key", {{"name", name + "_pk"}, {"constrained_columns", {"id"}}}},
                      {"foreign_keys", std::move(foreign_keys)},
                      {"indexes", std::move(indexes)}});
    if (t % 10 == 0) {
      views.push_back({{"view_name", "view_" + std::to_string(t)},
                       {"definition", "SELECT id FROM " + name},
                       {"comment", nullptr},
                       {"columns", {column("id", "INTEGER", true)}}});
    }
  }
  return {{"schema_name", "bench"}, {"tables", std::move(tables)}, {"views", std::move(views)},
          {"comment", nullptr}};
}

}  // namespace kelmarion::bench
