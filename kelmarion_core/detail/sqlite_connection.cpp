#include "kelmarion_core/detail/sqlite_connection.h"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <mutex>
#include <fmt/format.h>
#include <sqlite3.h>

#include "kelmarion_core/detail/duration_text.h"
#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {
namespace {

// Text columns of a row read at once before they are copied (the rest are copied
// one by one).
constexpr std::size_t inline_row_texts = 16;

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

// The shape of a lookup: a byte per term, its field's index + 1 and 0x80 when
// its value is absent (IS NULL). Nullopt for a condition the renderer must see
// itself: an absent term, a field of another class, or too many terms.
std::optional<std::uint64_t> lookup_shape(const RecordClass& record_class,
                                          const Condition& condition) {
  constexpr std::size_t max_terms = 8;
  constexpr std::size_t max_index = 0x7e;
  const auto& terms = condition.terms();
  if (terms.size() > max_terms) return std::nullopt;
  std::uint64_t shape = 0;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const auto& term = terms[i];
    if (!term || term->table_name != record_class.table_name()) return std::nullopt;
    const auto index = record_class.field_index(term->field_name);
    if (!index || *index > max_index) return std::nullopt;
    const std::uint64_t absent = term->value.is_null() ? 0x80U : 0U;
    shape |= ((*index + 1) | absent) << (8 * i);
  }
  return shape;
}

// Whether a document value binds as it is, to_sql_value() giving the same value
// without a conversion: null, an integer of an integer field, a boolean of a
// boolean field, a string of a text field.
bool binds_as_is(FieldKind kind, const nlohmann::ordered_json& value) {
  switch (kind) {
    case FieldKind::integer:
      return value.is_null() || (value.is_number_integer() && !value.is_number_unsigned());
    case FieldKind::boolean:
      return value.is_null() || value.is_boolean();
    case FieldKind::text:
      return value.is_null() || value.is_string();
    case FieldKind::json:
      return value.is_null();
  }
  return false;
}

// Binds a value for which binds_as_is() holds. Strings are not copied: the data
// outlives the statement's step.
int bind_as_is(sqlite3_stmt* statement, int number, const nlohmann::ordered_json& value) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    return sqlite3_bind_text64(statement, number, text.data(), text.size(), SQLITE_STATIC,
                               SQLITE_UTF8);
  }
  if (value.is_boolean()) return sqlite3_bind_int64(statement, number, value.get<bool>() ? 1 : 0);
  if (value.is_number_integer()) {
    return sqlite3_bind_int64(statement, number, value.get<std::int64_t>());
  }
  return sqlite3_bind_null(statement, number);
}

// Sets a cell of `image` to a value that bound as it is (binds_as_is()): what
// reading the column back gives.
void set_bound_as_is(RowImage& image, std::size_t field, const nlohmann::ordered_json& value) {
  if (value.is_string()) {
    image.set_text(field, value.get_ref<const std::string&>());
  } else if (value.is_boolean()) {
    image.set_integer(field, value.get<bool>() ? 1 : 0);
  } else if (value.is_number_integer()) {
    image.set_integer(field, value.get<std::int64_t>());
  } else {
    image.set_null(field);
  }
}

// Sets a cell of `image` to a converted value, as stored.
void set_converted(RowImage& image, std::size_t field, const SqlValue& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    image.set_integer(field, *integer);
  } else if (const auto* text = std::get_if<std::string>(&value)) {
    image.set_text(field, *text);
  } else {
    image.set_null(field);
  }
}

}  // namespace

std::size_t SqliteConnection::StatementKeyHash::operator()(const StatementKey& key) const noexcept {
  const auto combined =
      std::hash<const void*>()(key.record_class) * 31U + static_cast<std::size_t>(key.kind);
  return combined * 1000003U ^ std::hash<std::uint64_t>()(key.shape);
}

// Reads the rows of the records the connection handed out unread, under the
// lock every operation of the connection holds.
class SqliteConnection::Rows final : public RowSource {
 public:
  explicit Rows(SqliteConnection& owner) : _owner(&owner) {}

  void locked(const std::function<void()>& read) override {
    const std::lock_guard lock(mutex);
    read();
  }
  void read_row(const RecordClass& record_class, std::int64_t id, RowImage& image) override {
    // The connection reads every record still held before it closes.
    if (_owner == nullptr) throw Error("a record was read after its store was closed");
    _owner->_read_by_id_into(record_class, id, image);
  }
  void detach() noexcept { _owner = nullptr; }

  std::recursive_mutex mutex;

 private:
  SqliteConnection* _owner;
};

SqliteConnection::~SqliteConnection() {
  const std::lock_guard lock(_rows->mutex);
  try {
    _settle();
  } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
    // Records whose rows could not be read fail when they are read.
  }
  _rows->detach();
}

std::unique_lock<std::recursive_mutex> SqliteConnection::_use() {
  std::unique_lock lock(_rows->mutex);
  _settle();
  return lock;
}

void SqliteConnection::_settle() {
  // Records handed out unread whose rows this operation might change: read the
  // ones still held elsewhere now, as they are. A failure leaves them listed.
  for (const auto& record : _handed_out) {
    if (record.use_count() > 1) record.load();
  }
  _handed_out.clear();
}

bool SqliteConnection::_finds_nothing(const RecordClass& record_class, const Condition& condition,
                                      std::uint64_t shape) {
  std::array<std::size_t, 8> fields{};  // lookup_shape() allows 8 terms
  const auto count = condition.terms().size();
  for (std::size_t t = 0; t < count; ++t) {
    fields.at(t) = static_cast<std::size_t>((shape >> (8U * t)) & 0x7fU) - 1U;
  }
  return _created_records.finds_nothing(record_class, condition,
                                        std::span<const std::size_t>(fields.data(), count));
}

bool SqliteConnection::_stored_children(const RecordClass& child_class, std::string_view link_field,
                                        std::int64_t first_parent) {
  const auto sql =
      fmt::format("SELECT 1 FROM {} WHERE {} >= ?1 LIMIT 1",
                  quote_identifier(child_class.table_name()), quote_identifier(link_field));
  if (!_ensure_table(child_class)) return false;
  auto* statement = _statement(sql);
  _bind_value(statement, 1, SqlValue{first_parent}, sql);
  const StatementUse use(statement);
  return check_sqlite(sqlite3_step(statement), _db.get(),
                      fmt::format("store '{}', table '{}'", _path, child_class.table_name()),
                      sql) == SQLITE_ROW;
}

Record SqliteConnection::_hand_out(const RecordClass& record_class, std::int64_t id) {
  auto record = Record::deferred(record_class, id, _rows);
  _handed_out.push_back(record);
  return record;
}

SqliteConnection::SqliteConnection(const std::string& path, const SessionOptions& options)
    : _path(path.empty() ? ":memory:" : path),
      _read_only(options.read_only),
      _lock_timeout(options.lock_timeout),
      _db(open_sqlite(_path,
                      (options.read_only ? SQLITE_OPEN_READONLY
                                         : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                          SQLITE_OPEN_NOMUTEX,
                      fmt::format("open store '{}'", _path))) {
  const auto timeout = std::clamp<std::chrono::milliseconds::rep>(
      options.lock_timeout.count(), 0, std::numeric_limits<int>::max());
  check_sqlite(sqlite3_busy_timeout(_db.get(), static_cast<int>(timeout)), _db.get(),
               "set busy timeout");
  _rows = std::make_shared<Rows>(*this);
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

void SqliteConnection::_refuse_write(const RecordClass& record_class) const {
  if (!_read_only) return;
  throw ConfigurationError(fmt::format("store '{}', table '{}': the store was opened read-only",
                                       _path, record_class.table_name()));
}

bool SqliteConnection::_ensure_table(const RecordClass& record_class) {
  if (_ready_tables.contains(&record_class)) return true;
  const auto layout = _read_layout();
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

sqlite3_stmt* SqliteConnection::_statement(const std::string& sql) {
  auto found = _statements.find(sql);
  if (found == _statements.end()) {
    found = _statements.emplace(sql, prepare_sqlite(_db.get(), sql)).first;
  }
  return found->second.get();
}

template <typename Render>
SqliteConnection::CachedStatement& SqliteConnection::_cached(const StatementKey& key,
                                                             Render render) {
  auto found = _cached_statements.find(key);
  if (found == _cached_statements.end()) {
    std::string sql = render();
    auto statement = prepare_sqlite(_db.get(), sql);
    found = _cached_statements.emplace(key, CachedStatement{std::move(sql), std::move(statement)})
                .first;
  }
  return found->second;
}

void SqliteConnection::_bind_value(sqlite3_stmt* statement, int number, const SqlValue& value,
                                   std::string_view sql) {
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
  check_sqlite(result, _db.get(), "bind parameter", sql);
}

void SqliteConnection::_bind(sqlite3_stmt* statement, const std::vector<SqlValue>& parameters,
                             std::string_view sql) {
  int number = 0;
  for (const auto& parameter : parameters) _bind_value(statement, ++number, parameter, sql);
}

void SqliteConnection::_bind_terms(const RecordClass& record_class, const Condition& condition,
                                   std::uint64_t shape, const CachedStatement& statement) {
  const auto fields = record_class.fields();
  int number = 0;
  for (const auto& term : condition.terms()) {
    // lookup_shape() vouched for every term (present, a field of this class) and
    // put its field's index + 1 in the low seven bits of its byte.
    const auto index = static_cast<std::size_t>(shape & 0x7fU) - 1U;
    shape >>= 8U;
    if (term->value.is_null()) continue;  // rendered as IS NULL
    const auto& field = fields[index];
    if (binds_as_is(field.kind, term->value)) {
      check_sqlite(bind_as_is(statement.statement.get(), ++number, term->value), _db.get(),
                   "bind parameter", statement.sql);
    } else {
      // Converted as render_where() converts it; SQLite keeps its own copy.
      auto value = to_sql_value(record_class.table_name(), field.name, field.kind, term->value);
      auto* raw = statement.statement.get();
      int result = SQLITE_OK;
      if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        result = sqlite3_bind_int64(raw, ++number, *integer);
      } else if (const auto* text = std::get_if<std::string>(&value)) {
        result = sqlite3_bind_text64(raw, ++number, text->data(), text->size(), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
      } else {
        result = sqlite3_bind_null(raw, ++number);
      }
      check_sqlite(result, _db.get(), "bind parameter", statement.sql);
    }
  }
}

std::uint64_t SqliteConnection::_collect(const RecordClass& record_class,
                                         const nlohmann::ordered_json& data) {
  // Throws the same error as collect_field_values() for data that is not an object.
  if (!data.is_object()) (void)collect_field_values(record_class, data);
  const auto fields = record_class.fields();
  _given.assign(fields.size(), nullptr);
  if (_converted.size() < fields.size()) _converted.resize(fields.size());
  std::uint64_t mask = 0;
  // In the data's order, as collect_field_values() converts, so that the first bad
  // value is the one reported.
  auto& known = _key_order_of(record_class);
  std::size_t position = 0;
  for (const auto& [key, value] : data.get_ref<const nlohmann::ordered_json::object_t&>()) {
    const auto index = _field_at(record_class, known, position++, key);
    // The identifier is the database's to assign; a stale one in the data is ignored.
    if (!index || *index == 0) continue;
    const auto& field = fields[*index];
    if (binds_as_is(field.kind, value)) {
      _given[*index] = &value;
    } else {
      _converted[*index] = to_sql_value(record_class.table_name(), field.name, field.kind, value);
      _given[*index] = nullptr;
    }
    mask |= std::uint64_t{1} << *index;
  }
  return mask;
}

std::vector<SqliteConnection::KeyAt>& SqliteConnection::_key_order_of(
    const RecordClass& record_class) {
  for (auto& [of, keys] : _key_order) {
    if (of == &record_class) return keys;
  }
  return _key_order.emplace_back(&record_class, std::vector<KeyAt>{}).second;
}

std::optional<std::size_t> SqliteConnection::_field_at(const RecordClass& record_class,
                                                       std::vector<KeyAt>& known,
                                                       std::size_t position,
                                                       const std::string& key) {
  if (position < known.size() && known[position].key == key) return known[position].index;
  const auto index = record_class.field_index(key);
  if (position < known.size()) {
    known[position] = KeyAt{key, index};
  } else if (position == known.size()) {
    known.push_back(KeyAt{key, index});
  }
  return index;
}

int SqliteConnection::_bind_collected(const RecordClass& record_class, std::uint64_t mask,
                                      const CachedStatement& statement) {
  auto* raw = statement.statement.get();
  int number = 0;
  for (std::size_t i = 1; i < record_class.fields().size(); ++i) {
    if ((mask & (std::uint64_t{1} << i)) == 0) continue;
    if (const auto* value = _given[i]) {
      check_sqlite(bind_as_is(raw, ++number, *value), _db.get(), "bind parameter", statement.sql);
    } else {
      _bind_value(raw, ++number, _converted[i], statement.sql);
    }
  }
  return number;
}

Record SqliteConnection::_read_row(const RecordClass& record_class, sqlite3_stmt* statement) const {
  return Record::from_image(
      record_class, [&](RowImage& image) { _read_row_into(record_class, statement, image); });
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
      throw_sqlite_error(SQLITE_NOMEM, _db.get(),
                         fmt::format("store '{}', table '{}'", _path, record_class.table_name()),
                         sqlite3_sql(statement));
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

Record SqliteConnection::_inserted_record(const RecordClass& record_class, std::uint64_t mask,
                                          std::int64_t id) const {
  const auto count = record_class.fields().size();
  const auto written = [mask](std::size_t i) { return (mask & (std::uint64_t{1} << i)) != 0; };
  std::size_t text_bytes = 0;
  for (std::size_t i = 1; i < count; ++i) {
    if (!written(i)) continue;
    if (const auto* value = _given[i]) {
      if (const auto* text = value->get_ptr<const std::string*>()) text_bytes += text->size();
    } else if (const auto* text = std::get_if<std::string>(&_converted[i])) {
      text_bytes += text->size();
    }
  }
  return Record::from_image(record_class, [&](RowImage& image) {
    image.reserve_text(text_bytes);
    image.set_integer(0, id);
    for (std::size_t i = 1; i < count; ++i) {
      // Fields not written stay NULL: the tables have no defaults.
      if (!written(i)) continue;
      if (const auto* value = _given[i]) {
        set_bound_as_is(image, i, *value);
      } else {
        set_converted(image, i, _converted[i]);
      }
    }
  });
}

std::optional<Record> SqliteConnection::_fetch_one(const RecordClass& record_class,
                                                   sqlite3_stmt* statement, std::string_view sql) {
  const StatementUse use(statement);
  std::optional<Record> row;
  for (;;) {
    const int result = sqlite3_step(statement);
    if (result == SQLITE_DONE) break;
    if (result != SQLITE_ROW) {
      check_sqlite(result, _db.get(),
                   fmt::format("store '{}', table '{}'", _path, record_class.table_name()), sql);
    }
    if (!row) row = _read_row(record_class, statement);
  }
  return row;
}

void SqliteConnection::_run(const RecordClass& record_class, const CachedStatement& statement) {
  auto* raw = statement.statement.get();
  const StatementUse use(raw);
  for (;;) {
    const int result = sqlite3_step(raw);
    if (result == SQLITE_DONE) return;
    if (result != SQLITE_ROW) {
      check_sqlite(result, _db.get(),
                   fmt::format("store '{}', table '{}'", _path, record_class.table_name()),
                   statement.sql);
    }
  }
}

void SqliteConnection::_read_by_id_into(const RecordClass& record_class, std::int64_t id,
                                        RowImage& image) {
  auto& cached = _cached({&record_class, StatementKind::select_by_id, 0},
                         [&] { return render_update(record_class, 0, Dialect::sqlite); });
  auto* statement = cached.statement.get();
  _bind_value(statement, 1, SqlValue{id}, cached.sql);
  const StatementUse use(statement);
  const auto what = [&] {
    return fmt::format("store '{}', table '{}'", _path, record_class.table_name());
  };
  const int result = sqlite3_step(statement);
  if (result == SQLITE_ROW) {
    _read_row_into(record_class, statement, image);
    return;
  }
  if (result != SQLITE_DONE) throw_sqlite_error(result, _db.get(), what(), cached.sql);
  throw DatabaseError(fmt::format("{}: record {} {} is gone", what(), record_class.id_field(), id),
                      "", "", cached.sql);
}

std::optional<Record> SqliteConnection::_read_by_id(const RecordClass& record_class,
                                                    std::int64_t id) {
  // An UPDATE of no field is the SELECT of the record by its identifier.
  auto& cached = _cached({&record_class, StatementKind::select_by_id, 0},
                         [&] { return render_update(record_class, 0, Dialect::sqlite); });
  _bind_value(cached.statement.get(), 1, SqlValue{id}, cached.sql);
  return _fetch_one(record_class, cached.statement.get(), cached.sql);
}

asio::awaitable<std::optional<Record>> SqliteConnection::find_first(const RecordClass& record_class,
                                                                    const Condition& condition) {
  co_return find_first_now(record_class, condition);
}

std::optional<Record> SqliteConnection::find_first_now(const RecordClass& record_class,
                                                       const Condition& condition) {
  const auto lock = _use();
  if (!_ensure_table(record_class)) return std::nullopt;
  const auto shape = lookup_shape(record_class, condition);
  if (!shape) {
    // Rendered every time: the renderer reports what is wrong with the condition.
    const auto select = render_select_first(record_class, condition, Dialect::sqlite);
    auto* statement = _statement(select.sql);
    _bind(statement, select.parameters, select.sql);
    return _fetch_one(record_class, statement, select.sql);
  }
  if (in_transaction()) {
    if (_finds_nothing(record_class, condition, *shape)) return std::nullopt;
    // Inside a transaction no other connection changes the row, and this one
    // reads it before it changes it (_settle()): the lookup reads the identifier
    // from the index alone, the row when someone reads the record.
    auto& cached = _cached({&record_class, StatementKind::select_first_id, *shape}, [&] {
      return render_select_first_id(record_class, condition, Dialect::sqlite).sql;
    });
    _bind_terms(record_class, condition, *shape, cached);
    auto* statement = cached.statement.get();
    const StatementUse use_statement(statement);
    const int result = sqlite3_step(statement);
    if (result == SQLITE_DONE) return std::nullopt;
    if (result != SQLITE_ROW) {
      throw_sqlite_error(result, _db.get(),
                         fmt::format("store '{}', table '{}'", _path, record_class.table_name()),
                         cached.sql);
    }
    return _hand_out(record_class, sqlite3_column_int64(statement, 0));
  }
  auto& cached = _cached({&record_class, StatementKind::select_first, *shape}, [&] {
    return render_select_first(record_class, condition, Dialect::sqlite).sql;
  });
  _bind_terms(record_class, condition, *shape, cached);
  return _fetch_one(record_class, cached.statement.get(), cached.sql);
}

asio::awaitable<std::vector<Record>> SqliteConnection::find_all(const RecordClass& record_class,
                                                                const Condition& condition) {
  const auto lock = _use();
  if (!_ensure_table(record_class)) co_return std::vector<Record>{};
  sqlite3_stmt* statement = nullptr;
  std::string_view sql;
  RenderedSql select;
  if (const auto shape = lookup_shape(record_class, condition)) {
    auto& cached = _cached({&record_class, StatementKind::select_all, *shape}, [&] {
      return render_select_all(record_class, condition, Dialect::sqlite).sql;
    });
    _bind_terms(record_class, condition, *shape, cached);
    statement = cached.statement.get();
    sql = cached.sql;
  } else {
    select = render_select_all(record_class, condition, Dialect::sqlite);
    statement = _statement(select.sql);
    _bind(statement, select.parameters, select.sql);
    sql = select.sql;
  }
  const StatementUse use(statement);
  const auto what = fmt::format("store '{}', table '{}'", _path, record_class.table_name());
  std::vector<Record> records;
  while (check_sqlite(sqlite3_step(statement), _db.get(), what, sql) == SQLITE_ROW) {
    records.push_back(_read_row(record_class, statement));
  }
  co_return records;
}

Record SqliteConnection::insert(const RecordClass& record_class,
                                const nlohmann::ordered_json& data) {
  const auto lock = _use();
  _refuse_write(record_class);
  const auto mask = _collect(record_class, data);
  _ensure_table(record_class);
  auto& cached = _cached({&record_class, StatementKind::insert, mask}, [&] {
    return render_insert(record_class, mask, Dialect::sqlite, Returning::nothing);
  });
  _bind_collected(record_class, mask, cached);
  _run(record_class, cached);
  // The identifier is the rowid, which the insert just assigned; the other
  // fields are what was bound.
  auto record = _inserted_record(record_class, mask, sqlite3_last_insert_rowid(_db.get()));
  if (in_transaction()) _created_records.note_insert(record);
  return record;
}

asio::awaitable<Record> SqliteConnection::update(const RecordClass& record_class, std::int64_t id,
                                                 const nlohmann::ordered_json& data) {
  co_return update_now(record_class, id, data);
}

Record SqliteConnection::update_now(const RecordClass& record_class, std::int64_t id,
                                    const nlohmann::ordered_json& data) {
  const auto lock = _use();
  _refuse_write(record_class);
  const auto mask = _collect(record_class, data);
  _ensure_table(record_class);
  _created_records.note_update(record_class);
  auto& cached = _cached({&record_class, StatementKind::update, mask}, [&] {
    return render_update(record_class, mask, Dialect::sqlite, Returning::nothing);
  });
  const int count = _bind_collected(record_class, mask, cached);
  _bind_value(cached.statement.get(), count + 1, SqlValue{id}, cached.sql);
  std::optional<Record> row;
  if (mask == 0) {
    row = _fetch_one(record_class, cached.statement.get(), cached.sql);  // nothing to set
  } else {
    _run(record_class, cached);
    if (sqlite3_changes(_db.get()) > 0) {
      // Read as stored now, when first read (see find_first_now()).
      row = in_transaction() ? _hand_out(record_class, id) : *_read_by_id(record_class, id);
    }
  }
  if (!row) {
    throw DatabaseError(fmt::format("store '{}', table '{}': no record with {} {} to update", _path,
                                    record_class.table_name(), record_class.id_field(), id),
                        "", "", cached.sql);
  }
  return std::move(*row);
}

asio::awaitable<void> SqliteConnection::remove(const RecordClass& record_class, std::int64_t id) {
  const auto lock = _use();
  _refuse_write(record_class);
  _created_records.distrust();  // the largest identifier may come back
  _ensure_table(record_class);
  auto& cached = _cached({&record_class, StatementKind::remove, 0},
                         [&] { return render_delete(record_class, Dialect::sqlite); });
  _bind_value(cached.statement.get(), 1, SqlValue{id}, cached.sql);
  (void)_fetch_one(record_class, cached.statement.get(), cached.sql);
  co_return;
}

asio::awaitable<void> SqliteConnection::execute(std::string_view sql) {
  const auto lock = _use();
  _created_records.clear();  // a transaction begins or ends, or SQL of the host's ran
  const std::string text(sql);
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
  co_return;
}

bool SqliteConnection::in_transaction() const noexcept {
  return sqlite3_get_autocommit(_db.get()) == 0;
}

}  // namespace kelmarion::core::detail
