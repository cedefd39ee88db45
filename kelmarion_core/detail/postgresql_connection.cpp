#include "kelmarion_core/detail/postgresql_connection.h"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <fmt/format.h>
#include <libpq-fe.h>

#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {
namespace {

// Serialises table creation across every session of every process on one database.
constexpr std::int64_t table_creation_lock_key = 0x6b656c6d61726961;  // "kelmaria"

// FNV-1a: a stable 64-bit advisory lock key for a text.
std::int64_t lock_key_of(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : std::string_view("kelmarion_meta:")) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  return static_cast<std::int64_t>(hash);
}

std::string connection_message(pg_conn* connection) {
  std::string text = PQerrorMessage(connection);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (auto& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

// Parameters as libpq takes them: text, or a null pointer for NULL.
class ParameterTexts {
 public:
  explicit ParameterTexts(const std::vector<SqlValue>& parameters)
      : _texts(parameters.size()), _values(parameters.size(), nullptr) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      if (const auto* integer = std::get_if<std::int64_t>(&parameters[i])) {
        _texts[i] = std::to_string(*integer);
        _values[i] = _texts[i].c_str();
      } else if (const auto* text = std::get_if<std::string>(&parameters[i])) {
        _values[i] = text->c_str();
      }
    }
  }
  [[nodiscard]] int count() const { return static_cast<int>(_values.size()); }
  [[nodiscard]] const char* const* values() const { return _values.data(); }

 private:
  std::vector<std::string> _texts;
  std::vector<const char*> _values;
};

}  // namespace

PostgresqlConnection::PostgresqlConnection(const std::string& url, std::string location)
    : _location(std::move(location)), _connection(connect_postgresql(url, _location)) {
  // Notices ("relation already exists, skipping") are not for the host's terminal.
  check_postgresql(PgResult(PQexec(_connection.get(), "SET client_min_messages = warning")),
                   _connection.get(), fmt::format("store '{}'", _location), "SET client_min_messages");
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
  auto name = fmt::format("kelmarion_{}", _statement_names.size() + 1);
  // Preparing analyses the statement, which waits for locks on its tables like
  // running it does, so it is awaited too.
  if (PQsendPrepare(_connection.get(), name.c_str(), sql.c_str(), 0, nullptr) == 0) {
    throw DatabaseError(fmt::format("store '{}': prepare: {}", _location,
                                    connection_message(_connection.get())),
                        "", connection_message(_connection.get()), sql);
  }
  co_await _finish(sql, fmt::format("store '{}': prepare", _location));
  _statement_names.emplace(sql, name);
  co_return name;
}

const std::string& PostgresqlConnection::_prepared_name_now(const std::string& sql) {
  const auto found = _statement_names.find(sql);
  if (found != _statement_names.end()) return found->second;
  auto name = fmt::format("kelmarion_{}", _statement_names.size() + 1);
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

asio::awaitable<PgResult> PostgresqlConnection::_run(const std::string& sql,
                                                     const std::vector<SqlValue>& parameters,
                                                     std::string_view what) {
  const auto name = co_await _prepared_name(sql);
  const ParameterTexts texts(parameters);
  if (PQsendQueryPrepared(_connection.get(), name.c_str(), texts.count(), texts.values(), nullptr,
                          nullptr, 0) == 0) {
    throw DatabaseError(fmt::format("{}: {}", what, connection_message(_connection.get())), "",
                        connection_message(_connection.get()), sql);
  }
  co_return co_await _finish(sql, what);
}

PgResult PostgresqlConnection::_run_now(const std::string& sql,
                                        const std::vector<SqlValue>& parameters,
                                        std::string_view what) {
  const auto& name = _prepared_name_now(sql);
  const ParameterTexts texts(parameters);
  return check_postgresql(PgResult(PQexecPrepared(_connection.get(), name.c_str(), texts.count(),
                                                  texts.values(), nullptr, nullptr, 0)),
                          _connection.get(), what, sql);
}

asio::awaitable<PgResult> PostgresqlConnection::_run_script(const std::string& sql,
                                                            std::string_view what) {
  if (PQsendQuery(_connection.get(), sql.c_str()) == 0) {
    throw DatabaseError(fmt::format("{}: {}", what, connection_message(_connection.get())), "",
                        connection_message(_connection.get()), sql);
  }
  co_return co_await _finish(sql, what);
}

std::string PostgresqlConnection::_table_script(const RecordClass& record_class) const {
  // CREATE TABLE IF NOT EXISTS is not safe against a concurrent creator; the lock
  // makes every other session wait until the tables exist.
  std::string script = fmt::format("SELECT pg_advisory_xact_lock({});", table_creation_lock_key);
  if (_ready_tables.empty()) {
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

asio::awaitable<void> PostgresqlConnection::_ensure_table(const RecordClass& record_class) {
  if (_ready_tables.contains(&record_class)) co_return;
  co_await _run_script(_table_script(record_class),
                       fmt::format("create table '{}' in store '{}'", record_class.table_name(),
                                   _location));
  _ready_tables.insert(&record_class);
}

void PostgresqlConnection::_ensure_table_now(const RecordClass& record_class) {
  if (_ready_tables.contains(&record_class)) return;
  const auto script = _table_script(record_class);
  check_postgresql(PgResult(PQexec(_connection.get(), script.c_str())), _connection.get(),
                   fmt::format("create table '{}' in store '{}'", record_class.table_name(),
                               _location),
                   script);
  _ready_tables.insert(&record_class);
}

Record PostgresqlConnection::_read_row(const RecordClass& record_class, const pg_result* result,
                                       int row) const {
  const auto fields = record_class.fields();
  std::vector<nlohmann::ordered_json> values;
  values.reserve(fields.size());
  for (int i = 0; i < static_cast<int>(fields.size()); ++i) {
    if (PQgetisnull(result, row, i) != 0) {
      values.emplace_back(nullptr);
      continue;
    }
    const std::string_view text(PQgetvalue(result, row, i),
                                static_cast<std::size_t>(PQgetlength(result, row, i)));
    switch (fields[static_cast<std::size_t>(i)].kind) {
      case FieldKind::integer:
        values.emplace_back(std::stoll(std::string(text)));
        break;
      case FieldKind::boolean:
        values.emplace_back(text == "t");
        break;
      case FieldKind::text:
      case FieldKind::json:
        values.push_back(from_stored_text(fields[static_cast<std::size_t>(i)].kind, text));
        break;
    }
  }
  return Record(record_class, std::move(values));
}

std::vector<Record> PostgresqlConnection::_read_rows(const RecordClass& record_class,
                                                     const pg_result* result) const {
  std::vector<Record> records;
  const int rows = PQntuples(result);
  records.reserve(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) records.push_back(_read_row(record_class, result, row));
  return records;
}

asio::awaitable<std::optional<Record>> PostgresqlConnection::find_first(
    const RecordClass& record_class, const Condition& condition) {
  co_await _ensure_table(record_class);
  const auto select = render_select_first(record_class, condition, Dialect::postgresql);
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const auto result = co_await _run(select.sql, select.parameters, what);
  if (PQntuples(result.get()) == 0) co_return std::nullopt;
  co_return _read_row(record_class, result.get(), 0);
}

asio::awaitable<std::vector<Record>> PostgresqlConnection::find_all(
    const RecordClass& record_class, const Condition& condition) {
  co_await _ensure_table(record_class);
  const auto select = render_select_all(record_class, condition, Dialect::postgresql);
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const auto result = co_await _run(select.sql, select.parameters, what);
  co_return _read_rows(record_class, result.get());
}

Record PostgresqlConnection::insert(const RecordClass& record_class,
                                    const nlohmann::ordered_json& data) {
  // A plain call: it blocks its caller until the server has answered.
  auto given = collect_field_values(record_class, data);
  _ensure_table_now(record_class);
  const auto sql = render_insert(record_class, given.mask, Dialect::postgresql);
  auto parameters = present_values(std::move(given));
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const auto result = _run_now(sql, parameters, what);
  return _read_row(record_class, result.get(), 0);
}

asio::awaitable<Record> PostgresqlConnection::update(const RecordClass& record_class,
                                                     std::int64_t id,
                                                     const nlohmann::ordered_json& data) {
  auto given = collect_field_values(record_class, data);
  co_await _ensure_table(record_class);
  const auto sql = render_update(record_class, given.mask, Dialect::postgresql);
  auto parameters = present_values(std::move(given));
  parameters.emplace_back(id);
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const auto result = co_await _run(sql, parameters, what);
  if (PQntuples(result.get()) == 0) {
    throw DatabaseError(fmt::format("{}: no record with {} {} to update", what,
                                    record_class.id_field(), id),
                        "", "", sql);
  }
  co_return _read_row(record_class, result.get(), 0);
}

asio::awaitable<void> PostgresqlConnection::remove(const RecordClass& record_class,
                                                   std::int64_t id) {
  co_await _ensure_table(record_class);
  const auto sql = render_delete(record_class, Dialect::postgresql);
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const std::vector<SqlValue> parameters{SqlValue{id}};
  co_await _run(sql, parameters, what);
}

asio::awaitable<void> PostgresqlConnection::execute(std::string_view sql) {
  const std::string text(sql);
  co_await _run_script(text, fmt::format("store '{}'", _location));
  // A rollback may have undone tables created inside the transaction: check again.
  if (text.starts_with("ROLLBACK")) _ready_tables.clear();
}

asio::awaitable<void> PostgresqlConnection::lock(std::string_view key) {
  const std::string sql = "SELECT pg_advisory_xact_lock($1)";
  const std::vector<SqlValue> parameters{SqlValue{lock_key_of(key)}};
  co_await _run(sql, parameters, fmt::format("store '{}': lock '{}'", _location, key));
}

bool PostgresqlConnection::in_transaction() const noexcept {
  return PQtransactionStatus(_connection.get()) != PQTRANS_IDLE;
}

}  // namespace kelmarion::core::detail
