#pragma once

// The MySQL and MariaDB inspector: reads one database (MySQL's "schema") from
// information_schema with a fixed number of queries, however many tables it
// holds. The database name travels as a bound parameter; no text from the
// caller or the catalog is ever formatted into SQL.
//
// Talks to both servers through the MariaDB Connector/C. Tables are the base
// tables (system-versioned ones included); views are the views; MariaDB
// sequences are left out. Only SELECTs run, in autocommit mode, so no metadata
// lock outlives the query that took it; a metadata lock wait ends after
// lock_wait_timeout seconds (10 unless the URL says otherwise) with a
// DatabaseError. The queries do not share one snapshot: DDL running during an
// inspection may show in some parts of the document and not in others.

#include <memory>
#include <optional>
#include <string>

#include "kelmarion_meta/tools/source_inspect.h"

struct st_mysql;

namespace kelmarion::meta::detail {

class MysqlInspector final : public SchemaInspector {
 public:
  // Connects with the parts of a mysql:// or mariadb:// URL (see
  // kelmarion_core/detail/mysql_url.h), as utf8mb4, with a session that is
  // read-only. Never reads MYSQL_PWD or option files: a URL without a password
  // logs in with none. Unless the URL sets connect_timeout, a server that does
  // not answer is given up on after 10 seconds.
  // Throws core::ConfigurationError for a URL it cannot read, and
  // core::DatabaseError (the client's error number, its message, never the
  // password) when the connection fails: a wrong host, a refused login.
  explicit MysqlInspector(const std::string& engine_name);

  // See SchemaInspector. An absent name means the URL's database; with none
  // there either, throws core::ConfigurationError. A database the user may not
  // see is, as the server answers, absent (nullopt). Throws core::DatabaseError
  // (error number, server message, SQL) when a query fails or the connection is
  // lost.
  [[nodiscard]] std::optional<nlohmann::ordered_json> get_schema(
      const std::optional<std::string>& schema_name) override;

  // The number of statements the last get_schema() sent to the server.
  [[nodiscard]] int last_query_count() const noexcept { return _last_query_count; }

 private:
  struct ConnectionCloser {
    void operator()(st_mysql* connection) const noexcept;
  };

  std::string _engine_name;       // without its password
  std::string _default_database;  // the URL's
  std::unique_ptr<st_mysql, ConnectionCloser> _connection;
  bool _is_mariadb = false;  // the servers differ in how they report column defaults
  int _last_query_count = 0;
};

}  // namespace kelmarion::meta::detail
