#pragma once

// The PostgreSQL inspector: reads one schema from the system catalogs with a
// fixed number of queries, however many tables the schema holds. Every name
// travels as a query parameter; no text from the caller or the catalog is ever
// formatted into SQL.
//
// Tables are the ordinary and partitioned tables of the schema (partitions are
// left out); views are its views and materialized views.

#include <memory>
#include <optional>
#include <string>

#include "kelmarion_meta/tools/source_inspect.h"

struct pg_conn;

namespace kelmarion::meta::detail {

class PostgresqlInspector final : public SchemaInspector {
 public:
  // Connects with the URL as libpq's connection string, so everything libpq
  // reads (PGPASSWORD, ~/.pgpass, service files, host=/socket/dir) applies.
  // Unless the URL or PGCONNECT_TIMEOUT sets connect_timeout, a server that does
  // not answer is given up on after 10 seconds.
  // Throws core::ConfigurationError naming the engine, without its password,
  // when libpq cannot parse the URL, and core::DatabaseError with libpq's reason
  // when the connection fails.
  explicit PostgresqlInspector(const std::string& engine_name);

  // See SchemaInspector. An absent name means "public". Reads in one read-only
  // repeatable-read transaction, so the document is one consistent snapshot.
  // Throws core::DatabaseError (SQLSTATE, server message, SQL) when a query fails.
  [[nodiscard]] std::optional<nlohmann::ordered_json> get_schema(
      const std::optional<std::string>& schema_name) override;

  // The number of statements the last get_schema() sent to the server.
  [[nodiscard]] int last_query_count() const noexcept { return _last_query_count; }

 private:
  struct ConnectionCloser {
    void operator()(pg_conn* connection) const noexcept;
  };

  std::string _engine_name;  // without its password
  std::unique_ptr<pg_conn, ConnectionCloser> _connection;
  int _last_query_count = 0;
};

}  // namespace kelmarion::meta::detail
