#include "mysql_floor.h"

#include <fmt/format.h>
#include <mysql.h>
#include <unistd.h>

#include <stdexcept>

#include "kelmarion_core/detail/mysql_url.h"
#include "kelmarion_meta/tools/detail/mysql_queries.h"

namespace kelmarion::bench {
namespace {

namespace queries = meta::detail::mysql_queries;

struct ConnectionCloser {
  void operator()(MYSQL* connection) const noexcept { mysql_close(connection); }
};
using Connection = std::unique_ptr<MYSQL, ConnectionCloser>;

struct StatementCloser {
  void operator()(MYSQL_STMT* statement) const noexcept { mysql_stmt_close(statement); }
};

[[noreturn]] void fail(MYSQL* connection) {
  throw std::runtime_error(std::string("MySQL: ") + mysql_error(connection));
}

enum class Session { inspector, administrator };

// Connected as our inspector connects (utf8mb4, the same session settings), or
// to create and drop databases.
Connection connect(const std::string& url, Session session, unsigned long flags = 0) {
  const auto parsed = core::detail::parse_mysql_url(url);
  Connection connection(mysql_init(nullptr));
  auto* raw = connection.get();
  mysql_options(raw, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (session == Session::inspector) {
    mysql_options(raw, MYSQL_INIT_COMMAND, "SET SESSION lock_wait_timeout = 10");
    mysql_options(raw, MYSQL_INIT_COMMAND, "SET SESSION TRANSACTION READ ONLY");
  }
  const std::string password = parsed.password.value_or("");
  if (mysql_real_connect(
          raw, parsed.host.empty() ? "localhost" : parsed.host.c_str(),
          parsed.user.empty() ? nullptr : parsed.user.c_str(), password.c_str(), nullptr,
          parsed.port, parsed.socket.empty() ? nullptr : parsed.socket.c_str(), flags) == nullptr) {
    fail(raw);
  }
  return connection;
}

void execute_all(MYSQL* connection, const std::string& sql) {
  if (mysql_real_query(connection, sql.data(), sql.size()) != 0) fail(connection);
  for (;;) {
    mysql_free_result(mysql_store_result(connection));
    const int next = mysql_next_result(connection);
    if (next == -1) return;
    if (next > 0) fail(connection);
  }
}

// The DDL of one generated table, as the other engines' benchmarks make it; a
// prefix index stands in for their expression index, which MariaDB lacks.
std::string table_ddl(int number) {
  const auto name = fmt::format("t{}", number);
  const auto parent = [&](int step) { return fmt::format("t{}", number / step); };
  const int foreign_keys = 1 + number % 3;
  auto sql = fmt::format(
      "CREATE TABLE {} (id integer PRIMARY KEY, code "
      "varchar(40) NOT NULL, name varchar(200),"
      " amount numeric(12,2) DEFAULT 0, quantity integer, "
      "active boolean DEFAULT true,"
      " created date, updated timestamp NULL, note text, "
      "score double precision,"
      " flags smallint, ext_ref varchar(64), parent_a "
      "integer, parent_b integer,"
      " parent_c integer, UNIQUE (code), FOREIGN KEY "
      "(parent_a) REFERENCES {} (id)",
      name, parent(2));
  if (foreign_keys >= 2) {
    sql += fmt::format(", FOREIGN KEY (parent_b) REFERENCES {} (id) ON DELETE CASCADE", parent(3));
  }
  if (foreign_keys >= 3) {
    sql += fmt::format(", FOREIGN KEY (parent_c) REFERENCES {} (id) ON DELETE SET NULL", parent(5));
  }
  sql += fmt::format(", KEY {0}_name (name)", name);
  if (number % 3 >= 1) sql += fmt::format(", KEY {0}_qc (quantity, created)", name);
  if (number % 3 == 2) sql += fmt::format(", KEY {0}_ext (ext_ref(10))", name);
  sql += ");\n";
  if (number % 10 == 0) {
    sql +=
        fmt::format("CREATE VIEW v{0} AS SELECT id, code, amount FROM {0} WHERE active;\n", name);
  }
  return sql;
}

}  // namespace

MysqlSchemas::MysqlSchemas(std::string url) : _url(std::move(url)) {}

MysqlSchemas::~MysqlSchemas() {
  if (_databases.empty()) return;
  try {
    const auto connection = connect(_url, Session::administrator, CLIENT_MULTI_STATEMENTS);
    for (const auto& [tables, database] : _databases) {
      execute_all(connection.get(), "DROP DATABASE IF EXISTS " + database);
    }
  } catch (const std::exception&) {
    // Best effort: a database left behind only costs space on a test server.
  }
}

const std::string& MysqlSchemas::database_for(int tables) {
  const auto found = _databases.find(tables);
  if (found != _databases.end()) return found->second;
  const auto database = fmt::format("kelmarion_bench_{}_{}", getpid(), tables);
  const auto connection = connect(_url, Session::administrator, CLIENT_MULTI_STATEMENTS);
  execute_all(connection.get(), fmt::format("DROP DATABASE IF EXISTS {0}; CREATE DATABASE {0};"
                                            " USE {0}; SET SESSION foreign_key_checks = 0",
                                            database));
  _databases.emplace(tables, database);
  constexpr int batch = 200;
  for (int first = 0; first < tables; first += batch) {
    std::string sql;
    for (int number = first; number < std::min(tables, first + batch); ++number) {
      sql += table_ddl(number);
    }
    execute_all(connection.get(), sql);
  }
  return _databases.at(tables);
}

std::size_t mysql_inspect_floor(const std::string& url, const std::string& database) {
  const auto connection = connect(url, Session::inspector);
  auto* raw = connection.get();
  {
    const std::unique_ptr<MYSQL_STMT, StatementCloser> statement(mysql_stmt_init(raw));
    MYSQL_BIND parameter{};
    unsigned long length = database.size();
    parameter.buffer_type = MYSQL_TYPE_STRING;
    // Connector/C reads the buffer only; its API has no const.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
    parameter.buffer = const_cast<char*>(database.data());
    parameter.buffer_length = length;
    parameter.length = &length;
    if (mysql_stmt_prepare(statement.get(), queries::bind_schema.data(),
                           queries::bind_schema.size()) != 0 ||
        mysql_stmt_bind_param(statement.get(), &parameter) != 0 ||
        mysql_stmt_execute(statement.get()) != 0) {
      throw std::runtime_error(std::string("MySQL: ") + mysql_stmt_error(statement.get()));
    }
  }
  std::size_t bytes = 0;
  for (const auto sql : queries::catalog_reads) {
    if (mysql_real_query(raw, sql.data(), sql.size()) != 0) fail(raw);
    MYSQL_RES* result = mysql_store_result(raw);
    if (result == nullptr) fail(raw);
    const auto columns = mysql_num_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
      const auto* lengths = mysql_fetch_lengths(result);
      for (unsigned column = 0; column < columns; ++column) {
        if (row[column] != nullptr)
          bytes += lengths[column] + static_cast<unsigned char>(row[column][0]);
      }
    }
    mysql_free_result(result);
  }
  return bytes;
}

}  // namespace kelmarion::bench
