#pragma once

// The SQLite backend of a session: one database connection, the record tables
// created on first use of each record class, and prepared statements kept for
// the session's life. SQLite calls do not suspend: the awaited operations
// complete without yielding.
//
// Identifiers: a write transaction (BEGIN IMMEDIATE) excludes every other
// writer, so new records take the identifiers after the largest stored one,
// handed out here without asking again until the transaction ends.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "kelmarion_core/detail/sqlite_handle.h"
#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core::detail {

class SqliteConnection final : public StoreConnection {
 public:
  // Opens (creating when missing, unless read-only) the store at `path`;
  // ":memory:" or an empty path opens a private in-memory store. Throws
  // DatabaseError when it cannot.
  SqliteConnection(const std::string& path, const SessionOptions& options);

  [[nodiscard]] Dialect dialect() const noexcept override { return Dialect::sqlite; }
  [[nodiscard]] bool in_transaction() const noexcept override;
  asio::awaitable<void> execute(std::string_view sql) override;
  void execute_now(std::string_view sql) override;
  // Write transactions begin IMMEDIATE: they already exclude other writers.
  asio::awaitable<void> lock(std::string_view /*key*/) override { co_return; }
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
  class Use;
  // Whether `record_class`'s table exists, creating it (and the store's version
  // row) when missing unless the connection is read-only. Checks the store's
  // layout first (check_store_layout() throws for a database that is not ours).
  bool _ensure_table(const RecordClass& record_class);
  [[nodiscard]] StoreLayout _read_layout();
  sqlite3_stmt* _statement(const std::string& sql);
  // The INSERT of `rows` rows of `record_class`.
  sqlite3_stmt* _insert_statement(const RecordClass& record_class, std::size_t rows);
  [[nodiscard]] std::string _what(const RecordClass& record_class) const;
  void _bind(sqlite3_stmt* statement, int number, const SqlValue& value, std::string_view what);
  void _bind_cell(sqlite3_stmt* statement, int number, const RowImage& image, std::size_t field,
                  std::string_view what);
  // Steps `statement` to its end, reading each row as a record of `record_class`.
  [[nodiscard]] std::vector<Record> _records(const RecordClass& record_class,
                                             sqlite3_stmt* statement);
  void _read_row_into(const RecordClass& record_class, sqlite3_stmt* statement,
                      RowImage& image) const;
  void _run(sqlite3_stmt* statement, std::string_view what);

  std::string _path;
  bool _read_only;
  std::chrono::milliseconds _lock_timeout;
  // Declared before the statements so that it is destroyed after them.
  SqliteDatabase _db;
  std::unordered_map<std::string, SqliteStatement> _statements;  // by SQL text
  std::map<std::pair<const RecordClass*, std::size_t>, sqlite3_stmt*> _insert_statements;
  std::unordered_set<const RecordClass*> _ready_tables;
  // The next identifier to hand out per class, in this transaction.
  std::unordered_map<const RecordClass*, std::int64_t> _next_ids;
};

}  // namespace kelmarion::core::detail
