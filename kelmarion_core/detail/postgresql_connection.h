#pragma once

// The PostgreSQL backend of a session, through libpq in non-blocking mode: an
// awaited operation sends its statement, then waits for the server on the
// connection's socket through the awaiting coroutine's executor, so the host's
// other coroutines run meanwhile. The plain ("_now") forms block their caller
// in libpq's own wait.
//
// Before its first use of a record table the connection checks the store's
// layout (see check_store_layout()); a missing table is then created under a
// transaction-scoped advisory lock, taken only when something must be created,
// so that concurrent first saves do not race while later saves never wait for
// each other. Every lock wait is bounded by the session's lock timeout.
// Statements are prepared once per session. Writes go as arrays, one statement
// per class and kind of write; identifiers come from the tables' sequences.

#include <chrono>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kelmarion_core/detail/postgresql_handle.h"
#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core::detail {

class PostgresqlConnection final : public StoreConnection {
 public:
  // Connects (blocking). `location` is the URL without its password.
  PostgresqlConnection(const std::string& url, std::string location, const SessionOptions& options);

  [[nodiscard]] Dialect dialect() const noexcept override { return Dialect::postgresql; }
  [[nodiscard]] bool in_transaction() const noexcept override;
  asio::awaitable<void> execute(std::string_view sql) override;
  void execute_now(std::string_view sql) override;
  asio::awaitable<void> lock(std::string_view key) override;
  [[nodiscard]] asio::awaitable<std::vector<Record>> select(const RecordClass& record_class,
                                                            const Condition& condition) override;
  [[nodiscard]] asio::awaitable<std::vector<Record>> select_children(
      const RecordClass& record_class, std::size_t link_field,
      const std::vector<std::int64_t>& parents) override;
  [[nodiscard]] asio::awaitable<bool> refers_to_any(
      const RecordClass& record_class, std::size_t link_field,
      const std::vector<std::int64_t>& parents) override;
  [[nodiscard]] asio::awaitable<std::vector<std::int64_t>> select_ids_under(
      const RecordClass& record_class, const std::vector<ParentStep>& path,
      std::int64_t root) override;
  [[nodiscard]] asio::awaitable<std::vector<std::int64_t>> reserve(const RecordClass& record_class,
                                                                   std::size_t count) override;
  [[nodiscard]] std::vector<std::int64_t> reserve_now(const RecordClass& record_class,
                                                      std::size_t count) override;
  asio::awaitable<void> write(const ClassWrites& writes) override;
  void write_now(const ClassWrites& writes) override;

 private:
  // One statement of a flush: its text and its parameters, as libpq takes them.
  struct Statement {
    std::string sql;
    std::vector<std::string> parameters;
  };
  [[nodiscard]] std::vector<Statement> _statements_for(const ClassWrites& writes) const;

  // The script that creates a record class's table and indexes under the lock,
  // and the version table first when `layout` has none.
  // The statements that upgrade a store of layout `from`, and what they do.
  [[nodiscard]] std::string _upgrade_script(int from) const;
  [[nodiscard]] std::string _upgrade_what(int from) const;
  [[nodiscard]] std::string _table_script(const RecordClass& record_class,
                                          const StoreLayout& layout) const;
  // Whether `record_class`'s table exists, creating it when missing unless the
  // connection is read-only, after checking the store's layout.
  asio::awaitable<bool> _ensure_table(const RecordClass& record_class);
  bool _ensure_table_now(const RecordClass& record_class);
  [[nodiscard]] StoreLayout _layout_from(const PgResult& tables, const PgResult* versions) const;
  // `error` (a lock wait that ran out, SQLSTATE 55P03) said in terms of what
  // was waited for; any other error as it is.
  [[nodiscard]] DatabaseError _lock_wait_failure(const DatabaseError& error,
                                                 std::string_view waited_for) const;
  [[nodiscard]] std::string _what(const RecordClass& record_class) const;
  // Runs `sql` with text `parameters` as a prepared statement and returns its result.
  asio::awaitable<PgResult> _run(const std::string& sql, const std::vector<std::string>& parameters,
                                 std::string_view what);
  // The same, blocking the caller.
  PgResult _run_now(const std::string& sql, const std::vector<std::string>& parameters,
                    std::string_view what);
  // Runs `sql`, which may hold several statements, without parameters.
  asio::awaitable<PgResult> _run_script(const std::string& sql, std::string_view what);
  PgResult _run_script_now(const std::string& sql, std::string_view what);
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
  [[nodiscard]] std::vector<std::string> _reserve_parameters(const RecordClass& record_class,
                                                             std::size_t count) const;

  std::string _location;
  bool _read_only;
  std::chrono::milliseconds _lock_timeout;
  PgConnection _connection;
  std::unordered_map<std::string, std::string> _statement_names;
  std::size_t _statement_count = 0;
  std::unordered_set<const RecordClass*> _ready_tables;
};

}  // namespace kelmarion::core::detail
