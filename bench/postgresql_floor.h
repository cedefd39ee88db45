#pragma once

// The floor of a save into a PostgreSQL store: the records of floor_records.h
// written with plain blocking libpq calls, PQexecPrepared for the lookup and
// then for the INSERT ... RETURNING or UPDATE (two round trips per record), in
// one transaction, into the same tables as our store's.

#include <memory>
#include <nlohmann/json.hpp>

struct pg_conn;

namespace kelmarion::bench {

class PostgresqlFloor {
 public:
  // Writes through `connection`, which the caller owns and keeps open; its
  // search_path decides where the tables are.
  explicit PostgresqlFloor(pg_conn* connection);
  PostgresqlFloor(const PostgresqlFloor&) = delete;
  PostgresqlFloor& operator=(const PostgresqlFloor&) = delete;
  PostgresqlFloor(PostgresqlFloor&&) = delete;
  PostgresqlFloor& operator=(PostgresqlFloor&&) = delete;
  ~PostgresqlFloor();

  // One transaction: on first use creates the store's tables when missing with
  // our store's DDL and prepares the statements, then writes every record of
  // `document` as our store would under the schema name "bench". Throws
  // std::runtime_error on any failure.
  void save(const nlohmann::ordered_json& document);

 private:
  class Statements;
  pg_conn* _connection;
  std::unique_ptr<Statements> _statements;
};

}  // namespace kelmarion::bench
