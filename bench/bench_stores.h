#pragma once

// The stores the save benchmarks write into, ours and the floors' alike: a
// SQLite file of this process's own, and a PostgreSQL schema of its own on the
// server that KELMARION_TEST_PG_URL names.

#include <libpq-fe.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <string>

namespace kelmarion::bench {

// The SQLite store's file: one per process, since other runs of the benchmarks
// may share the temporary directory.
[[nodiscard]] std::filesystem::path sqlite_store_path();

struct SqliteCloser {
  void operator()(sqlite3* connection) const noexcept { sqlite3_close_v2(connection); }
};
using SqliteConnection = std::unique_ptr<sqlite3, SqliteCloser>;

// A connection to the SQLite store, opened as our sessions open theirs.
[[nodiscard]] SqliteConnection open_sqlite_floor_store();

// The server's URL from KELMARION_TEST_PG_URL; nullptr when it is not set.
[[nodiscard]] const char* postgresql_url();

// A PostgreSQL store in a schema of its own, dropped with everything in it. Its
// tables exist already: a first save is that of a new schema into a store in
// use, so neither ours nor the floor's is timed creating tables.
class PostgresqlStore {
 public:
  PostgresqlStore(const std::string& url, std::string schema);
  PostgresqlStore(const PostgresqlStore&) = delete;
  PostgresqlStore& operator=(const PostgresqlStore&) = delete;
  PostgresqlStore(PostgresqlStore&&) = delete;
  PostgresqlStore& operator=(PostgresqlStore&&) = delete;
  ~PostgresqlStore();

  // The URL of a session whose search path is the store's schema.
  [[nodiscard]] std::string location() const;

 private:
  void _execute(const std::string& sql) const;
  std::string _url;
  std::string _schema;
};

inline constexpr const char* ours_postgresql_schema = "kelmarion_store_bench";
inline constexpr const char* floor_postgresql_schema = "kelmarion_floor_bench";

struct PgCloser {
  void operator()(PGconn* connection) const noexcept { PQfinish(connection); }
};
using PgConnection = std::unique_ptr<PGconn, PgCloser>;

// A connection for the floor to a PostgreSQL store; throws when the server
// refuses it.
[[nodiscard]] PgConnection connect_postgresql_floor(const PostgresqlStore& store);

}  // namespace kelmarion::bench
