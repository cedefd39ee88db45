#include "support/mysql_server.h"

#include <mysql.h>

#include <cstdlib>
#include <stdexcept>

#include "kelmarion_core/detail/mysql_url.h"
#include "support/test_support.h"

namespace kelmarion::testing {

std::optional<std::string> mysql_test_url() {
  const char* url = std::getenv("KELMARION_TEST_MYSQL_URL");
  if (url == nullptr || *url == '\0') return std::nullopt;
  return std::string(url);
}

std::string mysql_url_as(const std::string& url, const std::string& user,
                         const std::string& password, const std::string& database,
                         const std::string& extra) {
  const auto parsed = core::detail::parse_mysql_url(url);
  std::string result = parsed.scheme + "://" + user;
  if (!password.empty()) result += ":" + password;
  result += "@" + (parsed.host.empty() ? std::string("localhost") : parsed.host);
  if (parsed.port != 0) result += ":" + std::to_string(parsed.port);
  result += "/" + database;
  std::string parameters = parsed.socket.empty() ? "" : "socket=" + parsed.socket;
  if (!extra.empty()) parameters += (parameters.empty() ? "" : "&") + extra;
  if (!parameters.empty()) result += "?" + parameters;
  return result;
}

void MysqlAdmin::Closer::operator()(st_mysql* connection) const noexcept {
  mysql_close(connection);
}

MysqlAdmin::MysqlAdmin(const std::string& url) : _connection(mysql_init(nullptr)) {
  const auto parsed = core::detail::parse_mysql_url(url);
  mysql_options(_connection.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
  const std::string password = parsed.password.value_or("");
  if (mysql_real_connect(_connection.get(), parsed.host.empty() ? "localhost" : parsed.host.c_str(),
                         parsed.user.c_str(), password.c_str(), nullptr, parsed.port,
                         parsed.socket.empty() ? nullptr : parsed.socket.c_str(),
                         CLIENT_MULTI_STATEMENTS) == nullptr) {
    throw std::runtime_error("KELMARION_TEST_MYSQL_URL is set, but the server cannot be reached: " +
                             std::string(mysql_error(_connection.get())));
  }
}

MysqlAdmin::~MysqlAdmin() {
  for (const auto& database : _databases) {
    // Best effort: a leftover database on a throwaway server does no harm.
    const auto sql = "DROP DATABASE IF EXISTS " + mysql_quote(database);
    if (mysql_real_query(_connection.get(), sql.data(), sql.size()) == 0) {
      while (mysql_next_result(_connection.get()) == 0) {
      }
    }
  }
}

void MysqlAdmin::execute(const std::string& sql) {
  auto* connection = _connection.get();
  bool failed = mysql_real_query(connection, sql.data(), sql.size()) != 0;
  while (!failed) {
    mysql_free_result(mysql_store_result(connection));
    const int next = mysql_next_result(connection);
    if (next == -1) return;
    failed = next > 0;
  }
  throw std::runtime_error("test SQL failed: " + std::string(mysql_error(connection)) +
                           " in: " + sql);
}

std::string MysqlAdmin::create_database(const std::string& prefix, const std::string& suffix) {
  auto name = unique_name(prefix) + suffix;
  execute("CREATE DATABASE " + mysql_quote(name));
  _databases.push_back(name);
  return name;
}

std::string mysql_quote(const std::string& name) {
  std::string quoted = "`";
  for (const char c : name) quoted += c == '`' ? std::string("``") : std::string(1, c);
  return quoted + "`";
}

}  // namespace kelmarion::testing
