// How long SourceInspect takes to read generated schemas of 100, 1,000 and
// 10,000 tables, on SQLite (a file in a temporary directory), on PostgreSQL
// (the server of KELMARION_TEST_PG_URL) and on MySQL/MariaDB (the server of
// KELMARION_TEST_MYSQL_URL); a server benchmark is skipped when its variable is
// not set.
//
// Each table has 15 columns, a primary key, 1-3 foreign keys to earlier tables
// and 1-3 indexes besides its unique constraint; every tenth table has a view.
// A schema is built once per size, outside the timed loop, and dropped at exit.
//
// inspect_sqlite_floor is the floor of the SQLite inspection: the PRAGMA reads
// our inspector issues, through the sqlite3 C API, touching every value read but
// building no document; inspect_mysql_floor is that of the MySQL inspection, the
// same information_schema reads (mysql_floor.h). After the run, a table gives
// ours / floor per size and the growth with size.

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelmarion_meta/tools/source_inspect.h"
#include "mysql_floor.h"
#include "ratio_report.h"

namespace {

constexpr const char* pg_url_variable = "KELMARION_TEST_PG_URL";

// The DDL of one generated table (and its indexes and view), valid on both engines.
std::string table_ddl(int number) {
  // fmt rather than "t" + std::to_string(): g++ 12 warns falsely (-Wrestrict) on the latter at -O2.
  const auto name = fmt::format("t{}", number);
  const auto parent = [&](int step) { return fmt::format("t{}", number / step); };
  const int foreign_keys = 1 + number % 3;
  std::string sql =
      "CREATE TABLE " + name +
      " (id integer PRIMARY KEY, code varchar(40) NOT NULL, name varchar(200),"
      " amount numeric(12,2) DEFAULT 0, quantity integer, active boolean DEFAULT true,"
      " created date, updated timestamp, note text, score double precision,"
      " flags smallint, ext_ref varchar(64)";
  sql += ", parent_a integer REFERENCES " + parent(2) + " (id)";
  sql +=
      ", parent_b integer" +
      (foreign_keys >= 2 ? " REFERENCES " + parent(3) + " (id) ON DELETE CASCADE" : std::string());
  sql +=
      ", parent_c integer" +
      (foreign_keys >= 3 ? " REFERENCES " + parent(5) + " (id) ON DELETE SET NULL" : std::string());
  sql += ", UNIQUE (code));\n";
  sql += "CREATE INDEX " + name + "_name ON " + name + " (name);\n";
  if (number % 3 >= 1) sql += "CREATE INDEX " + name + "_qc ON " + name + " (quantity, created);\n";
  if (number % 3 == 2) sql += "CREATE INDEX " + name + "_ext ON " + name + " (lower(ext_ref));\n";
  if (number % 10 == 0) {
    sql += "CREATE VIEW v" + name + " AS SELECT id, code, amount FROM " + name + " WHERE active;\n";
  }
  return sql;
}

// ---- SQLite: one database file per size ----

struct SqliteCloser {
  void operator()(sqlite3* connection) const noexcept { sqlite3_close_v2(connection); }
};

void sqlite_execute(sqlite3* connection, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error != nullptr ? error : sqlite3_errmsg(connection);
    sqlite3_free(error);
    throw std::runtime_error("SQLite: " + message);
  }
}

class SqliteSchemas {
 public:
  SqliteSchemas()
      : _directory(std::filesystem::temp_directory_path() /
                   ("kelmarion_bench_" + std::to_string(getpid()))) {
    std::filesystem::create_directories(_directory);
  }
  SqliteSchemas(const SqliteSchemas&) = delete;
  SqliteSchemas& operator=(const SqliteSchemas&) = delete;
  SqliteSchemas(SqliteSchemas&&) = delete;
  SqliteSchemas& operator=(SqliteSchemas&&) = delete;
  ~SqliteSchemas() {
    std::error_code ignored;  // a leftover temporary directory is not worth failing the run
    std::filesystem::remove_all(_directory, ignored);
  }

  // The engine URL of a database holding `tables` generated tables.
  const std::string& url_for(int tables) {
    const auto found = _urls.find(tables);
    if (found != _urls.end()) return found->second;
    const auto path = _directory / ("schema_" + std::to_string(tables) + ".db");
    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    const std::unique_ptr<sqlite3, SqliteCloser> connection(raw);
    if (opened != SQLITE_OK) throw std::runtime_error("SQLite: cannot create " + path.string());
    std::string sql = "BEGIN;\n";
    for (int number = 0; number < tables; ++number) sql += table_ddl(number);
    sql += "COMMIT;\n";
    sqlite_execute(connection.get(), sql);
    return _urls.emplace(tables, "sqlite:///" + path.string()).first->second;
  }

 private:
  std::filesystem::path _directory;
  std::map<int, std::string> _urls;
};

SqliteSchemas& sqlite_schemas() {
  static SqliteSchemas schemas;
  return schemas;
}

void inspect_sqlite(benchmark::State& state) {
  const auto tables = static_cast<int>(state.range(0));
  std::string url;
  try {
    url = sqlite_schemas().url_for(tables);
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return;
  }
  std::optional<nlohmann::ordered_json> document;
  for (auto _ : state) {
    // Freeing the previous result is the caller's work, not the inspection's.
    state.PauseTiming();
    document.reset();
    state.ResumeTiming();
    document = kelmarion::meta::SourceInspect({.engine_name = url}).get_schema();
    benchmark::DoNotOptimize(document);
  }
  state.counters["tables"] = tables;
}
BENCHMARK(inspect_sqlite)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Steps `statement` to its end, reading every column as text; returns the bytes read.
std::size_t read_all(sqlite3_stmt* statement) {
  std::size_t bytes = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    for (int column = 0; column < sqlite3_column_count(statement); ++column) {
      benchmark::DoNotOptimize(sqlite3_column_text(statement, column));
      bytes += static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
    }
  }
  sqlite3_reset(statement);
  return bytes;
}

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

Statement prepare(sqlite3* connection, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v3(connection, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) !=
      SQLITE_OK) {
    throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(connection));
  }
  return Statement(raw);
}

void bind_text(sqlite3_stmt* statement, int number, const std::string& text) {
  sqlite3_bind_text(statement, number, text.c_str(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
}

// The reads of one inspection of "main", as our inspector issues them: on a new
// read-only connection, in one savepoint, the CREATE statements, the relation
// list, then per relation its columns, indexes, each index's columns and its
// foreign keys.
// Kept out of line so that a profiler can measure it alone.
[[gnu::noinline]] std::size_t inspect_floor(const std::string& path) {
  sqlite3* raw = nullptr;
  // Opened as our inspector opens its connection.
  const int opened =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  const std::unique_ptr<sqlite3, SqliteCloser> connection(raw);
  if (opened != SQLITE_OK) throw std::runtime_error("SQLite: cannot open " + path);
  sqlite_execute(connection.get(), "SAVEPOINT kelmarion_inspect");
  auto* db = connection.get();
  std::size_t bytes =
      read_all(prepare(db,
                       "SELECT type, name, sql FROM \"main\".sqlite_schema"
                       " WHERE type IN ('table', 'view', 'index') AND sql IS NOT NULL")
                   .get());
  const auto relations = prepare(db,
                                 "SELECT name, type, wr FROM pragma_table_list WHERE schema = ?1"
                                 " AND type IN ('table', 'virtual', 'view')"
                                 " AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'");
  const auto columns = prepare(db,
                               "SELECT name, type, \"notnull\", dflt_value, pk, hidden"
                               " FROM pragma_table_xinfo(?1, ?2) ORDER BY cid");
  const auto indexes =
      prepare(db, "SELECT name, \"unique\", origin, partial FROM pragma_index_list(?1, ?2)");
  const auto index_columns = prepare(db,
                                     "SELECT cid, name FROM pragma_index_xinfo(?1, ?2)"
                                     " WHERE key = 1 ORDER BY seqno");
  const auto foreign_keys = prepare(db,
                                    "SELECT id, \"table\", \"from\", \"to\", on_update,"
                                    " on_delete, match FROM pragma_foreign_key_list(?1, ?2)"
                                    " ORDER BY id DESC, seq");
  const std::string schema = "main";
  std::vector<std::string> names;
  bind_text(relations.get(), 1, schema);
  while (sqlite3_step(relations.get()) == SQLITE_ROW) {
    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(relations.get(), 0)));
  }
  sqlite3_reset(relations.get());
  std::vector<std::string> index_names;
  for (const auto& name : names) {
    for (auto* statement : {columns.get(), indexes.get(), foreign_keys.get()}) {
      bind_text(statement, 1, name);
      bind_text(statement, 2, schema);
    }
    bytes += read_all(columns.get());
    index_names.clear();
    while (sqlite3_step(indexes.get()) == SQLITE_ROW) {
      index_names.emplace_back(
          reinterpret_cast<const char*>(sqlite3_column_text(indexes.get(), 0)));
    }
    sqlite3_reset(indexes.get());
    for (const auto& index : index_names) {
      bind_text(index_columns.get(), 1, index);
      bind_text(index_columns.get(), 2, schema);
      bytes += read_all(index_columns.get());
    }
    bytes += read_all(foreign_keys.get());
  }
  sqlite_execute(db, "RELEASE kelmarion_inspect");
  return bytes;
}

void inspect_sqlite_floor(benchmark::State& state) {
  const auto tables = static_cast<int>(state.range(0));
  std::string path;
  try {
    path = sqlite_schemas().url_for(tables).substr(std::string_view("sqlite:///").size());
    for (auto _ : state) benchmark::DoNotOptimize(inspect_floor(path));
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return;
  }
  state.counters["tables"] = tables;
}
BENCHMARK(inspect_sqlite_floor)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// ---- PostgreSQL: one schema per size in the configured database ----

struct PgCloser {
  void operator()(PGconn* connection) const noexcept { PQfinish(connection); }
};

class PostgresqlSchemas {
 public:
  explicit PostgresqlSchemas(std::string url) : _url(std::move(url)) {}
  PostgresqlSchemas(const PostgresqlSchemas&) = delete;
  PostgresqlSchemas& operator=(const PostgresqlSchemas&) = delete;
  PostgresqlSchemas(PostgresqlSchemas&&) = delete;
  PostgresqlSchemas& operator=(PostgresqlSchemas&&) = delete;
  ~PostgresqlSchemas() {
    if (_created.empty()) return;
    const std::unique_ptr<PGconn, PgCloser> connection(PQconnectdb(_url.c_str()));
    for (const auto& schema : _created) {
      // Best effort: a schema left behind only costs space in a test database.
      PQclear(PQexec(connection.get(), "SET client_min_messages = warning"));
      PQclear(PQexec(connection.get(), ("DROP SCHEMA IF EXISTS " + schema + " CASCADE").c_str()));
    }
  }

  [[nodiscard]] const std::string& url() const noexcept { return _url; }

  // The name of a schema holding `tables` generated tables.
  const std::string& schema_for(int tables) {
    const auto found = _schemas.find(tables);
    if (found != _schemas.end()) return found->second;
    const auto schema =
        "kelmarion_bench_" + std::to_string(getpid()) + "_" + std::to_string(tables);
    const std::unique_ptr<PGconn, PgCloser> connection(PQconnectdb(_url.c_str()));
    if (PQstatus(connection.get()) != CONNECTION_OK) {
      throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(connection.get()));
    }
    execute(connection.get(), "SET client_min_messages = warning; DROP SCHEMA IF EXISTS " + schema +
                                  " CASCADE; CREATE SCHEMA " + schema + "; SET search_path TO " +
                                  schema);
    _created.push_back(schema);
    // Batches keep each statement string and transaction moderate in size.
    constexpr int batch = 500;
    for (int first = 0; first < tables; first += batch) {
      std::string sql = "BEGIN;\n";
      for (int number = first; number < std::min(tables, first + batch); ++number) {
        sql += table_ddl(number);
      }
      sql += "COMMIT;\n";
      execute(connection.get(), sql);
    }
    execute(connection.get(), "ANALYZE");
    return _schemas.emplace(tables, schema).first->second;
  }

 private:
  static void execute(PGconn* connection, const std::string& sql) {
    const std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection, sql.c_str()),
                                                               &PQclear);
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      throw std::runtime_error(std::string("PostgreSQL: ") + PQresultErrorMessage(result.get()));
    }
  }

  std::string _url;
  std::map<int, std::string> _schemas;
  std::vector<std::string> _created;
};

PostgresqlSchemas* postgresql_schemas() {
  static const std::unique_ptr<PostgresqlSchemas> schemas =
      []() -> std::unique_ptr<PostgresqlSchemas> {
    const char* url = std::getenv(pg_url_variable);
    if (url == nullptr || *url == '\0') return nullptr;
    return std::make_unique<PostgresqlSchemas>(url);
  }();
  return schemas.get();
}

void inspect_postgresql(benchmark::State& state) {
  auto* schemas = postgresql_schemas();
  if (schemas == nullptr) {
    state.SkipWithError("set KELMARION_TEST_PG_URL to a PostgreSQL URL to run this benchmark");
    return;
  }
  const auto tables = static_cast<int>(state.range(0));
  std::string schema;
  try {
    schema = schemas->schema_for(tables);
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return;
  }
  std::optional<nlohmann::ordered_json> document;
  for (auto _ : state) {
    state.PauseTiming();
    document.reset();  // the previous result, freed untimed
    state.ResumeTiming();
    document = kelmarion::meta::SourceInspect({.engine_name = schemas->url()})
                   .get_schema({.schema_name = schema});
    benchmark::DoNotOptimize(document);
  }
  state.counters["tables"] = tables;
}
// The server does most of the work in its own process: time by the wall clock.
BENCHMARK(inspect_postgresql)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- MySQL / MariaDB: one database per size on the configured server ----

kelmarion::bench::MysqlSchemas* mysql_schemas() {
  static const std::unique_ptr<kelmarion::bench::MysqlSchemas> schemas =
      []() -> std::unique_ptr<kelmarion::bench::MysqlSchemas> {
    const char* url = std::getenv("KELMARION_TEST_MYSQL_URL");
    if (url == nullptr || *url == '\0') return nullptr;
    return std::make_unique<kelmarion::bench::MysqlSchemas>(url);
  }();
  return schemas.get();
}

// Runs `inspect` (url, database) per iteration on the database of state.range(0) tables.
template <typename Inspect>
void run_mysql(benchmark::State& state, Inspect inspect) {
  auto* schemas = mysql_schemas();
  if (schemas == nullptr) {
    state.SkipWithError("set KELMARION_TEST_MYSQL_URL to a mysql:// URL to run this benchmark");
    return;
  }
  const auto tables = static_cast<int>(state.range(0));
  try {
    const auto& database = schemas->database_for(tables);
    for (auto _ : state) inspect(state, schemas->url(), database);
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return;
  }
  state.counters["tables"] = tables;
}

void inspect_mysql(benchmark::State& state) {
  std::optional<nlohmann::ordered_json> document;
  run_mysql(state, [&](benchmark::State& running, const std::string& url,
                       const std::string& database) {
    running.PauseTiming();
    document.reset();  // the previous result, freed untimed
    running.ResumeTiming();
    document =
        kelmarion::meta::SourceInspect({.engine_name = url}).get_schema({.schema_name = database});
    benchmark::DoNotOptimize(document);
  });
}
BENCHMARK(inspect_mysql)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void inspect_mysql_floor(benchmark::State& state) {
  run_mysql(state,
            [](benchmark::State& /*running*/, const std::string& url, const std::string& database) {
              benchmark::DoNotOptimize(kelmarion::bench::mysql_inspect_floor(url, database));
            });
}
BENCHMARK(inspect_mysql_floor)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return kelmarion::bench::run_with_ratios(
      argc, argv,
      {{"inspect_sqlite", "inspect_sqlite_floor"}, {"inspect_mysql", "inspect_mysql_floor"}});
}
