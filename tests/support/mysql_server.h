#pragma once

// The MariaDB server the test command starts (scripts/with_mariadb.sh), and an
// administrator's connection to it for setting up databases and users.

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct st_mysql;

namespace kelmarion::testing {

// The URL of the test server (KELMARION_TEST_MYSQL_URL, a mysql:// URL of its
// administrator over a unix socket), or nullopt when none is configured.
[[nodiscard]] std::optional<std::string> mysql_test_url();

// `url` with its user information, database and parameters replaced: the same
// server and socket, as `user` (with `password` when it is not empty) on
// `database`, followed by `extra` parameters ("a=1&b=2") when not empty.
[[nodiscard]] std::string mysql_url_as(const std::string& url, const std::string& user,
                                       const std::string& password, const std::string& database,
                                       const std::string& extra = "");

// An administrator's connection that creates databases for a test and drops
// them when it goes away. Throws std::runtime_error when the server cannot be
// reached.
class MysqlAdmin {
 public:
  explicit MysqlAdmin(const std::string& url);
  MysqlAdmin(const MysqlAdmin&) = delete;
  MysqlAdmin& operator=(const MysqlAdmin&) = delete;
  MysqlAdmin(MysqlAdmin&&) = delete;
  MysqlAdmin& operator=(MysqlAdmin&&) = delete;
  ~MysqlAdmin();

  // Runs one or more statements separated by ';'; throws std::runtime_error
  // with the server's message when one fails.
  void execute(const std::string& sql);

  // Creates a database named `prefix` plus random digits (and `suffix`), to be
  // dropped with this connection; returns its name.
  std::string create_database(const std::string& prefix, const std::string& suffix = "");

 private:
  struct Closer {
    void operator()(st_mysql* connection) const noexcept;
  };
  std::unique_ptr<st_mysql, Closer> _connection;
  std::vector<std::string> _databases;
};

// The name quoted as a MySQL identifier: `a``b`.
[[nodiscard]] std::string mysql_quote(const std::string& name);

}  // namespace kelmarion::testing
