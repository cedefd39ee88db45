#pragma once

// The SQLite backend of a session: one database connection, the record tables
// created on first use of each record class, and a cache of prepared statements
// keyed by what decides their text (the record class, the statement's kind and
// which fields it writes or compares), so that a statement is rendered and
// prepared once per connection and values are bound straight from the data.
// SQLite calls do not suspend; the awaited operations complete without yielding.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "kelmarion_core/detail/sqlite_created_records.h"
#include "kelmarion_core/detail/sqlite_handle.h"
#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core::detail {

class SqliteConnection final : public StoreConnection, public ImmediateStore {
 public:
  // Opens (creating when missing, unless read-only) the store at `path`;
  // ":memory:" or an empty path opens a private in-memory store. Throws
  // DatabaseError when it cannot.
  SqliteConnection(const std::string& path, const SessionOptions& options);
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;
  SqliteConnection(SqliteConnection&&) = delete;
  SqliteConnection& operator=(SqliteConnection&&) = delete;
  // Reads the records still held that were handed out unread.
  ~SqliteConnection() override;

  [[nodiscard]] Dialect dialect() const noexcept override { return Dialect::sqlite; }
  [[nodiscard]] asio::awaitable<std::optional<Record>> find_first(
      const RecordClass& record_class, const Condition& condition) override;
  [[nodiscard]] asio::awaitable<std::vector<Record>> find_all(const RecordClass& record_class,
                                                              const Condition& condition) override;
  [[nodiscard]] Record insert(const RecordClass& record_class,
                              const nlohmann::ordered_json& data) override;
  [[nodiscard]] asio::awaitable<Record> update(const RecordClass& record_class, std::int64_t id,
                                               const nlohmann::ordered_json& data) override;
  asio::awaitable<void> remove(const RecordClass& record_class, std::int64_t id) override;
  asio::awaitable<void> execute(std::string_view sql) override;
  // SQLite transactions begin IMMEDIATE: they already exclude other writers.
  asio::awaitable<void> lock(std::string_view /*key*/) override { co_return; }
  [[nodiscard]] bool in_transaction() const noexcept override;

  [[nodiscard]] ImmediateStore* immediate() noexcept override { return this; }
  [[nodiscard]] std::optional<Record> find_first_now(const RecordClass& record_class,
                                                     const Condition& condition) override;
  [[nodiscard]] Record update_now(const RecordClass& record_class, std::int64_t id,
                                  const nlohmann::ordered_json& data) override;

 private:
  // What a cached statement does; with the record class and the shape of its
  // fields or terms, it decides the SQL text, so the text is rendered once.
  enum class StatementKind : std::uint8_t {
    select_first,
    select_first_id,
    select_all,
    select_by_id,
    insert,
    update,
    remove
  };
  struct StatementKey {
    const RecordClass* record_class;
    StatementKind kind;
    std::uint64_t shape;  // the mask of written fields, or the encoded lookup terms
    bool operator==(const StatementKey&) const = default;
  };
  struct StatementKeyHash {
    std::size_t operator()(const StatementKey& key) const noexcept;
  };
  struct CachedStatement {
    std::string sql;  // for error messages
    SqliteStatement statement;
  };

  class Rows;
  // Every operation starts here: it takes the lock that reading a handed-out
  // record also takes, then _settle()s.
  [[nodiscard]] std::unique_lock<std::recursive_mutex> _use();
  // Reads each record handed out unread that is still held elsewhere.
  void _settle();
  // True when no record can satisfy `condition`, which looks under a parent
  // created in this transaction, as known without a query (see CreatedRecords).
  [[nodiscard]] bool _finds_nothing(const RecordClass& record_class, const Condition& condition,
                                    std::uint64_t shape);
  // Whether a stored record of `child_class` refers through `link_field` to an
  // identifier at or above `first_parent`.
  [[nodiscard]] bool _stored_children(const RecordClass& child_class, std::string_view link_field,
                                      std::int64_t first_parent);
  // A record of the stored row `id`, read when first needed.
  [[nodiscard]] Record _hand_out(const RecordClass& record_class, std::int64_t id);
  void _read_by_id_into(const RecordClass& record_class, std::int64_t id, RowImage& image);
  // Whether `record_class`'s table exists, creating it (and the store's version
  // row) when missing unless the connection is read-only. Checks the store's
  // layout first (check_store_layout() throws for a database that is not ours).
  bool _ensure_table(const RecordClass& record_class);
  [[nodiscard]] StoreLayout _read_layout();
  // ConfigurationError for a write on a read-only connection.
  void _refuse_write(const RecordClass& record_class) const;
  sqlite3_stmt* _statement(const std::string& sql);
  // The cached statement for `key`, prepared from `render()` on first use.
  template <typename Render>
  CachedStatement& _cached(const StatementKey& key, Render render);
  // Binds the lookup values of `condition` (its non-null terms, in order) from ?1
  // on; `shape` is its lookup_shape(), which names each term's field.
  void _bind_terms(const RecordClass& record_class, const Condition& condition, std::uint64_t shape,
                   const CachedStatement& statement);
  // A key of record data and the index of the field it names, if any.
  struct KeyAt {
    std::string key;
    std::optional<std::size_t> index;
  };
  // The keys of the last data of `record_class` collected, in their order.
  std::vector<KeyAt>& _key_order_of(const RecordClass& record_class);
  // The index of the field `key` names, `key` being at `position` in the data:
  // entries of one list have the same keys in the same order, so a key is mostly
  // the one `known` holds at its position, found with one comparison.
  static std::optional<std::size_t> _field_at(const RecordClass& record_class,
                                              std::vector<KeyAt>& known, std::size_t position,
                                              const std::string& key);
  // Walks `data` once, converting what needs converting; returns the mask of the
  // fields it gives (the identifier excluded). Fills _given / _converted.
  std::uint64_t _collect(const RecordClass& record_class, const nlohmann::ordered_json& data);
  // Binds the collected fields of `mask` in field order from ?1 on; returns the count.
  int _bind_collected(const RecordClass& record_class, std::uint64_t mask,
                      const CachedStatement& statement);
  void _bind(sqlite3_stmt* statement, const std::vector<SqlValue>& parameters,
             std::string_view sql);
  void _bind_value(sqlite3_stmt* statement, int number, const SqlValue& value,
                   std::string_view sql);
  [[nodiscard]] Record _read_row(const RecordClass& record_class, sqlite3_stmt* statement) const;
  void _read_row_into(const RecordClass& record_class, sqlite3_stmt* statement,
                      RowImage& image) const;
  // Runs a statement that returns no rows to its end; resets it after.
  void _run(const RecordClass& record_class, const CachedStatement& statement);
  // The stored record `id`, or nullopt.
  [[nodiscard]] std::optional<Record> _read_by_id(const RecordClass& record_class, std::int64_t id);
  // The record `id` just inserted with the collected fields of `mask`: what
  // reading it back would give, worked out from the values bound.
  [[nodiscard]] Record _inserted_record(const RecordClass& record_class, std::uint64_t mask,
                                        std::int64_t id) const;
  // Steps a statement that returns at most one row, reading it; resets it after.
  [[nodiscard]] std::optional<Record> _fetch_one(const RecordClass& record_class,
                                                 sqlite3_stmt* statement, std::string_view sql);

  std::string _path;
  bool _read_only;
  std::chrono::milliseconds _lock_timeout;
  // Declared before the statements so that it is destroyed after them.
  SqliteDatabase _db;
  std::unordered_map<std::string, SqliteStatement> _statements;  // by SQL text (table creation)
  std::unordered_map<StatementKey, CachedStatement, StatementKeyHash> _cached_statements;
  std::unordered_set<const RecordClass*> _ready_tables;
  // The data of the record being written, by field index: the document value as
  // given, or (when it needed converting) its converted value.
  std::vector<const nlohmann::ordered_json*> _given;
  std::vector<SqlValue> _converted;
  std::vector<std::pair<const RecordClass*, std::vector<KeyAt>>> _key_order;
  // Records handed out before their rows were read, which _settle() reads when
  // still held, before the next operation; and what reads them.
  std::vector<Record> _handed_out;
  CreatedRecords _created_records{
      [this](const RecordClass& child_class, std::string_view link_field, std::int64_t first) {
        return _stored_children(child_class, link_field, first);
      }};
  std::shared_ptr<Rows> _rows;
};

}  // namespace kelmarion::core::detail
