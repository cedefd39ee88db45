#pragma once

// What a store holds, row by row, read through a connection of the test's own:
// tests take it before and after a failed save to show that nothing changed.
// Also the few direct SQLite and PostgreSQL calls those tests need to get in the
// way of a save (hold a lock, limit a file, drop a connection).

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace kelmarion::testing {

// One table: its number of rows and a checksum over every value of every row.
struct TableContents {
  std::size_t rows = 0;
  std::string checksum;
  friend bool operator==(const TableContents&, const TableContents&) = default;
};

// Every table of a store, by name.
using StoreContents = std::map<std::string, TableContents>;

void PrintTo(const TableContents& contents, std::ostream* output);

// Every table of the SQLite file `file`, including the layout version's.
// Throws std::runtime_error when the file cannot be read.
[[nodiscard]] StoreContents sqlite_contents(const std::filesystem::path& file);

// Every table in the schema `schema` of the PostgreSQL server at `url`.
// Throws std::runtime_error when the server cannot be reached or read.
[[nodiscard]] StoreContents postgresql_contents(const std::string& url, const std::string& schema);

struct SqliteCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

// A read-write connection to the existing SQLite file `file`, waiting up to
// ten seconds for a lock. Throws std::runtime_error when it cannot be opened.
[[nodiscard]] SqliteHandle open_sqlite_file(const std::filesystem::path& file);
// Runs `sql` (statements without results); throws std::runtime_error with SQLite's message.
void sqlite_execute(sqlite3* db, const std::string& sql);
// The first column of the first row `sql` returns; throws std::runtime_error without one.
[[nodiscard]] std::int64_t sqlite_integer(sqlite3* db, const std::string& sql);
// The first column, never NULL, of every row `sql` returns, as text.
[[nodiscard]] std::vector<std::string> sqlite_texts(sqlite3* db, const std::string& sql);

struct PostgresqlCloser {
  void operator()(PGconn* connection) const noexcept { PQfinish(connection); }
};
using PostgresqlHandle = std::unique_ptr<PGconn, PostgresqlCloser>;
using PostgresqlResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

// A connection to the server at `url`; throws std::runtime_error, saying the
// configured server cannot be reached, when it fails.
[[nodiscard]] PostgresqlHandle connect_postgresql(const std::string& url);
// The result of `sql`; throws std::runtime_error with the server's message on failure.
[[nodiscard]] PostgresqlResult postgresql_query(PGconn* connection, const std::string& sql);

}  // namespace kelmarion::testing
