#include "apps/store_rows.h"

#include <fmt/format.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <memory>
#include <stdexcept>
#include <string_view>

namespace kelmarion::testing {
namespace {

constexpr std::string_view null_text = "<null>";

bool is_postgresql(const std::string& location) {
  return location.starts_with("postgresql:") || location.starts_with("postgres:");
}

std::string quote_name(std::string_view name) {
  std::string text = "\"";
  for (const char c : name) {
    text += c;
    if (c == '"') text += '"';
  }
  return text + '"';
}

// SQLite.

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementCloser {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteDatabase = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

SqliteDatabase open_sqlite(const std::string& location) {
  const auto path = location.starts_with("sqlite:///") ? location.substr(10) : location;
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  SqliteDatabase db(raw);
  if (opened != SQLITE_OK) {
    throw std::runtime_error(fmt::format("store '{}': {}", path, sqlite3_errmsg(db.get())));
  }
  return db;
}

SqliteStatement prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error(fmt::format("store query '{}': {}", sql, sqlite3_errmsg(db)));
  }
  return SqliteStatement(raw);
}

bool step(sqlite3* db, sqlite3_stmt* statement) {
  const int stepped = sqlite3_step(statement);
  if (stepped == SQLITE_ROW) return true;
  if (stepped == SQLITE_DONE) return false;
  throw std::runtime_error(fmt::format("store query: {}", sqlite3_errmsg(db)));
}

std::string sqlite_text(sqlite3_stmt* statement, int column) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
  const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
  return bytes == nullptr ? std::string() : std::string(bytes, size);
}

// A value with its storage class: "i:5", "r:0.5", "t:3:abc", "b:2:..", "n".
std::string sqlite_value(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return fmt::format("i:{}", sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT:
      return fmt::format("r:{}", sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const auto text = sqlite_text(statement, column);
      return fmt::format("t:{}:{}", text.size(), text);
    }
    case SQLITE_BLOB: {
      const auto bytes = sqlite_text(statement, column);
      return fmt::format("b:{}:{}", bytes.size(), bytes);
    }
    default:
      return "n";
  }
}

void append_sqlite_rows(sqlite3* db, const std::string& table, const std::string& order,
                        std::vector<std::string>& rows) {
  const auto statement =
      prepare(db, fmt::format("SELECT * FROM {} ORDER BY {}", quote_name(table), order));
  const int columns = sqlite3_column_count(statement.get());
  while (step(db, statement.get())) {
    std::string row = table;
    for (int column = 0; column < columns; ++column) {
      row += '|';
      row += sqlite_value(statement.get(), column);
    }
    rows.push_back(std::move(row));
  }
}

std::vector<std::string> sqlite_rows(const std::string& location) {
  const auto db = open_sqlite(location);
  std::vector<std::string> rows;
  append_sqlite_rows(db.get(), "sqlite_schema", "type, name", rows);
  std::vector<std::string> tables;
  const auto names =
      prepare(db.get(), "SELECT name FROM sqlite_schema WHERE type = 'table' ORDER BY name");
  while (step(db.get(), names.get())) tables.push_back(sqlite_text(names.get(), 0));
  for (const auto& table : tables) append_sqlite_rows(db.get(), table, "1", rows);
  return rows;
}

std::vector<std::string> sqlite_query(const std::string& location, const std::string& sql) {
  const auto db = open_sqlite(location);
  const auto statement = prepare(db.get(), sql);
  std::vector<std::string> values;
  while (step(db.get(), statement.get())) {
    values.push_back(sqlite3_column_type(statement.get(), 0) == SQLITE_NULL
                         ? std::string(null_text)
                         : sqlite_text(statement.get(), 0));
  }
  return values;
}

// PostgreSQL.

struct ConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct ResultCloser {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;
using Result = std::unique_ptr<PGresult, ResultCloser>;

Connection connect(const std::string& location) {
  Connection connection(PQconnectdb(location.c_str()));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error(
        fmt::format("PostgreSQL store: cannot connect: {}", PQerrorMessage(connection.get())));
  }
  PQclear(PQexec(connection.get(), "SET client_encoding TO 'UTF8'"));
  return connection;
}

Result query(PGconn* connection, const std::string& sql) {
  Result result(PQexec(connection, sql.c_str()));
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    throw std::runtime_error(
        fmt::format("PostgreSQL store query '{}': {}", sql, PQerrorMessage(connection)));
  }
  return result;
}

std::string pg_value(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column) != 0) return std::string(null_text);
  return {PQgetvalue(result, row, column),
          static_cast<std::size_t>(PQgetlength(result, row, column))};
}

std::vector<std::string> postgresql_query(const std::string& location, const std::string& sql) {
  const auto connection = connect(location);
  const auto result = query(connection.get(), sql);
  std::vector<std::string> values;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    values.push_back(pg_value(result.get(), row, 0));
  }
  return values;
}

std::vector<std::string> postgresql_rows(const std::string& location) {
  const auto connection = connect(location);
  std::vector<std::string> rows;
  const auto layout = query(connection.get(),
                            "SELECT table_name || '.' || column_name || ' ' || data_type"
                            " FROM information_schema.columns"
                            " WHERE table_schema = current_schema()"
                            " ORDER BY table_name, ordinal_position");
  for (int row = 0; row < PQntuples(layout.get()); ++row) {
    rows.push_back("layout|" + pg_value(layout.get(), row, 0));
  }
  const auto tables = query(connection.get(),
                            "SELECT table_name FROM information_schema.tables"
                            " WHERE table_schema = current_schema() ORDER BY table_name");
  for (int table = 0; table < PQntuples(tables.get()); ++table) {
    const auto name = pg_value(tables.get(), table, 0);
    // The whole row as PostgreSQL writes a record: every column, NULLs and quotes told apart.
    const auto records =
        query(connection.get(), fmt::format("SELECT t::text FROM {} t ORDER BY 1", quote_name(name)));
    for (int row = 0; row < PQntuples(records.get()); ++row) {
      rows.push_back(name + '|' + pg_value(records.get(), row, 0));
    }
  }
  return rows;
}

}  // namespace

std::vector<std::string> store_rows(const std::string& location) {
  return is_postgresql(location) ? postgresql_rows(location) : sqlite_rows(location);
}

std::string store_checksum(const std::string& location) {
  constexpr std::uint64_t fnv_offset = 14695981039346656037ULL;
  constexpr std::uint64_t fnv_prime = 1099511628211ULL;
  const auto rows = store_rows(location);
  std::uint64_t hash = fnv_offset;
  for (const auto& row : rows) {
    // Each row ends with a 0 byte, so that moving text between rows changes the hash.
    for (const char c : row + '\0') {
      hash ^= static_cast<unsigned char>(c);
      hash *= fnv_prime;
    }
  }
  return fmt::format("{:016x} ({} rows)", hash, rows.size());
}

std::vector<std::string> store_query(const std::string& location, const std::string& sql) {
  return is_postgresql(location) ? postgresql_query(location, sql) : sqlite_query(location, sql);
}

}  // namespace kelmarion::testing
