#include "kelmarion_core/detail/postgresql_connection.h"

#include <fmt/format.h>
#include <libpq-fe.h>

#include <algorithm>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <charconv>

#include "kelmarion_core/detail/duration_text.h"
#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/logging.h"

namespace kelmarion::core::detail {
namespace {

// Serialises table creation across every session of every process on one database.
constexpr std::int64_t table_creation_lock_key = 0x6b656c6d61726961;  // "kelmaria"

// FNV-1a: a stable 64-bit advisory lock key for a text.
std::int64_t lock_key_of(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : std::string_view("kelmarion_meta:")) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  return static_cast<std::int64_t>(hash);
}

std::string connection_message(pg_conn* connection) {
  std::string text = PQerrorMessage(connection);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (auto& c : text) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return text;
}

// libpq takes a parameter as a C string, so a NUL would silently cut it short.
void refuse_nul(std::string_view table, std::string_view field, std::string_view text) {
  if (text.find('\0') == std::string_view::npos) return;
  throw DocumentTypeError(fmt::format(
      "{}: field '{}' holds a NUL character, which a PostgreSQL store cannot keep", table, field));
}

std::string parameter_text(const RecordClass& record_class, const std::string& field,
                           const SqlValue& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return std::to_string(*integer);
  const auto& text = std::get<std::string>(value);
  refuse_nul(record_class.table_name(), field, text);
  return text;
}

std::string id_array(const std::vector<std::int64_t>& ids) {
  std::string literal = "{";
  for (const auto id : ids) {
    if (literal.size() > 1) literal += ',';
    literal += std::to_string(id);
  }
  literal += '}';
  return literal;
}

// The array of one field's values of `rows`, as PostgreSQL reads an array literal.
std::string field_array(const RecordClass& record_class, std::size_t field,
                        const std::vector<const RowImage*>& rows) {
  const auto& spec = record_class.fields()[field];
  std::string literal = "{";
  for (const auto* row : rows) {
    if (literal.size() > 1) literal += ',';
    switch (row->kind(field)) {
      case RowImage::CellKind::null:
        literal += "NULL";
        break;
      case RowImage::CellKind::integer:
        if (spec.kind == FieldKind::boolean) {
          literal += row->integer(field) != 0 ? 't' : 'f';
        } else {
          literal += std::to_string(row->integer(field));
        }
        break;
      case RowImage::CellKind::text: {
        const auto text = row->text(field);
        refuse_nul(record_class.table_name(), spec.name, text);
        literal += '"';
        for (const char c : text) {
          if (c == '"' || c == '\\') literal += '\\';
          literal += c;
        }
        literal += '"';
        break;
      }
    }
  }
  literal += '}';
  return literal;
}

// Parameters as libpq takes them.
std::vector<const char*> parameter_pointers(const std::vector<std::string>& parameters) {
  std::vector<const char*> pointers;
  pointers.reserve(parameters.size());
  for (const auto& parameter : parameters) pointers.push_back(parameter.c_str());
  return pointers;
}

}  // namespace

PostgresqlConnection::PostgresqlConnection(const std::string& url, std::string location,
                                           const SessionOptions& options)
    : _location(std::move(location)),
      _read_only(options.read_only),
      _lock_timeout(options.lock_timeout),
      _connection(connect_postgresql(url, _location)) {
  // What the server says besides results (a notice, the reason it closes the
  // connection) goes to the debug log, not to the host's terminal.
  PQsetNoticeProcessor(
      _connection.get(),
      [](void* /*context*/, const char* message) {
        std::string text = message;
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        logging::debug("PostgreSQL: " + text);
      },
      nullptr);
  // Notices ("relation already exists, skipping") are not for the host's terminal.
  // A zero lock_timeout would mean no bound at all to the server: one
  // millisecond is the nearest to failing at once.
  auto settings = fmt::format("SET client_min_messages = warning; SET lock_timeout = {}",
                              std::max<std::chrono::milliseconds::rep>(_lock_timeout.count(), 1));
  if (_read_only) settings += "; SET default_transaction_read_only = on";
  check_postgresql(PgResult(PQexec(_connection.get(), settings.c_str())), _connection.get(),
                   fmt::format("store '{}'", _location), settings);
  if (PQsetnonblocking(_connection.get(), 1) != 0) {
    throw DatabaseError(fmt::format("store '{}': cannot switch to non-blocking mode: {}", _location,
                                    connection_message(_connection.get())),
                        "", connection_message(_connection.get()), "");
  }
}

asio::awaitable<void> PostgresqlConnection::_wait_for_socket(bool for_writing) {
  const auto executor = co_await asio::this_coro::executor;
  const int socket_fd = PQsocket(_connection.get());
  if (socket_fd < 0) {
    throw DatabaseError(fmt::format("store '{}': connection lost", _location), "08006",
                        connection_message(_connection.get()), "");
  }
  // The descriptor only borrows libpq's socket for this wait: it is bound to the
  // executor that awaits now, and released (never closed) when the wait ends.
  asio::posix::stream_descriptor socket(executor, socket_fd);
  class Release {
   public:
    explicit Release(asio::posix::stream_descriptor& borrowed) : _socket(borrowed) {}
    Release(const Release&) = delete;
    Release& operator=(const Release&) = delete;
    Release(Release&&) = delete;
    Release& operator=(Release&&) = delete;
    ~Release() { (void)_socket.release(); }

   private:
    asio::posix::stream_descriptor& _socket;
  };
  const Release release(socket);
  co_await socket.async_wait(for_writing ? asio::posix::stream_descriptor::wait_write
                                         : asio::posix::stream_descriptor::wait_read,
                             asio::use_awaitable);
}

asio::awaitable<std::string> PostgresqlConnection::_prepared_name(const std::string& sql) {
  const auto found = _statement_names.find(sql);
  if (found != _statement_names.end()) co_return found->second;
  auto name = fmt::format("kelmarion_{}", ++_statement_count);
  // Preparing analyses the statement, which waits for locks on its tables like
  // running it does, so it is awaited too.
  if (PQsendPrepare(_connection.get(), name.c_str(), sql.c_str(), 0, nullptr) == 0) {
    throw DatabaseError(
        fmt::format("store '{}': prepare: {}", _location, connection_message(_connection.get())),
        "", connection_message(_connection.get()), sql);
  }
  co_await _finish(sql, fmt::format("store '{}': prepare", _location));
  _statement_names.emplace(sql, name);
  co_return name;
}

const std::string& PostgresqlConnection::_prepared_name_now(const std::string& sql) {
  const auto found = _statement_names.find(sql);
  if (found != _statement_names.end()) return found->second;
  auto name = fmt::format("kelmarion_{}", ++_statement_count);
  // PQprepare blocks even in non-blocking mode, as a plain call should.
  check_postgresql(PgResult(PQprepare(_connection.get(), name.c_str(), sql.c_str(), 0, nullptr)),
                   _connection.get(), fmt::format("store '{}': prepare", _location), sql);
  return _statement_names.emplace(sql, std::move(name)).first->second;
}

asio::awaitable<PgResult> PostgresqlConnection::_finish(const std::string& sql,
                                                        std::string_view what) {
  auto* connection = _connection.get();
  for (int flushed = PQflush(connection); flushed != 0; flushed = PQflush(connection)) {
    if (flushed < 0) {
      throw DatabaseError(fmt::format("{}: {}", what, connection_message(connection)), "08006",
                          connection_message(connection), sql);
    }
    co_await _wait_for_socket(true);
  }
  PgResult first;
  PgResult failed;
  while (true) {
    if (PQconsumeInput(connection) == 0) {
      throw DatabaseError(fmt::format("{}: {}", what, connection_message(connection)), "08006",
                          connection_message(connection), sql);
    }
    if (PQisBusy(connection) != 0) {
      co_await _wait_for_socket(false);
      continue;
    }
    PgResult result(PQgetResult(connection));
    if (!result) break;
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      if (!failed) failed = std::move(result);
    } else {
      first = std::move(result);  // the last statement's result is the one callers read
    }
  }
  if (failed) check_postgresql(std::move(failed), connection, what, sql);
  co_return check_postgresql(std::move(first), connection, what, sql);
}

asio::awaitable<PgResult> PostgresqlConnection::_run_script(const std::string& sql,
                                                            std::string_view what) {
  if (PQsendQuery(_connection.get(), sql.c_str()) == 0) {
    throw DatabaseError(fmt::format("{}: {}", what, connection_message(_connection.get())), "",
                        connection_message(_connection.get()), sql);
  }
  co_return co_await _finish(sql, what);
}

std::string PostgresqlConnection::_table_script(const RecordClass& record_class,
                                                const StoreLayout& layout) const {
  // CREATE TABLE IF NOT EXISTS is not safe against a concurrent creator; the lock
  // makes every other session wait until the tables exist.
  std::string script = fmt::format("SELECT pg_advisory_xact_lock({});", table_creation_lock_key);
  if (!layout.versioned()) {
    for (const auto& statement : version_table_ddl(Dialect::postgresql)) script += statement + ";";
  }
  for (const auto& statement : record_table_ddl(record_class, Dialect::postgresql)) {
    script += statement + ";";
  }
  // Outside the host's transaction the script runs in one of its own, so the
  // lock is released as soon as the tables exist.
  if (!in_transaction()) script = "BEGIN;" + script + "COMMIT;";
  return script;
}

std::string PostgresqlConnection::_upgrade_script(int from) const {
  std::string script;
  for (const auto& statement : layout_upgrade_sql(from)) script += statement + ";";
  // Outside the host's transaction the upgrade is a transaction of its own.
  if (!in_transaction()) script = "BEGIN;" + script + "COMMIT;";
  return script;
}

std::string PostgresqlConnection::_upgrade_what(int from) const {
  return fmt::format("upgrade store '{}' from layout {}", _location, from);
}

DatabaseError PostgresqlConnection::_lock_wait_failure(const DatabaseError& error,
                                                       std::string_view waited_for) const {
  if (error.code() != "55P03") return error;
  return DatabaseError(
      fmt::format("store '{}': gave up after waiting {} for {}, which another "
                  "session holds ({})",
                  _location, duration_text(_lock_timeout), waited_for, error.engine_message()),
      error.code(), error.engine_message(), error.sql());
}

Record PostgresqlConnection::_read_row(const RecordClass& record_class, const pg_result* result,
                                       int row) const {
  const auto fields = record_class.fields();
  const int count = static_cast<int>(fields.size());
  // The row as its image: one allocation, where JSON values cost one per text.
  return Record::from_image(record_class, [&](RowImage& image) {
    std::size_t text_bytes = 0;
    for (int i = 0; i < count; ++i) {
      const auto kind = fields[static_cast<std::size_t>(i)].kind;
      if ((kind == FieldKind::text || kind == FieldKind::json) &&
          PQgetisnull(result, row, i) == 0) {
        text_bytes += static_cast<std::size_t>(PQgetlength(result, row, i));
      }
    }
    image.reserve_text(text_bytes);
    for (int i = 0; i < count; ++i) {
      if (PQgetisnull(result, row, i) != 0) continue;
      const auto field = static_cast<std::size_t>(i);
      const std::string_view text(PQgetvalue(result, row, i),
                                  static_cast<std::size_t>(PQgetlength(result, row, i)));
      switch (fields[field].kind) {
        case FieldKind::integer: {
          std::int64_t number = 0;
          const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
          if (error != std::errc{} || end != text.data() + text.size()) {
            number = std::stoll(std::string(text));  // throws for what is no integer
          }
          image.set_integer(field, number);
          break;
        }
        case FieldKind::boolean:
          image.set_integer(field, text == "t" ? 1 : 0);
          break;
        case FieldKind::text:
        case FieldKind::json:
          image.set_text(field, text);
          break;
      }
    }
  });
}

std::string PostgresqlConnection::_what(const RecordClass& record_class) const {
  return fmt::format("store '{}', table '{}'", _location, record_class.table_name());
}

asio::awaitable<PgResult> PostgresqlConnection::_run(const std::string& sql,
                                                     const std::vector<std::string>& parameters,
                                                     std::string_view what) {
  const auto name = co_await _prepared_name(sql);
  const auto pointers = parameter_pointers(parameters);
  if (PQsendQueryPrepared(_connection.get(), name.c_str(), static_cast<int>(pointers.size()),
                          pointers.data(), nullptr, nullptr, 0) == 0) {
    throw DatabaseError(fmt::format("{}: {}", what, connection_message(_connection.get())), "",
                        connection_message(_connection.get()), sql);
  }
  co_return co_await _finish(sql, what);
}

PgResult PostgresqlConnection::_run_now(const std::string& sql,
                                        const std::vector<std::string>& parameters,
                                        std::string_view what) {
  const auto& name = _prepared_name_now(sql);
  const auto pointers = parameter_pointers(parameters);
  return check_postgresql(
      PgResult(PQexecPrepared(_connection.get(), name.c_str(), static_cast<int>(pointers.size()),
                              pointers.data(), nullptr, nullptr, 0)),
      _connection.get(), what, sql);
}

PgResult PostgresqlConnection::_run_script_now(const std::string& sql, std::string_view what) {
  return check_postgresql(PgResult(PQexec(_connection.get(), sql.c_str())), _connection.get(), what,
                          sql);
}

StoreLayout PostgresqlConnection::_layout_from(const PgResult& tables,
                                               const PgResult* versions) const {
  StoreLayout layout;
  for (int row = 0; row < PQntuples(tables.get()); ++row) {
    note_existing_table(layout, PQgetvalue(tables.get(), row, 0));
  }
  if (versions != nullptr) {
    for (int row = 0; row < PQntuples(versions->get()); ++row) {
      layout.versions.push_back(
          PQgetisnull(versions->get(), row, 0) != 0
              ? std::nullopt
              : std::optional<std::string>(PQgetvalue(versions->get(), row, 0)));
    }
  }
  return layout;
}

asio::awaitable<bool> PostgresqlConnection::_ensure_table(const RecordClass& record_class) {
  if (_ready_tables.contains(&record_class)) co_return true;
  const auto what = fmt::format("store '{}': read its layout", _location);
  const auto tables = co_await _run_script(existing_tables_sql(Dialect::postgresql), what);
  auto layout = _layout_from(tables, nullptr);
  if (layout.versioned()) {
    const auto versions = co_await _run_script(version_rows_sql(), what);
    layout = _layout_from(tables, &versions);
  }
  check_store_layout(layout, _location);
  if (!_read_only && needs_upgrade(layout)) {
    co_await _run_script(_upgrade_script(layout.number), _upgrade_what(layout.number));
  }
  layout.add_existing(_ready_tables);
  if (!layout.tables.contains(record_class.table_name())) {
    if (_read_only) co_return false;  // no table yet: no records
    std::optional<DatabaseError> failure;
    try {
      co_await _run_script(
          _table_script(record_class, layout),
          fmt::format("create table '{}' in store '{}'", record_class.table_name(), _location));
    } catch (const DatabaseError& error) {
      failure = _lock_wait_failure(error, "the lock that guards creating the store's tables");
    }
    if (failure) throw std::move(*failure);
  }
  _ready_tables.insert(&record_class);
  co_return true;
}

bool PostgresqlConnection::_ensure_table_now(const RecordClass& record_class) {
  if (_ready_tables.contains(&record_class)) return true;
  const auto what = fmt::format("store '{}': read its layout", _location);
  const auto tables = _run_script_now(existing_tables_sql(Dialect::postgresql), what);
  auto layout = _layout_from(tables, nullptr);
  if (layout.versioned()) {
    const auto versions = _run_script_now(version_rows_sql(), what);
    layout = _layout_from(tables, &versions);
  }
  check_store_layout(layout, _location);
  if (!_read_only && needs_upgrade(layout)) {
    _run_script_now(_upgrade_script(layout.number), _upgrade_what(layout.number));
  }
  layout.add_existing(_ready_tables);
  if (!layout.tables.contains(record_class.table_name())) {
    if (_read_only) return false;
    try {
      _run_script_now(
          _table_script(record_class, layout),
          fmt::format("create table '{}' in store '{}'", record_class.table_name(), _location));
    } catch (const DatabaseError& error) {
      throw _lock_wait_failure(error, "the lock that guards creating the store's tables");
    }
  }
  _ready_tables.insert(&record_class);
  return true;
}

std::vector<Record> PostgresqlConnection::_read_rows(const RecordClass& record_class,
                                                     const pg_result* result) const {
  std::vector<Record> records;
  const int rows = PQntuples(result);
  records.reserve(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) records.push_back(_read_row(record_class, result, row));
  return records;
}

asio::awaitable<std::vector<Record>> PostgresqlConnection::select(const RecordClass& record_class,
                                                                  const Condition& condition) {
  if (!co_await _ensure_table(record_class)) co_return std::vector<Record>{};
  const auto rendered = render_select_all(record_class, condition, Dialect::postgresql);
  std::vector<std::string> parameters;
  std::size_t at = 0;
  for (const auto& term : condition.terms()) {
    if (term->value.is_null()) continue;
    parameters.push_back(
        parameter_text(record_class, std::string(term->field_name), rendered.parameters[at++]));
  }
  const auto result = co_await _run(rendered.sql, parameters, _what(record_class));
  co_return _read_rows(record_class, result.get());
}

asio::awaitable<std::vector<Record>> PostgresqlConnection::select_children(
    const RecordClass& record_class, std::size_t link_field,
    const std::vector<std::int64_t>& parents) {
  if (!co_await _ensure_table(record_class)) co_return std::vector<Record>{};
  // g++ 12 miscompiles braced temporaries inside co_await: named values instead.
  const std::vector<std::string> parameters{id_array(parents)};
  const auto result =
      co_await _run(render_select_children(record_class, link_field, Dialect::postgresql),
                    parameters, _what(record_class));
  co_return _read_rows(record_class, result.get());
}

asio::awaitable<bool> PostgresqlConnection::refers_to_any(
    const RecordClass& record_class, std::size_t link_field,
    const std::vector<std::int64_t>& parents) {
  if (parents.empty() || !co_await _ensure_table(record_class)) co_return false;
  // The block's range: identifiers another session took from the sequence in
  // between may fall in it, and then their records count too (the scope is
  // read from the store, which is never wrong).
  const auto [lowest, highest] = std::minmax_element(parents.begin(), parents.end());
  const std::vector<std::string> parameters{std::to_string(*lowest), std::to_string(*highest)};
  const auto result =
      co_await _run(render_refers_to_any(record_class, link_field, Dialect::postgresql), parameters,
                    _what(record_class));
  co_return PQntuples(result.get()) > 0;
}

asio::awaitable<std::vector<std::int64_t>> PostgresqlConnection::select_ids_under(
    const RecordClass& record_class, const std::vector<ParentStep>& path, std::int64_t root) {
  std::vector<std::int64_t> ids;
  if (!co_await _ensure_table(record_class)) co_return ids;
  for (const auto& step : path) {
    if (!co_await _ensure_table(*step.parent)) co_return ids;
  }
  const std::vector<std::string> parameters{std::to_string(root)};
  const auto result = co_await _run(render_ids_under(record_class, path, Dialect::postgresql),
                                    parameters, _what(record_class));
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    ids.push_back(std::stoll(PQgetvalue(result.get(), row, 0)));
  }
  co_return ids;
}

std::vector<std::string> PostgresqlConnection::_reserve_parameters(const RecordClass& record_class,
                                                                   std::size_t count) const {
  // The sequence belongs to the table as the search path finds it.
  return {quote_identifier(record_class.table_name()), std::string(record_class.id_field()),
          std::to_string(count)};
}

namespace {
std::vector<std::int64_t> reserved_ids(const pg_result* result) {
  std::vector<std::int64_t> ids;
  ids.reserve(static_cast<std::size_t>(PQntuples(result)));
  for (int row = 0; row < PQntuples(result); ++row)
    ids.push_back(std::stoll(PQgetvalue(result, row, 0)));
  std::sort(ids.begin(), ids.end());
  return ids;
}
}  // namespace

asio::awaitable<std::vector<std::int64_t>> PostgresqlConnection::reserve(
    const RecordClass& record_class, std::size_t count) {
  co_await _ensure_table(record_class);
  const auto result = co_await _run(render_reserve_identifiers(),
                                    _reserve_parameters(record_class, count), _what(record_class));
  co_return reserved_ids(result.get());
}

std::vector<std::int64_t> PostgresqlConnection::reserve_now(const RecordClass& record_class,
                                                            std::size_t count) {
  _ensure_table_now(record_class);
  const auto result = _run_now(render_reserve_identifiers(),
                               _reserve_parameters(record_class, count), _what(record_class));
  return reserved_ids(result.get());
}

std::vector<PostgresqlConnection::Statement> PostgresqlConnection::_statements_for(
    const ClassWrites& writes) const {
  const auto& record_class = *writes.record_class;
  const auto field_count = record_class.fields().size();
  std::vector<Statement> statements;
  if (!writes.deletes.empty()) {
    statements.push_back({render_delete_array(record_class), {id_array(writes.deletes)}});
  }
  for (const auto& updates : writes.updates) {
    Statement statement{render_update_arrays(record_class, updates.mask), {}};
    statement.parameters.push_back(field_array(record_class, 0, updates.rows));
    for (std::size_t i = 1; i < field_count; ++i) {
      if ((updates.mask & (std::uint64_t{1} << i)) != 0) {
        statement.parameters.push_back(field_array(record_class, i, updates.rows));
      }
    }
    statements.push_back(std::move(statement));
  }
  if (!writes.inserts.empty()) {
    Statement statement{render_insert_arrays(record_class), {}};
    for (std::size_t i = 0; i < field_count; ++i) {
      statement.parameters.push_back(field_array(record_class, i, writes.inserts));
    }
    statements.push_back(std::move(statement));
  }
  return statements;
}

asio::awaitable<void> PostgresqlConnection::write(const ClassWrites& writes) {
  co_await _ensure_table(*writes.record_class);
  for (const auto& statement : _statements_for(writes)) {
    co_await _run(statement.sql, statement.parameters, _what(*writes.record_class));
  }
}

void PostgresqlConnection::write_now(const ClassWrites& writes) {
  _ensure_table_now(*writes.record_class);
  for (const auto& statement : _statements_for(writes)) {
    _run_now(statement.sql, statement.parameters, _what(*writes.record_class));
  }
}

asio::awaitable<void> PostgresqlConnection::execute(std::string_view sql) {
  const std::string text(sql);
  co_await _run_script(text, fmt::format("store '{}'", _location));
  // A rollback may have undone tables created inside the transaction: check again.
  if (text.starts_with("ROLLBACK")) _ready_tables.clear();
}

void PostgresqlConnection::execute_now(std::string_view sql) {
  const std::string text(sql);
  _run_script_now(text, fmt::format("store '{}'", _location));
  if (text.starts_with("ROLLBACK")) _ready_tables.clear();
}

asio::awaitable<void> PostgresqlConnection::lock(std::string_view key) {
  const std::string sql = "SELECT pg_advisory_xact_lock($1)";
  std::optional<DatabaseError> failure;
  try {
    const std::vector<std::string> parameters{std::to_string(lock_key_of(key))};
    co_await _run(sql, parameters, fmt::format("store '{}': lock '{}'", _location, key));
  } catch (const DatabaseError& error) {
    failure = _lock_wait_failure(error, fmt::format("the lock of schema '{}'", key));
  }
  if (failure) throw std::move(*failure);
}

bool PostgresqlConnection::in_transaction() const noexcept {
  return PQtransactionStatus(_connection.get()) != PQTRANS_IDLE;
}

}  // namespace kelmarion::core::detail
