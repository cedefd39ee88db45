#include "kelmarion_core/detail/postgresql_handle.h"

#include <fmt/format.h>
#include <libpq-fe.h>

#include <new>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {
namespace {

// libpq's messages end with a newline and may span lines; one line reads better.
std::string one_line(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (auto& c : text) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return text;
}

}  // namespace

void PgConnectionCloser::operator()(pg_conn* connection) const noexcept { PQfinish(connection); }

void PgResultClearer::operator()(pg_result* result) const noexcept { PQclear(result); }

PgConnection connect_postgresql(const std::string& url, std::string_view location) {
  // libpq's own parse errors quote the URL, password and all.
  if (const auto failure = conninfo_parse_failure(url)) {
    throw ConfigurationError(
        fmt::format("store '{}': not a connection string libpq reads: {}", location, *failure));
  }
  PgConnection connection(PQconnectdb(url.c_str()));
  if (!connection) throw std::bad_alloc();
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    auto reason = without_secrets(one_line(PQerrorMessage(connection.get())), url);
    auto text = fmt::format("store '{}': cannot connect: {}", location, reason);
    throw DatabaseError(std::move(text), "", std::move(reason), "");
  }
  return connection;
}

PgResult check_postgresql(PgResult result, pg_conn* connection, std::string_view what,
                          std::string_view sql) {
  const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
  std::string code;
  std::string message;
  if (result) {
    const char* sqlstate = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
    code = sqlstate != nullptr ? sqlstate : "";
    const char* primary = PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY);
    message = primary != nullptr ? primary : one_line(PQresultErrorMessage(result.get()));
  }
  if (message.empty()) message = one_line(PQerrorMessage(connection));
  auto text = fmt::format("{}: {}", what, message);
  if (!code.empty()) text += fmt::format(" (SQLSTATE {})", code);
  if (!sql.empty()) text += fmt::format(" in SQL: {}", sql);
  throw DatabaseError(std::move(text), std::move(code), std::move(message), std::string(sql));
}

}  // namespace kelmarion::core::detail
