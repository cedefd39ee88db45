#pragma once

// The floor of a save: what a plain program has to do to write the records our
// store writes for a document, with nothing of ours in between. floor_save()
// walks the document in the store's order (the schema; per table the table,
// its columns, primary key, foreign keys and indexes; the referencing foreign
// keys; per view the view and its columns) and hands each record to a
// FloorStore, which looks it up by the same fields as our lookup and then
// updates or inserts it. The backends (sqlite_floor.h, postgresql_floor.h) do
// that with prepared statements of the C APIs.

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelmarion_core/detail/sql_render.h"

namespace kelmarion::bench {

// The schema and engine names the store benchmarks save under, ours and the
// floors.
inline constexpr std::string_view bench_schema_name = "bench";
inline constexpr std::string_view bench_engine_name = "sqlite:///bench.db";

// The record tables, each with its write statements; columns of tables and of
// views differ in their parent field, so their statements do too.
enum class FloorTable {
  schema,
  table,
  view,
  table_column,
  view_column,
  primary_key,
  foreign_key,
  index,
  referencing_foreign_key,
};
inline constexpr std::size_t floor_table_count = 9;

// One bound value. Text is borrowed, and always the whole of a string, so it is
// followed by a NUL (libpq needs one); it stays valid until FloorStore::save
// returns.
struct FloorValue {
  enum class Kind { null, integer, boolean, text };
  Kind kind = Kind::null;
  std::int64_t integer = 0;  // the integer, or 0/1 for a boolean
  std::string_view text;
};

// A table's name, identifier, the fields every write sets (in the store's
// column order) and the positions among them of the fields its lookup compares.
struct FloorLayout {
  std::string_view table;
  std::string_view id;
  std::vector<std::string_view> fields;
  std::vector<std::size_t> lookup;
};

[[nodiscard]] const FloorLayout& floor_layout(FloorTable table);

// The three statements of a table, with placeholders `marker` followed by the
// parameter number ('?' for SQLite, '$' for PostgreSQL): the lookup selects the
// identifier with the WHERE of our lookup (the lookup fields as
// parameters 1..k); the insert binds every field (1..n) and returns the
// identifier; the update sets every field (1..n) of the record whose identifier
// is parameter n+1.
struct FloorSql {
  std::string lookup;
  std::string insert;
  std::string update;
};
[[nodiscard]] FloorSql floor_sql(const FloorLayout& layout, char marker);

// The statements that create our store's tables when missing, for `dialect`:
// the version table and the table of every record class, as our store runs
// them.
[[nodiscard]] std::vector<std::string> store_ddl(core::detail::Dialect dialect);

// Writes one record: looks it up by its layout's lookup fields, then updates
// every field of the record found, or inserts a new one. Returns its
// identifier.
class FloorStore {
 public:
  FloorStore() = default;
  FloorStore(const FloorStore&) = delete;
  FloorStore& operator=(const FloorStore&) = delete;
  FloorStore(FloorStore&&) = delete;
  FloorStore& operator=(FloorStore&&) = delete;
  virtual ~FloorStore() = default;

  virtual std::int64_t save(FloorTable table, std::span<const FloorValue> values) = 0;
};

// Saves every record of `document` (a generated document: see
// generated_document.h) through `store`, as our store would under the schema
// name `schema_name` with the engine `engine_name`. No transaction of its own.
void floor_save(FloorStore& store, const nlohmann::ordered_json& document,
                std::string_view schema_name, std::string_view engine_name);

}  // namespace kelmarion::bench
