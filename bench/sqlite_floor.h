#pragma once

// The floor of a save into a SQLite store: the records of floor_records.h
// written with the sqlite3 C API alone, one prepared lookup and one prepared
// INSERT (the identifier from sqlite3_last_insert_rowid) or UPDATE per record, in one transaction,
// into the same tables as our store's.

#include <memory>
#include <nlohmann/json.hpp>

struct sqlite3;

namespace kelmarion::bench {

class SqliteFloor {
 public:
  // Writes through `connection`, which the caller owns and keeps open.
  explicit SqliteFloor(sqlite3* connection);
  SqliteFloor(const SqliteFloor&) = delete;
  SqliteFloor& operator=(const SqliteFloor&) = delete;
  SqliteFloor(SqliteFloor&&) = delete;
  SqliteFloor& operator=(SqliteFloor&&) = delete;
  ~SqliteFloor();

  // One transaction (BEGIN IMMEDIATE, as our sessions begin): creates the
  // store's tables when missing with our store's DDL, prepares the statements
  // on first use, then writes every record of `document` as our store would
  // under the schema name "bench". Throws std::runtime_error on any SQLite
  // failure.
  void save(const nlohmann::ordered_json& document);

 private:
  class Statements;
  sqlite3* _connection;
  std::unique_ptr<Statements> _statements;
};

}  // namespace kelmarion::bench
