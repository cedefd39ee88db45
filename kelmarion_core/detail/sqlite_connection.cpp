#include "kelmarion_core/detail/sqlite_connection.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {
namespace {

constexpr int busy_timeout_ms = 5000;

// Resets a statement on every path out of a use, so that it neither holds a read
// lock nor keeps a failed state for its next use.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* statement) : _statement(statement) {}
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  StatementUse(StatementUse&&) = delete;
  StatementUse& operator=(StatementUse&&) = delete;
  ~StatementUse() { sqlite3_reset(_statement); }

 private:
  sqlite3_stmt* _statement;
};

}  // namespace

SqliteConnection::SqliteConnection(const std::string& path)
    : _path(path.empty() ? ":memory:" : path),
      _db(open_sqlite(_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      fmt::format("open store '{}'", _path))) {
  check_sqlite(sqlite3_busy_timeout(_db.get(), busy_timeout_ms), _db.get(), "set busy timeout");
}

void SqliteConnection::_ensure_table(const RecordClass& record_class) {
  if (_ready_tables.contains(&record_class)) return;
  std::vector<std::string> statements;
  if (_ready_tables.empty()) statements = version_table_ddl(Dialect::sqlite);
  for (auto& statement : record_table_ddl(record_class, Dialect::sqlite)) {
    statements.push_back(std::move(statement));
  }
  for (const auto& sql : statements) {
    auto* statement = _statement(sql);
    const StatementUse use(statement);
    check_sqlite(sqlite3_step(statement), _db.get(),
                 fmt::format("create table '{}' in store '{}'", record_class.table_name(), _path),
                 sql);
  }
  _ready_tables.insert(&record_class);
}

sqlite3_stmt* SqliteConnection::_statement(const std::string& sql) {
  auto found = _statements.find(sql);
  if (found == _statements.end()) {
    found = _statements.emplace(sql, prepare_sqlite(_db.get(), sql)).first;
  }
  return found->second.get();
}

void SqliteConnection::_bind(sqlite3_stmt* statement, const std::vector<SqlValue>& parameters,
                             std::string_view sql) {
  int number = 0;
  for (const auto& parameter : parameters) {
    ++number;
    int result = SQLITE_OK;
    if (const auto* integer = std::get_if<std::int64_t>(&parameter)) {
      result = sqlite3_bind_int64(statement, number, *integer);
    } else if (const auto* text = std::get_if<std::string>(&parameter)) {
      // The parameters outlive the statement's step, so SQLite need not copy them.
      result = sqlite3_bind_text64(statement, number, text->data(), text->size(), SQLITE_STATIC,
                                   SQLITE_UTF8);
    } else {
      result = sqlite3_bind_null(statement, number);
    }
    check_sqlite(result, _db.get(), "bind parameter", sql);
  }
}

Record SqliteConnection::_read_row(const RecordClass& record_class,
                                   sqlite3_stmt* statement) const {
  const auto fields = record_class.fields();
  std::vector<nlohmann::ordered_json> values;
  values.reserve(fields.size());
  for (int i = 0; i < static_cast<int>(fields.size()); ++i) {
    const auto kind = fields[static_cast<std::size_t>(i)].kind;
    const int type = sqlite3_column_type(statement, i);
    if (type == SQLITE_NULL) {
      values.emplace_back(nullptr);
    } else if (kind == FieldKind::integer) {
      values.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement, i)));
    } else if (kind == FieldKind::boolean) {
      values.emplace_back(sqlite3_column_int64(statement, i) != 0);
    } else {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
      const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, i));
      values.push_back(from_stored_text(kind, std::string_view(text, size)));
    }
  }
  return Record(record_class, std::move(values));
}

std::optional<Record> SqliteConnection::_fetch_one(const RecordClass& record_class,
                                                   sqlite3_stmt* statement, std::string_view sql) {
  const StatementUse use(statement);
  const auto what = fmt::format("store '{}', table '{}'", _path, record_class.table_name());
  std::optional<Record> row;
  while (check_sqlite(sqlite3_step(statement), _db.get(), what, sql) == SQLITE_ROW) {
    if (!row) row = _read_row(record_class, statement);
  }
  return row;
}

asio::awaitable<std::optional<Record>> SqliteConnection::find_first(
    const RecordClass& record_class, const Condition& condition) {
  _ensure_table(record_class);
  const auto select = render_select_first(record_class, condition, Dialect::sqlite);
  auto* statement = _statement(select.sql);
  _bind(statement, select.parameters, select.sql);
  co_return _fetch_one(record_class, statement, select.sql);
}

asio::awaitable<std::vector<Record>> SqliteConnection::find_all(const RecordClass& record_class,
                                                                const Condition& condition) {
  _ensure_table(record_class);
  const auto select = render_select_all(record_class, condition, Dialect::sqlite);
  auto* statement = _statement(select.sql);
  _bind(statement, select.parameters, select.sql);
  const StatementUse use(statement);
  const auto what = fmt::format("store '{}', table '{}'", _path, record_class.table_name());
  std::vector<Record> records;
  while (check_sqlite(sqlite3_step(statement), _db.get(), what, select.sql) == SQLITE_ROW) {
    records.push_back(_read_row(record_class, statement));
  }
  co_return records;
}

Record SqliteConnection::insert(const RecordClass& record_class,
                                const nlohmann::ordered_json& data) {
  auto given = collect_field_values(record_class, data);
  _ensure_table(record_class);
  const auto sql = render_insert(record_class, given.mask, Dialect::sqlite);
  auto parameters = present_values(std::move(given));
  auto* statement = _statement(sql);
  _bind(statement, parameters, sql);
  auto row = _fetch_one(record_class, statement, sql);
  if (!row) {
    throw DatabaseError(fmt::format("store '{}', table '{}': insert returned no record", _path,
                                    record_class.table_name()),
                        "", "", sql);
  }
  return std::move(*row);
}

asio::awaitable<Record> SqliteConnection::update(const RecordClass& record_class, std::int64_t id,
                                                 const nlohmann::ordered_json& data) {
  auto given = collect_field_values(record_class, data);
  _ensure_table(record_class);
  const auto sql = render_update(record_class, given.mask, Dialect::sqlite);
  auto parameters = present_values(std::move(given));
  parameters.emplace_back(id);
  auto* statement = _statement(sql);
  _bind(statement, parameters, sql);
  auto row = _fetch_one(record_class, statement, sql);
  if (!row) {
    throw DatabaseError(fmt::format("store '{}', table '{}': no record with {} {} to update", _path,
                                    record_class.table_name(), record_class.id_field(), id),
                        "", "", sql);
  }
  co_return std::move(*row);
}

asio::awaitable<void> SqliteConnection::remove(const RecordClass& record_class, std::int64_t id) {
  _ensure_table(record_class);
  const auto sql = render_delete(record_class, Dialect::sqlite);
  auto* statement = _statement(sql);
  _bind(statement, {SqlValue{id}}, sql);
  (void)_fetch_one(record_class, statement, sql);
  co_return;
}

asio::awaitable<void> SqliteConnection::execute(std::string_view sql) {
  const std::string text(sql);
  check_sqlite(sqlite3_exec(_db.get(), text.c_str(), nullptr, nullptr, nullptr), _db.get(),
               fmt::format("store '{}'", _path), sql);
  // A rollback may have undone tables created inside the transaction: check again.
  if (text.starts_with("ROLLBACK")) _ready_tables.clear();
  co_return;
}

bool SqliteConnection::in_transaction() const noexcept {
  return sqlite3_get_autocommit(_db.get()) == 0;
}

}  // namespace kelmarion::core::detail
