#pragma once

// The PostgreSQL backend of a session, through libpq in non-blocking mode: an
// awaited operation sends its statement, then waits for the server on the
// connection's socket through the awaiting coroutine's executor, so the host's
// other coroutines run meanwhile. The plain insert call runs the same exchange
// on a private event loop and blocks its caller until it is done.
//
// Record tables are created on first use of each record class, under a
// transaction-scoped advisory lock so that concurrent first saves do not race.
// Statements are prepared once per session.

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kelmarion_core/detail/postgresql_handle.h"
#include "kelmarion_core/detail/store_connection.h"

namespace kelmarion::core::detail {

class PostgresqlConnection final : public StoreConnection {
 public:
  // Connects (blocking). `location` is the URL without its password.
  PostgresqlConnection(const std::string& url, std::string location);

  [[nodiscard]] Dialect dialect() const noexcept override { return Dialect::postgresql; }
  [[nodiscard]] asio::awaitable<std::optional<Record>> find_first(
      const RecordClass& record_class, const Condition& condition) override;
  [[nodiscard]] asio::awaitable<std::vector<Record>> find_all(
      const RecordClass& record_class, const Condition& condition) override;
  [[nodiscard]] Record insert(const RecordClass& record_class,
                              const nlohmann::ordered_json& data) override;
  [[nodiscard]] asio::awaitable<Record> update(const RecordClass& record_class, std::int64_t id,
                                               const nlohmann::ordered_json& data) override;
  asio::awaitable<void> remove(const RecordClass& record_class, std::int64_t id) override;
  asio::awaitable<void> execute(std::string_view sql) override;
  asio::awaitable<void> lock(std::string_view key) override;
  [[nodiscard]] bool in_transaction() const noexcept override;

 private:
  // The script that creates a record class's table and indexes under the lock.
  [[nodiscard]] std::string _table_script(const RecordClass& record_class) const;
  asio::awaitable<void> _ensure_table(const RecordClass& record_class);
  void _ensure_table_now(const RecordClass& record_class);
  // Runs `sql` with `parameters` as a prepared statement and returns its result.
  asio::awaitable<PgResult> _run(const std::string& sql, const std::vector<SqlValue>& parameters,
                                 std::string_view what);
  // The same, blocking the caller.
  PgResult _run_now(const std::string& sql, const std::vector<SqlValue>& parameters,
                    std::string_view what);
  // Runs `sql`, which may hold several statements, without parameters.
  asio::awaitable<PgResult> _run_script(const std::string& sql, std::string_view what);
  // Sends what libpq has buffered, then collects the results of the statement.
  asio::awaitable<PgResult> _finish(const std::string& sql, std::string_view what);
  asio::awaitable<void> _wait_for_socket(bool for_writing);
  // The name of the statement prepared for `sql`, preparing it on first use.
  asio::awaitable<std::string> _prepared_name(const std::string& sql);
  const std::string& _prepared_name_now(const std::string& sql);
  [[nodiscard]] Record _read_row(const RecordClass& record_class, const pg_result* result,
                                 int row) const;
  [[nodiscard]] std::vector<Record> _read_rows(const RecordClass& record_class,
                                               const pg_result* result) const;

  std::string _location;
  PgConnection _connection;
  std::unordered_map<std::string, std::string> _statement_names;
  std::unordered_set<const RecordClass*> _ready_tables;
};

}  // namespace kelmarion::core::detail
