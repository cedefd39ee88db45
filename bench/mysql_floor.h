#pragma once

// What the MySQL inspection benchmarks read: generated databases on the server
// of KELMARION_TEST_MYSQL_URL, and the floor of an inspection, the same
// information_schema reads our inspector makes with nothing built from them.

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kelmarion::bench {

// Databases of N generated tables (as the other engines' benchmarks: 15
// columns, a primary key, 1-3 foreign keys, 1-3 indexes besides a unique key, a
// view every tenth table), created on first use and dropped when this goes
// away.
class MysqlSchemas {
 public:
  explicit MysqlSchemas(std::string url);
  MysqlSchemas(const MysqlSchemas&) = delete;
  MysqlSchemas& operator=(const MysqlSchemas&) = delete;
  MysqlSchemas(MysqlSchemas&&) = delete;
  MysqlSchemas& operator=(MysqlSchemas&&) = delete;
  ~MysqlSchemas();

  [[nodiscard]] const std::string& url() const noexcept { return _url; }

  // The name of a database holding `tables` generated tables. Throws
  // std::runtime_error when the server refuses.
  const std::string& database_for(int tables);

 private:
  std::string _url;
  std::map<int, std::string> _databases;
};

// One inspection's reads without the document: a new connection set up as our
// inspector's, the database name bound once, then each information_schema query
// our inspector sends, every value of every row touched. Returns the bytes
// read. Throws std::runtime_error when the server fails.
[[nodiscard]] std::size_t mysql_inspect_floor(const std::string& url, const std::string& database);

}  // namespace kelmarion::bench
