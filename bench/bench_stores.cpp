#include "bench_stores.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "floor_records.h"

namespace kelmarion::bench {
namespace {

void ignore_notice(void* /*context*/, const char* /*message*/) {}

}  // namespace

std::filesystem::path sqlite_store_path() {
  return std::filesystem::temp_directory_path() /
         ("kelmarion-store-bench-" + std::to_string(getpid()) + ".db");
}

SqliteConnection open_sqlite_floor_store() {
  sqlite3* raw = nullptr;
  const auto path = sqlite_store_path();
  const int opened =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  SqliteConnection connection(raw);
  if (opened != SQLITE_OK) throw std::runtime_error("SQLite: cannot open " + path.string());
  sqlite3_busy_timeout(connection.get(), 5000);
  return connection;
}

const char* postgresql_url() { return std::getenv("KELMARION_TEST_PG_URL"); }

PostgresqlStore::PostgresqlStore(const std::string& url, std::string schema)
    : _url(url), _schema(std::move(schema)) {
  std::string script = "DROP SCHEMA IF EXISTS " + _schema + " CASCADE; CREATE SCHEMA " + _schema +
                       "; SET search_path TO " + _schema + ";";
  for (const auto& sql : store_ddl(core::detail::Dialect::postgresql)) script += sql + ";";
  _execute(script);
}

PostgresqlStore::~PostgresqlStore() { _execute("DROP SCHEMA IF EXISTS " + _schema + " CASCADE"); }

std::string PostgresqlStore::location() const {
  return _url + (_url.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" +
         _schema;
}

void PostgresqlStore::_execute(const std::string& sql) const {
  PGconn* connection = PQconnectdb(_url.c_str());
  PQsetNoticeProcessor(connection, ignore_notice, nullptr);
  PQclear(PQexec(connection, sql.c_str()));
  PQfinish(connection);
}

PgConnection connect_postgresql_floor(const PostgresqlStore& store) {
  PgConnection connection(PQconnectdb(store.location().c_str()));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(connection.get()));
  }
  // "relation already exists, skipping" and the like are not worth printing.
  PQsetNoticeProcessor(connection.get(), ignore_notice, nullptr);
  return connection;
}

}  // namespace kelmarion::bench
