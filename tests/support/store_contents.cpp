#include "support/store_contents.h"

#include <fmt/format.h>

#include <stdexcept>
#include <string_view>
#include <vector>

namespace kelmarion::testing {
namespace {

// FNV-1a, 64 bits: enough to tell two dumps of a test's store apart.
class Checksum {
 public:
  void add(std::string_view bytes) {
    for (const char byte : bytes) {
      _value ^= static_cast<unsigned char>(byte);
      _value *= 0x100000001b3ULL;
    }
  }
  [[nodiscard]] std::string hex() const { return fmt::format("{:016x}", _value); }

 private:
  std::uint64_t _value = 0xcbf29ce484222325ULL;
};

using SqliteStatement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

SqliteStatement prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    throw std::runtime_error(fmt::format("{}: {}", sql, sqlite3_errmsg(db)));
  }
  return {raw, &sqlite3_finalize};
}

}  // namespace

void PrintTo(const TableContents& contents, std::ostream* output) {
  *output << contents.rows << " rows, checksum " << contents.checksum;
}

SqliteHandle open_sqlite_file(const std::filesystem::path& file) {
  sqlite3* raw = nullptr;
  const int result = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  SqliteHandle db(raw);
  if (result != SQLITE_OK) {
    throw std::runtime_error(fmt::format("open '{}': {}", file.string(), sqlite3_errstr(result)));
  }
  sqlite3_busy_timeout(db.get(), 10000);
  return db;
}

void sqlite_execute(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw std::runtime_error(fmt::format("{}: {}", sql, text));
  }
}

std::int64_t sqlite_integer(sqlite3* db, const std::string& sql) {
  const auto statement = prepare(db, sql);
  if (sqlite3_step(statement.get()) != SQLITE_ROW) {
    throw std::runtime_error(fmt::format("{}: no row ({})", sql, sqlite3_errmsg(db)));
  }
  return sqlite3_column_int64(statement.get(), 0);
}

std::vector<std::string> sqlite_texts(sqlite3* db, const std::string& sql) {
  const auto statement = prepare(db, sql);
  std::vector<std::string> texts;
  while (sqlite3_step(statement.get()) == SQLITE_ROW) {
    texts.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0)));
  }
  return texts;
}

StoreContents sqlite_contents(const std::filesystem::path& file) {
  const auto db = open_sqlite_file(file);
  std::vector<std::string> tables;
  const auto list = prepare(db.get(), "SELECT name FROM sqlite_schema WHERE type = 'table'");
  while (sqlite3_step(list.get()) == SQLITE_ROW) {
    tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0)));
  }
  StoreContents contents;
  for (const auto& table : tables) {
    auto& entry = contents[table];
    Checksum checksum;
    const auto rows = prepare(db.get(), fmt::format("SELECT * FROM \"{}\" ORDER BY rowid", table));
    while (sqlite3_step(rows.get()) == SQLITE_ROW) {
      ++entry.rows;
      for (int column = 0; column < sqlite3_column_count(rows.get()); ++column) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), column));
        // The type too: NULL and '' differ.
        checksum.add(fmt::format("{}:{}\x1f", sqlite3_column_type(rows.get(), column),
                                 text != nullptr ? text : ""));
      }
      checksum.add("\x1e");
    }
    entry.checksum = checksum.hex();
  }
  return contents;
}

PostgresqlHandle connect_postgresql(const std::string& url) {
  PostgresqlHandle connection(PQconnectdb(url.c_str()));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error(
        fmt::format("KELMARION_TEST_PG_URL is set, but the server cannot be reached: {}",
                    PQerrorMessage(connection.get())));
  }
  PQsetNoticeProcessor(
      connection.get(), [](void* /*context*/, const char* /*message*/) {}, nullptr);
  return connection;
}

PostgresqlResult postgresql_query(PGconn* connection, const std::string& sql) {
  PostgresqlResult result(PQexec(connection, sql.c_str()), &PQclear);
  const auto status = PQresultStatus(result.get());
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    throw std::runtime_error(fmt::format("{}: {}", sql, PQerrorMessage(connection)));
  }
  return result;
}

StoreContents postgresql_contents(const std::string& url, const std::string& schema) {
  const auto connection = connect_postgresql(url);
  const auto tables = postgresql_query(
      connection.get(),
      fmt::format("SELECT table_name FROM information_schema.tables WHERE table_schema = '{}'",
                  schema));
  StoreContents contents;
  for (int i = 0; i < PQntuples(tables.get()); ++i) {
    const std::string table = PQgetvalue(tables.get(), i, 0);
    // Each row as its text form, sorted: the order rows come back in is not kept.
    const auto rows = postgresql_query(
        connection.get(),
        fmt::format("SELECT count(*), coalesce(md5(string_agg(t::text, E'\\n' ORDER BY t::text)), "
                    "'') FROM \"{}\".\"{}\" t",
                    schema, table));
    contents[table] = {std::stoul(PQgetvalue(rows.get(), 0, 0)), PQgetvalue(rows.get(), 0, 1)};
  }
  return contents;
}

}  // namespace kelmarion::testing
