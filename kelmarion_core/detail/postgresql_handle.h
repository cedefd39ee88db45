#pragma once

// Owning handles for libpq and the checks every libpq result goes through.

#include <memory>
#include <string>
#include <string_view>

struct pg_conn;
struct pg_result;

namespace kelmarion::core::detail {

struct PgConnectionCloser {
  void operator()(pg_conn* connection) const noexcept;
};
struct PgResultClearer {
  void operator()(pg_result* result) const noexcept;
};
using PgConnection = std::unique_ptr<pg_conn, PgConnectionCloser>;
using PgResult = std::unique_ptr<pg_result, PgResultClearer>;

// Connects with libpq (blocking). `location` is the URL without its password,
// for messages. Throws ConfigurationError naming it when libpq cannot parse `url`,
// and DatabaseError when the connection fails (server down, wrong host, refused
// login).
[[nodiscard]] PgConnection connect_postgresql(const std::string& url, std::string_view location);

// Returns `result` when it holds rows or a completed command; otherwise throws
// DatabaseError with the SQLSTATE, PostgreSQL's message and `sql`. A null result
// is reported with the connection's message.
PgResult check_postgresql(PgResult result, pg_conn* connection, std::string_view what,
                          std::string_view sql);

}  // namespace kelmarion::core::detail
