#include "kelmarion_core/detail/sqlite_connection.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <limits>

#include "kelmarion_core/detail/duration_text.h"
#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {
namespace {

// Text columns of a row read at once before they are copied (the rest are copied
// one by one).
constexpr std::size_t inline_row_texts = 16;
// Rows one INSERT statement writes at most (a power of two), unless SQLite's
// limit of parameters allows fewer.
constexpr std::size_t rows_per_insert = 32;

// Resets a statement on every path out of a use, so that it neither holds a read
// lock nor keeps a failed state for its next use.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* statement) : _statement(statement) {}
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  StatementUse(StatementUse&&) = delete;
  StatementUse& operator=(StatementUse&&) = delete;
  ~StatementUse() {
    sqlite3_reset(_statement);
    sqlite3_clear_bindings(_statement);
  }

 private:
  sqlite3_stmt* _statement;
};

std::string json_list(const std::vector<std::int64_t>& ids) {
  std::string list = "[";
  for (const auto id : ids) {
    if (list.size() > 1) list += ',';
    list += std::to_string(id);
  }
  list += ']';
  return list;
}

}  // namespace

SqliteConnection::SqliteConnection(const std::string& path, const SessionOptions& options)
    : _path(path.empty() ? ":memory:" : path),
      _read_only(options.read_only),
      _lock_timeout(options.lock_timeout),
      _db(open_sqlite(
          _path,
          (options.read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
              SQLITE_OPEN_NOMUTEX,
          fmt::format("open store '{}'", _path))) {
  const auto timeout = std::clamp<std::chrono::milliseconds::rep>(options.lock_timeout.count(), 0,
                                                                  std::numeric_limits<int>::max());
  check_sqlite(sqlite3_busy_timeout(_db.get(), static_cast<int>(timeout)), _db.get(),
               "set busy timeout");
}

std::string SqliteConnection::_what(const RecordClass& record_class) const {
  return fmt::format("store '{}', table '{}'", _path, record_class.table_name());
}

StoreLayout SqliteConnection::_read_layout() {
  const auto what = fmt::format("store '{}': read its layout", _path);
  StoreLayout layout;
  const auto tables_sql = existing_tables_sql(Dialect::sqlite);
  auto* tables = _statement(tables_sql);
  {
    const StatementUse use(tables);
    while (check_sqlite(sqlite3_step(tables), _db.get(), what, tables_sql) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(tables, 0));
      if (name != nullptr) note_existing_table(layout, name);
    }
  }
  if (layout.versioned()) {
    const auto versions_sql = version_rows_sql();
    auto* versions = _statement(versions_sql);
    const StatementUse use(versions);
    while (check_sqlite(sqlite3_step(versions), _db.get(), what, versions_sql) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(versions, 0));
      layout.versions.push_back(text != nullptr ? std::optional<std::string>(text) : std::nullopt);
    }
  }
  check_store_layout(layout, _path);
  return layout;
}

bool SqliteConnection::_ensure_table(const RecordClass& record_class) {
  if (_ready_tables.contains(&record_class)) return true;
  const auto layout = _read_layout();
  if (!_read_only && needs_upgrade(layout)) {
    for (const auto& sql : layout_upgrade_sql(layout.number)) {
      auto* statement = _statement(sql);
      const StatementUse use(statement);
      check_sqlite(sqlite3_step(statement), _db.get(),
                   fmt::format("upgrade store '{}' from layout {}", _path, layout.number), sql);
    }
  }
  layout.add_existing(_ready_tables);
  if (layout.tables.contains(record_class.table_name())) {
    _ready_tables.insert(&record_class);
    return true;
  }
  if (_read_only) return false;  // no table yet: no records
  std::vector<std::string> statements;
  if (!layout.versioned()) statements = version_table_ddl(Dialect::sqlite);
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
  return true;
}

sqlite3_stmt* SqliteConnection::_insert_statement(const RecordClass& record_class,
                                                  std::size_t rows) {
  auto& statement = _insert_statements[{&record_class, rows}];
  if (statement == nullptr) statement = _statement(render_insert_rows(record_class, rows));
  return statement;
}

sqlite3_stmt* SqliteConnection::_statement(const std::string& sql) {
  auto found = _statements.find(sql);
  if (found == _statements.end()) {
    found = _statements.emplace(sql, prepare_sqlite(_db.get(), sql)).first;
  }
  return found->second.get();
}

void SqliteConnection::_bind(sqlite3_stmt* statement, int number, const SqlValue& value,
                             std::string_view what) {
  int result = SQLITE_OK;
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    result = sqlite3_bind_int64(statement, number, *integer);
  } else if (const auto* text = std::get_if<std::string>(&value)) {
    // The values outlive the statement's step, so SQLite need not copy them.
    result = sqlite3_bind_text64(statement, number, text->data(), text->size(), SQLITE_STATIC,
                                 SQLITE_UTF8);
  } else {
    result = sqlite3_bind_null(statement, number);
  }
  check_sqlite(result, _db.get(), what, statement);
}

void SqliteConnection::_bind_cell(sqlite3_stmt* statement, int number, const RowImage& image,
                                  std::size_t field, std::string_view what) {
  int result = SQLITE_OK;
  switch (image.kind(field)) {
    case RowImage::CellKind::integer:
      result = sqlite3_bind_int64(statement, number, image.integer(field));
      break;
    case RowImage::CellKind::text: {
      const auto text = image.text(field);
      result = sqlite3_bind_text64(statement, number, text.data(), text.size(), SQLITE_STATIC,
                                   SQLITE_UTF8);
      break;
    }
    case RowImage::CellKind::null:
      result = sqlite3_bind_null(statement, number);
      break;
  }
  check_sqlite(result, _db.get(), what, statement);
}

void SqliteConnection::_read_row_into(const RecordClass& record_class, sqlite3_stmt* statement,
                                      RowImage& image) const {
  const auto fields = record_class.fields();
  // Texts are copied once their total is known: SQLite keeps each column's text
  // until the next step, however many other columns are read.
  struct Text {
    std::size_t field;
    std::string_view bytes;
  };
  std::array<Text, inline_row_texts> texts{};
  std::size_t text_count = 0;
  std::size_t text_bytes = 0;
  const auto holds_integer = [&fields](std::size_t i) {
    return fields[i].kind == FieldKind::integer || fields[i].kind == FieldKind::boolean;
  };
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto column = static_cast<int>(i);
    if (holds_integer(i) || sqlite3_column_type(statement, column) == SQLITE_NULL) continue;
    // The bytes as stored: sqlite3_column_text() would copy each text that is
    // not NUL-terminated in the page (most are) to terminate it.
    const auto* text = static_cast<const char*>(sqlite3_column_blob(statement, column));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
    if (text == nullptr && size != 0) {
      throw_sqlite_statement_error(SQLITE_NOMEM, _db.get(), _what(record_class), statement);
    }
    const std::string_view bytes(size == 0 ? "" : text, size);
    if (text_count == texts.size()) {
      image.set_text(i, bytes);
    } else {
      texts[text_count++] = Text{i, bytes};
      text_bytes += bytes.size();
    }
  }
  // The texts' room first, so that the image is allocated once.
  image.reserve_text(text_bytes);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto column = static_cast<int>(i);
    if (holds_integer(i) && sqlite3_column_type(statement, column) != SQLITE_NULL) {
      image.set_integer(i, sqlite3_column_int64(statement, column));
    }
  }
  for (std::size_t k = 0; k < text_count; ++k) image.set_text(texts[k].field, texts[k].bytes);
}

std::vector<Record> SqliteConnection::_records(const RecordClass& record_class,
                                               sqlite3_stmt* statement) {
  const StatementUse use(statement);
  const auto what = _what(record_class);
  std::vector<Record> records;
  while (check_sqlite(sqlite3_step(statement), _db.get(), what, statement) == SQLITE_ROW) {
    records.push_back(Record::from_image(
        record_class, [&](RowImage& image) { _read_row_into(record_class, statement, image); }));
  }
  return records;
}

void SqliteConnection::_run(sqlite3_stmt* statement, std::string_view what) {
  const StatementUse use(statement);
  check_sqlite(sqlite3_step(statement), _db.get(), what, statement);
}

asio::awaitable<std::vector<Record>> SqliteConnection::select(const RecordClass& record_class,
                                                              const Condition& condition) {
  if (!_ensure_table(record_class)) co_return std::vector<Record>{};
  const auto rendered = render_select_all(record_class, condition, Dialect::sqlite);
  auto* statement = _statement(rendered.sql);
  for (std::size_t i = 0; i < rendered.parameters.size(); ++i) {
    _bind(statement, static_cast<int>(i) + 1, rendered.parameters[i], _what(record_class));
  }
  co_return _records(record_class, statement);
}

asio::awaitable<std::vector<Record>> SqliteConnection::select_children(
    const RecordClass& record_class, std::size_t link_field,
    const std::vector<std::int64_t>& parents) {
  if (!_ensure_table(record_class)) co_return std::vector<Record>{};
  auto* statement = _statement(render_select_children(record_class, link_field, Dialect::sqlite));
  const SqlValue list{json_list(parents)};
  _bind(statement, 1, list, _what(record_class));
  co_return _records(record_class, statement);
}

asio::awaitable<bool> SqliteConnection::refers_to_any(const RecordClass& record_class,
                                                      std::size_t link_field,
                                                      const std::vector<std::int64_t>& parents) {
  if (parents.empty() || !_ensure_table(record_class)) co_return false;
  auto* statement = _statement(render_refers_to_any(record_class, link_field, Dialect::sqlite));
  const StatementUse use(statement);
  const auto [lowest, highest] = std::minmax_element(parents.begin(), parents.end());
  _bind(statement, 1, SqlValue{*lowest}, _what(record_class));
  _bind(statement, 2, SqlValue{*highest}, _what(record_class));
  co_return check_sqlite(sqlite3_step(statement), _db.get(), _what(record_class), statement) ==
      SQLITE_ROW;
}

asio::awaitable<std::vector<std::int64_t>> SqliteConnection::select_ids_under(
    const RecordClass& record_class, const std::vector<ParentStep>& path, std::int64_t root) {
  std::vector<std::int64_t> ids;
  if (!_ensure_table(record_class)) co_return ids;
  for (const auto& step : path) {
    if (!_ensure_table(*step.parent)) co_return ids;
  }
  auto* statement = _statement(render_ids_under(record_class, path, Dialect::sqlite));
  const StatementUse use(statement);
  const auto what = _what(record_class);
  _bind(statement, 1, SqlValue{root}, what);
  while (check_sqlite(sqlite3_step(statement), _db.get(), what, statement) == SQLITE_ROW) {
    ids.push_back(sqlite3_column_int64(statement, 0));
  }
  co_return ids;
}

asio::awaitable<std::vector<std::int64_t>> SqliteConnection::reserve(
    const RecordClass& record_class, std::size_t count) {
  co_return reserve_now(record_class, count);
}

std::vector<std::int64_t> SqliteConnection::reserve_now(const RecordClass& record_class,
                                                        std::size_t count) {
  _ensure_table(record_class);
  auto next = _next_ids.find(&record_class);
  if (next == _next_ids.end()) {
    const auto sql = fmt::format("SELECT coalesce(max({}), 0) + 1 FROM {}",
                                 quote_identifier(record_class.id_field()),
                                 quote_identifier(record_class.table_name()));
    auto* statement = _statement(sql);
    const StatementUse use(statement);
    check_sqlite(sqlite3_step(statement), _db.get(), _what(record_class), sql);
    next = _next_ids.emplace(&record_class, sqlite3_column_int64(statement, 0)).first;
  }
  std::vector<std::int64_t> ids(count);
  for (auto& id : ids) id = next->second++;
  return ids;
}

asio::awaitable<void> SqliteConnection::write(const ClassWrites& writes) {
  write_now(writes);
  co_return;
}

void SqliteConnection::write_now(const ClassWrites& writes) {
  const auto& record_class = *writes.record_class;
  _ensure_table(record_class);
  const auto what = _what(record_class);
  if (!writes.deletes.empty()) {
    auto* statement = _statement(render_delete_row(record_class));
    for (const auto id : writes.deletes) {
      _bind(statement, 1, SqlValue{id}, what);
      _run(statement, what);
    }
  }
  const auto field_count = record_class.fields().size();
  for (const auto& updates : writes.updates) {
    auto* statement = _statement(render_update_row(record_class, updates.mask));
    for (const auto* row : updates.rows) {
      int number = 0;
      for (std::size_t i = 1; i < field_count; ++i) {
        if ((updates.mask & (std::uint64_t{1} << i)) != 0) {
          _bind_cell(statement, ++number, *row, i, what);
        }
      }
      _bind_cell(statement, ++number, *row, 0, what);
      _run(statement, what);
    }
  }
  // Rows go in statements of many rows: each statement's own cost (its start,
  // its end, its undo journal) is paid once per chunk instead of once per row.
  // The chunks are of a few sizes (powers of two), so that a few prepared
  // statements serve every count of rows.
  const auto variables =
      static_cast<std::size_t>(sqlite3_limit(_db.get(), SQLITE_LIMIT_VARIABLE_NUMBER, -1));
  auto most_rows = rows_per_insert;
  while (most_rows > 1 && most_rows * field_count > variables) most_rows /= 2;
  for (std::size_t first = 0; first < writes.inserts.size();) {
    auto rows = most_rows;
    while (rows > writes.inserts.size() - first) rows /= 2;
    auto* statement = _insert_statement(record_class, rows);
    int number = 0;
    for (std::size_t row = first; row < first + rows; ++row) {
      for (std::size_t i = 0; i < field_count; ++i) {
        _bind_cell(statement, ++number, *writes.inserts[row], i, what);
      }
    }
    first += rows;
    _run(statement, what);
  }
}

asio::awaitable<void> SqliteConnection::execute(std::string_view sql) {
  execute_now(sql);
  co_return;
}

void SqliteConnection::execute_now(std::string_view sql) {
  const std::string text(sql);
  // Identifiers handed out are only ours while our transaction lasts.
  _next_ids.clear();
  const int result = sqlite3_exec(_db.get(), text.c_str(), nullptr, nullptr, nullptr);
  if ((result & 0xff) == SQLITE_BUSY) {
    // The busy handler waited the whole lock timeout for another writer.
    throw_sqlite_error(result, _db.get(),
                       fmt::format("store '{}': gave up after waiting {} for another session "
                                   "to finish writing",
                                   _path, duration_text(_lock_timeout)),
                       sql);
  }
  check_sqlite(result, _db.get(), fmt::format("store '{}'", _path), sql);
  // A rollback may have undone tables created inside the transaction: check again.
  if (text.starts_with("ROLLBACK")) _ready_tables.clear();
}

bool SqliteConnection::in_transaction() const noexcept {
  return sqlite3_get_autocommit(_db.get()) == 0;
}

}  // namespace kelmarion::core::detail
