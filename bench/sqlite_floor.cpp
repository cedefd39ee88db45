#include "sqlite_floor.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <array>
#include <stdexcept>
#include <string>

#include "floor_records.h"

namespace kelmarion::bench {
namespace {

[[noreturn]] void fail(sqlite3* connection, const std::string& sql) {
  throw std::runtime_error(
      fmt::format("SQLite floor: {} in SQL: {}", sqlite3_errmsg(connection), sql));
}

void execute(sqlite3* connection, const std::string& sql) {
  if (sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail(connection, sql);
  }
}

struct Finalizer {
  void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

Statement prepare(sqlite3* connection, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v3(connection, sql.c_str(), static_cast<int>(sql.size()),
                         SQLITE_PREPARE_PERSISTENT, &raw, nullptr) != SQLITE_OK) {
    fail(connection, sql);
  }
  return Statement(raw);
}

void bind(sqlite3_stmt* statement, int number, const FloorValue& value) {
  switch (value.kind) {
    case FloorValue::Kind::null:
      sqlite3_bind_null(statement, number);
      break;
    case FloorValue::Kind::integer:
    case FloorValue::Kind::boolean:
      sqlite3_bind_int64(statement, number, value.integer);
      break;
    case FloorValue::Kind::text:
      sqlite3_bind_text64(statement, number, value.text.data(), value.text.size(), SQLITE_STATIC,
                          SQLITE_UTF8);
      break;
  }
}

}  // namespace

// The prepared statements of every record table.
class SqliteFloor::Statements final : public FloorStore {
 public:
  explicit Statements(sqlite3* connection) : _connection(connection) {
    for (std::size_t t = 0; t < floor_table_count; ++t) {
      auto sql = floor_sql(floor_layout(static_cast<FloorTable>(t)), '?');
      // A plain program reads the new identifier with sqlite3_last_insert_rowid():
      // RETURNING costs SQLite a temporary table per statement.
      const auto insert = sql.insert.substr(0, sql.insert.rfind(" RETURNING "));
      _tables[t] = {prepare(connection, sql.lookup), prepare(connection, insert),
                    prepare(connection, sql.update)};
    }
  }

  std::int64_t save(FloorTable table, std::span<const FloorValue> values) override {
    const auto& layout = floor_layout(table);
    auto& statements = _tables.at(static_cast<std::size_t>(table));
    auto* lookup = statements.lookup.get();
    int number = 0;
    for (const auto position : layout.lookup) bind(lookup, ++number, values[position]);
    const int found = sqlite3_step(lookup);
    if (found != SQLITE_ROW && found != SQLITE_DONE) fail(_connection, sqlite3_sql(lookup));
    const std::int64_t id = found == SQLITE_ROW ? sqlite3_column_int64(lookup, 0) : 0;
    sqlite3_reset(lookup);

    auto* write = found == SQLITE_ROW ? statements.update.get() : statements.insert.get();
    number = 0;
    for (const auto& value : values) bind(write, ++number, value);
    if (found == SQLITE_ROW) sqlite3_bind_int64(write, ++number, id);
    const int written = sqlite3_step(write);
    if (written != SQLITE_ROW && written != SQLITE_DONE) fail(_connection, sqlite3_sql(write));
    const std::int64_t result = found == SQLITE_ROW ? id : sqlite3_last_insert_rowid(_connection);
    sqlite3_reset(write);
    return result;
  }

 private:
  struct TableStatements {
    Statement lookup;
    Statement insert;
    Statement update;
  };
  sqlite3* _connection;
  std::array<TableStatements, floor_table_count> _tables;
};

SqliteFloor::SqliteFloor(sqlite3* connection) : _connection(connection) {}

SqliteFloor::~SqliteFloor() = default;

void SqliteFloor::save(const nlohmann::ordered_json& document) {
  using core::detail::Dialect;
  execute(_connection, "BEGIN IMMEDIATE");
  try {
    // Like our sessions, the tables are created (when missing) once per
    // connection.
    if (!_statements) {
      for (const auto& sql : store_ddl(Dialect::sqlite)) execute(_connection, sql);
      _statements = std::make_unique<Statements>(_connection);
    }
    floor_save(*_statements, document, bench_schema_name, bench_engine_name);
    execute(_connection, "COMMIT");
  } catch (...) {
    sqlite3_exec(_connection, "ROLLBACK", nullptr, nullptr,
                 nullptr);  // the failure is what matters
    throw;
  }
}

}  // namespace kelmarion::bench
