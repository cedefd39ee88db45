#pragma once

// The SQLite backend of a session: one database connection, the record tables
// created on first use of each record class, and a cache of prepared statements.
// SQLite calls do not suspend; the awaited operations complete without yielding.

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kelmarion_core/detail/sqlite_handle.h"
#include "kelmarion_core/detail/store_connection.h"

namespace kelmarion::core::detail {

class SqliteConnection final : public StoreConnection {
 public:
  // Opens (creating when missing) the store at `path`; ":memory:" or an empty
  // path opens a private in-memory store. Throws DatabaseError when it cannot.
  explicit SqliteConnection(const std::string& path);

  [[nodiscard]] Dialect dialect() const noexcept override { return Dialect::sqlite; }
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
  // SQLite transactions begin IMMEDIATE: they already exclude other writers.
  asio::awaitable<void> lock(std::string_view /*key*/) override { co_return; }
  [[nodiscard]] bool in_transaction() const noexcept override;

 private:
  void _ensure_table(const RecordClass& record_class);
  sqlite3_stmt* _statement(const std::string& sql);
  void _bind(sqlite3_stmt* statement, const std::vector<SqlValue>& parameters, std::string_view sql);
  [[nodiscard]] Record _read_row(const RecordClass& record_class, sqlite3_stmt* statement) const;
  // Steps a statement that returns at most one row, reading it; resets it after.
  [[nodiscard]] std::optional<Record> _fetch_one(const RecordClass& record_class,
                                                 sqlite3_stmt* statement, std::string_view sql);

  std::string _path;
  // Declared before the statements so that it is destroyed after them.
  SqliteDatabase _db;
  std::unordered_map<std::string, SqliteStatement> _statements;
  std::unordered_set<const RecordClass*> _ready_tables;
};

}  // namespace kelmarion::core::detail
