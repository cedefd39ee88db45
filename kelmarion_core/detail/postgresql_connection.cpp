#include "kelmarion_core/detail/postgresql_connection.h"

#include <algorithm>
#include <charconv>
#include <set>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <fmt/format.h>
#include <libpq-fe.h>

#include "kelmarion_core/detail/duration_text.h"
#include "kelmarion_core/detail/postgresql_statements.h"
#include "kelmarion_core/detail/postgresql_values.h"
#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/logging.h"

namespace kelmarion::core::detail {
namespace {

// Queued writes are sent on, without waiting for their results, once this many wait.
constexpr std::size_t send_ahead_size = 128;
constexpr int largest_identifier_block = 8192;
// Parents whose children one read brings.
constexpr std::size_t read_ahead_parents = 256;

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
    if (c == '\n' || c == '\t') c = ' ';
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

// libpq keeps a text parameter as a C string, so a NUL would silently cut it short.
void refuse_nul(std::string_view table, std::string_view field, FieldKind kind,
                const SqlValue& value) {
  const auto* text = std::get_if<std::string>(&value);
  if (kind == FieldKind::text && text != nullptr && text->find('\0') != std::string::npos) {
    throw DocumentTypeError(fmt::format(
        "{}: field '{}' holds a NUL character, which a PostgreSQL store cannot keep", table,
        field));
  }
}

void refuse_nul(const RecordClass& record_class, const FieldValues& given) {
  const auto fields = record_class.fields();
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if (given.present[i]) {
      refuse_nul(record_class.table_name(), fields[i].name, fields[i].kind, given.values[i]);
    }
  }
}

void refuse_nul(const RecordClass& record_class, const Condition& condition) {
  for (const auto& term : condition.terms()) {
    if (!term || term->kind != FieldKind::text) continue;
    refuse_nul(record_class.table_name(), term->field_name, term->kind,
               to_sql_value(record_class.table_name(), term->field_name, term->kind, term->value));
  }
}

bool holds_number(const nlohmann::ordered_json& value) {
  if (value.is_number()) return true;
  if (!value.is_structured()) return false;
  return std::any_of(value.begin(), value.end(), holds_number);
}

// Runs `work` to its end on a private event loop, blocking the caller.
void run_to_end(asio::awaitable<void> work) {
  asio::io_context context;
  std::exception_ptr failure;
  asio::co_spawn(context, std::move(work),
                 [&failure](std::exception_ptr error) { failure = std::move(error); });
  context.run();
  if (failure) std::rethrow_exception(failure);
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
  const auto* server_encoding = PQparameterStatus(_connection.get(), "server_encoding");
  const auto* client_encoding = PQparameterStatus(_connection.get(), "client_encoding");
  _may_queue = server_encoding != nullptr && client_encoding != nullptr &&
               std::string_view(server_encoding) == "UTF8" &&
               std::string_view(client_encoding) == "UTF8";
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

asio::awaitable<StoreLayout> PostgresqlConnection::_read_layout() {
  const auto what = fmt::format("store '{}': read its layout", _location);
  StoreLayout layout;
  const auto tables = co_await _run_script(existing_tables_sql(Dialect::postgresql), what);
  for (int row = 0; row < PQntuples(tables.get()); ++row) {
    note_existing_table(layout, PQgetvalue(tables.get(), row, 0));
  }
  if (layout.versioned()) {
    const auto versions = co_await _run_script(version_rows_sql(), what);
    for (int row = 0; row < PQntuples(versions.get()); ++row) {
      layout.versions.push_back(PQgetisnull(versions.get(), row, 0) != 0
                                    ? std::nullopt
                                    : std::optional<std::string>(PQgetvalue(versions.get(), row, 0)));
    }
  }
  check_store_layout(layout, _location);
  co_return layout;
}

void PostgresqlConnection::_refuse_write(const RecordClass& record_class) const {
  if (!_read_only) return;
  throw ConfigurationError(fmt::format("store '{}', table '{}': the store was opened read-only",
                                       _location, record_class.table_name()));
}

DatabaseError PostgresqlConnection::_lock_wait_failure(const DatabaseError& error,
                                                      std::string_view waited_for) const {
  if (error.code() != "55P03") return error;
  return DatabaseError(fmt::format("store '{}': gave up after waiting {} for {}, which another "
                                   "session holds ({})",
                                   _location, duration_text(_lock_timeout), waited_for,
                                   error.engine_message()),
                       error.code(), error.engine_message(), error.sql());
}

asio::awaitable<bool> PostgresqlConnection::_ensure_table(const RecordClass& record_class) {
  if (_ready_tables.contains(&record_class)) co_return true;
  co_await _flush_queue();  // a script cannot run inside the pipeline
  const auto layout = co_await _read_layout();
  if (!layout.tables.contains(record_class.table_name())) {
    if (_read_only) co_return false;  // no table yet: no records
    std::optional<DatabaseError> failure;
    try {
      co_await _run_script(_table_script(record_class, layout),
                           fmt::format("create table '{}' in store '{}'",
                                       record_class.table_name(), _location));
    } catch (const DatabaseError& error) {
      failure = _lock_wait_failure(error, "the lock that guards creating the store's tables");
    }
    if (failure) throw std::move(*failure);
  }
  _ready_tables.insert(&record_class);
  co_return true;
}

asio::awaitable<void> PostgresqlConnection::_create_table(const RecordClass& record_class) {
  (void)co_await _ensure_table(record_class);
}

void PostgresqlConnection::_ensure_table_now(const RecordClass& record_class) {
  if (_ready_tables.contains(&record_class)) return;
  run_to_end(_create_table(record_class));
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

std::vector<Record> PostgresqlConnection::_read_rows(const RecordClass& record_class,
                                                     const pg_result* result) const {
  std::vector<Record> records;
  const int rows = PQntuples(result);
  records.reserve(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) records.push_back(_read_row(record_class, result, row));
  return records;
}

bool PostgresqlConnection::_queueing() const noexcept {
  // Inside the pipeline the transaction reads as active: it is the one the
  // writes sent ahead run in.
  return _may_queue && (_in_pipeline || PQtransactionStatus(_connection.get()) == PQTRANS_INTRANS);
}

std::optional<TransactionMirror::Expected> PostgresqlConnection::_expected(
    const RecordClass& record_class, const Condition& condition) const {
  TransactionMirror::Expected expected;
  for (const auto& term : condition.terms()) {
    if (!term || term->table_name != record_class.table_name()) return std::nullopt;
    const auto index = record_class.field_index(term->field_name);
    if (!index) return std::nullopt;
    const auto& field = record_class.fields()[*index];
    const auto value = to_sql_value(record_class.table_name(), field.name, field.kind, term->value);
    refuse_nul(record_class.table_name(), field.name, field.kind, value);
    std::optional<nlohmann::ordered_json> stored;
    if (field.kind == FieldKind::json && !term->value.is_null()) {
      stored = postgresql_stored_json(term->value);
    }
    if (!stored) stored = postgresql_stored_value(field.kind, value);
    // The server compares JSON numbers as exact decimals; this side would not.
    if (!stored || (field.kind == FieldKind::json && holds_number(*stored))) return std::nullopt;
    expected.push_back(std::move(*stored));
  }
  return expected;
}

std::optional<PostgresqlConnection::KnownLookup> PostgresqlConnection::_known_lookup(
    const RecordClass& record_class, const Condition& condition) const {
  if (!_queueing()) return std::nullopt;
  auto expected = _expected(record_class, condition);
  if (!expected) return std::nullopt;
  const auto set = TransactionMirror::link_of(record_class, condition, *expected);
  if (!set) return std::nullopt;
  return KnownLookup{std::move(*expected), *set};
}

bool PostgresqlConnection::_mirror_lacks(const TransactionMirror::ChildSet& set) {
  return (_mirror.parent_is_new(set) && _mirror.stored_children_unchecked(set)) ||
         !_mirror.knows(set);
}

asio::awaitable<void> PostgresqlConnection::_read_into_mirror(
    const RecordClass& record_class, const TransactionMirror::ChildSet& set) {
  if (_mirror.parent_is_new(set) && _mirror.stored_children_unchecked(set)) {
    // Records stored apart from this transaction's that refer to a new parent's
    // identifier (of this link, from the first new parent on) make it a parent
    // with children after all.
    const auto sql = render_stored_children_check(record_class, set.link_field);
    const std::vector<SqlValue> parameters{
        SqlValue{_mirror.first_new_parent(set)},
        SqlValue{_mirror.first_created(record_class).value_or(INT64_MAX)}};
    const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
    const auto result = co_await _run_after_queue(sql, parameters, what);
    _mirror.note_stored_children(set, PQntuples(result.get()) > 0);
  }
  if (!_mirror.knows(set)) {
    // The first lookup under a parent reads the children of the class under it
    // and under the parents a save walks next: the lookups after it are
    // answered here.
    const auto parents = _mirror.window_from(set, read_ahead_parents);
    std::vector<SqlValue> ids(parents.begin(), parents.end());
    std::vector<const SqlValue*> id_list;
    id_list.reserve(ids.size());
    for (const auto& id : ids) id_list.push_back(&id);
    const std::vector<SqlValue> parameters{SqlValue{array_literal(id_list)}};
    const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
    const auto result = co_await _run_after_queue(
        render_select_children(record_class, set.link_field), parameters, what);
    _mirror.adopt(set, parents, _read_rows(record_class, result.get()));
  }
}

std::vector<Record> PostgresqlConnection::_known_answer(const KnownLookup& lookup,
                                                        const Condition& condition,
                                                        bool first_only) {
  auto found = _mirror.matches(lookup.set, condition, lookup.expected, first_only);
  if (first_only && !found.empty()) _mirror.note_found_in(lookup.set, found.front().id());
  return found;
}

bool PostgresqlConnection::_identifier_reserved(const RecordClass& record_class) const {
  const auto reserved = _reserved.find(&record_class);
  return reserved != _reserved.end() && reserved->second.next < reserved->second.ids.size();
}

bool PostgresqlConnection::find_first_quickly(const RecordClass& record_class,
                                              const Condition& condition,
                                              std::optional<Record>& result) {
  refuse_nul(record_class, condition);
  if (!_ready_tables.contains(&record_class)) return false;
  const auto lookup = _known_lookup(record_class, condition);
  if (!lookup || _mirror_lacks(lookup->set)) return false;
  auto found = _known_answer(*lookup, condition, true);
  if (found.empty()) {
    // A new record usually follows: its identifier must be at hand.
    if (!_identifier_reserved(record_class)) return false;
    result = std::nullopt;
    return true;
  }
  result = std::move(found.front());
  return true;
}

asio::awaitable<std::optional<Record>> PostgresqlConnection::find_first(
    const RecordClass& record_class, const Condition& condition) {
  refuse_nul(record_class, condition);
  if (!_ready_tables.contains(&record_class)) {
    const bool exists = co_await _ensure_table(record_class);
    if (!exists) co_return std::nullopt;
  }
  if (const auto lookup = _known_lookup(record_class, condition)) {
    if (_mirror_lacks(lookup->set)) co_await _read_into_mirror(record_class, lookup->set);
    auto known = _known_answer(*lookup, condition, true);
    if (known.empty()) {
      // A new record usually follows a lookup that finds none.
      if (!_identifier_reserved(record_class)) co_await _reserve_ahead(record_class);
      co_return std::nullopt;
    }
    co_return std::move(known.front());
  }
  const auto select = render_select_first(record_class, condition, Dialect::postgresql);
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const auto result = co_await _run_after_queue(select.sql, select.parameters, what);
  if (PQntuples(result.get()) == 0) co_return std::nullopt;
  auto record = _read_row(record_class, result.get(), 0);
  if (_queueing()) _mirror.note_found(record);
  co_return record;
}

asio::awaitable<std::vector<Record>> PostgresqlConnection::find_all(
    const RecordClass& record_class, const Condition& condition) {
  refuse_nul(record_class, condition);
  if (!_ready_tables.contains(&record_class)) {
    const bool exists = co_await _ensure_table(record_class);
    if (!exists) co_return std::vector<Record>{};
  }
  if (const auto lookup = _known_lookup(record_class, condition)) {
    if (_mirror_lacks(lookup->set)) co_await _read_into_mirror(record_class, lookup->set);
    co_return _known_answer(*lookup, condition, false);
  }
  const auto select = render_select_all(record_class, condition, Dialect::postgresql);
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const auto result = co_await _run_after_queue(select.sql, select.parameters, what);
  co_return _read_rows(record_class, result.get());
}

std::optional<Record> PostgresqlConnection::_predicted(const RecordClass& record_class,
                                                       const nlohmann::ordered_json& data,
                                                       const FieldValues& given,
                                                       const Record* current,
                                                       std::int64_t id) const {
  // The cell each field will hold; texts point into `given`, `current` or `made`.
  struct Cell {
    RowImage::CellKind kind = RowImage::CellKind::null;
    std::int64_t integer = 0;
    std::string_view text;
  };
  const auto fields = record_class.fields();
  std::vector<Cell> cells(fields.size());
  std::vector<std::string> made;  // texts of JSON values written here
  made.reserve(fields.size());    // never moves: views of its texts stay valid
  const auto integer_cell = [](std::int64_t number) {
    return Cell{RowImage::CellKind::integer, number, {}};
  };
  const auto text_cell = [](std::string_view text) {
    return Cell{RowImage::CellKind::text, 0, text};
  };
  // The fields not given keep the cells of the stored row; every record the
  // mirror holds was read or worked out here as an image.
  const auto* current_image = current != nullptr ? current->image() : nullptr;
  if (current != nullptr && current_image == nullptr) return std::nullopt;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const auto kind = fields[i].kind;
    if (!given.present[i]) {
      if (current_image == nullptr) continue;
      switch (current_image->kind(i)) {
        case RowImage::CellKind::null:
          break;
        case RowImage::CellKind::integer:
          cells[i] = integer_cell(current_image->integer(i));
          break;
        case RowImage::CellKind::text:
          cells[i] = text_cell(current_image->text(i));
          break;
      }
      continue;
    }
    const auto& value = given.values[i];
    if (std::holds_alternative<std::monostate>(value)) continue;
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
      if (kind == FieldKind::integer) {
        cells[i] = integer_cell(*integer);
      } else if (kind == FieldKind::boolean) {
        cells[i] = integer_cell(*integer != 0 ? 1 : 0);
      } else {
        return std::nullopt;  // not a value the data services bind for other kinds
      }
      continue;
    }
    const auto& text = std::get<std::string>(value);
    if (kind == FieldKind::text) {
      if (!postgresql_accepts_text(text)) return std::nullopt;
      cells[i] = text_cell(text);
      continue;
    }
    if (kind != FieldKind::json) return std::nullopt;
    std::optional<nlohmann::ordered_json> stored;
    // Straight from the document value rather than parsing its text again.
    if (const auto& document_value = data.at(std::string(fields[i].name));
        !document_value.is_null()) {
      stored = postgresql_stored_json(document_value);
    }
    if (!stored) stored = postgresql_stored_value(kind, value);
    if (!stored) return std::nullopt;
    cells[i] = text_cell(made.emplace_back(stored->dump()));
  }
  return Record::from_image(record_class, [&](RowImage& image) {
    std::size_t text_bytes = 0;
    for (const auto& cell : cells) text_bytes += cell.text.size();
    image.reserve_text(text_bytes);
    image.set_integer(0, id);
    for (std::size_t i = 1; i < cells.size(); ++i) {
      if (cells[i].kind == RowImage::CellKind::integer) {
        image.set_integer(i, cells[i].integer);
      } else if (cells[i].kind == RowImage::CellKind::text) {
        image.set_text(i, cells[i].text);
      }
    }
  });
}

const std::string& PostgresqlConnection::_sql_text(const RecordClass& record_class,
                                                   std::uint64_t mask, bool insert) {
  auto [text, added] = _sql_texts.try_emplace({&record_class, mask, insert});
  if (added) {
    text->second = insert ? render_insert_many(record_class, mask)
                          : render_quiet_update(record_class, mask);
  }
  return text->second;
}

void PostgresqlConnection::_queue(QueuedWrite write) { _queued.push_back(std::move(write)); }

PostgresqlConnection::Batches PostgresqlConnection::_batches(
    const std::vector<QueuedWrite>& writes) {
  // New records are unknown to every other queued write, so all inserts may go
  // first, one statement per class and set of fields. Updates follow one by
  // one, in the order they were made.
  using Key = std::pair<const RecordClass*, std::uint64_t>;
  std::vector<std::pair<Key, std::vector<const QueuedWrite*>>> inserts;
  std::map<Key, std::size_t> run_of;
  std::size_t updates = 0;
  std::size_t array_count = 0;    // the inserts' parameters
  std::size_t update_values = 0;  // the updates' parameters, the identifier included
  std::size_t number_count = 0;   // the updates' integer parameters
  for (const auto& write : writes) {
    if (!write.insert) {
      ++updates;
      update_values += write.values.size() + 1;
      number_count += 1 + static_cast<std::size_t>(std::count_if(
                              write.values.begin(), write.values.end(), [](const SqlValue& value) {
                                return std::holds_alternative<std::int64_t>(value);
                              }));
      continue;
    }
    const auto [found, added] =
        run_of.try_emplace(Key{write.record_class, write.mask}, inserts.size());
    if (added) {
      inserts.push_back({found->first, {}});
      array_count += 1 + write.values.size();
    }
    inserts[found->second].second.push_back(&write);
  }

  Batches batches;
  batches.list.reserve(inserts.size() + updates);
  batches.arrays.reserve(array_count);
  batches.values.reserve(array_count + update_values);
  // Room for the longest integer text, "-9223372036854775808", and its NUL.
  constexpr std::size_t number_room = 21;
  batches.numbers.reset(new char[number_count * number_room]);
  char* next_number = batches.numbers.get();
  const auto number_text = [&next_number](std::int64_t number) {
    char* text = next_number;
    char* end = std::to_chars(text, text + number_room - 1, number).ptr;
    *end = '\0';
    next_number = end + 1;
    return text;
  };

  for (const auto& [key, run] : inserts) {
    const auto& [record_class, mask] = key;
    const auto first = batches.values.size();
    std::vector<SqlValue> ids;
    ids.reserve(run.size());
    for (const auto* write : run) ids.emplace_back(write->id);
    std::vector<const SqlValue*> column(run.size());
    for (std::size_t row = 0; row < run.size(); ++row) column[row] = &ids[row];
    batches.values.push_back(batches.arrays.emplace_back(array_literal(column)).c_str());
    for (std::size_t field = 0; field < run.front()->values.size(); ++field) {
      for (std::size_t row = 0; row < run.size(); ++row) column[row] = &run[row]->values[field];
      batches.values.push_back(batches.arrays.emplace_back(array_literal(column)).c_str());
    }
    batches.list.push_back({&_sql_text(*record_class, mask, true), first,
                            batches.values.size() - first, record_class->table_name()});
  }
  for (const auto& write : writes) {
    if (write.insert) continue;
    // Text parameters point into `writes`, which outlive the exchange; only
    // integers need text of their own.
    const auto first = batches.values.size();
    for (const auto& value : write.values) {
      if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        batches.values.push_back(number_text(*integer));
      } else if (const auto* text = std::get_if<std::string>(&value)) {
        batches.values.push_back(text->c_str());
      } else {
        batches.values.push_back(nullptr);
      }
    }
    batches.values.push_back(number_text(write.id));
    batches.list.push_back({&_sql_text(*write.record_class, write.mask, false), first,
                            batches.values.size() - first, write.record_class->table_name()});
  }
  return batches;
}

std::string PostgresqlConnection::_reserve_what(const RecordClass& record_class) const {
  return fmt::format("store '{}', table '{}': reserve identifiers", _location,
                     record_class.table_name());
}

std::vector<SqlValue> PostgresqlConnection::_reserve_parameters(const RecordClass& record_class,
                                                                const Reserved& reserved) const {
  return {SqlValue{quote_identifier(record_class.table_name())},
          SqlValue{std::string(record_class.id_field())}, SqlValue{std::int64_t{reserved.block}}};
}

void PostgresqlConnection::_take_reserved(Reserved& reserved, const pg_result* result) {
  reserved.ids.clear();
  reserved.next = 0;
  const int rows = PQntuples(result);
  for (int row = 0; row < rows; ++row) reserved.ids.push_back(std::stoll(PQgetvalue(result, row, 0)));
  // Larger blocks as a transaction goes on: few round trips, few unused values.
  reserved.block = std::min(reserved.block * 4, largest_identifier_block);
}

asio::awaitable<void> PostgresqlConnection::_reserve_ahead(const RecordClass& record_class) {
  auto& reserved = _reserved[&record_class];
  const auto result = co_await _run_after_queue(render_reserve_identifiers(),
                                                _reserve_parameters(record_class, reserved),
                                                _reserve_what(record_class));
  _take_reserved(reserved, result.get());
}

std::int64_t PostgresqlConnection::_next_identifier_now(const RecordClass& record_class) {
  auto& reserved = _reserved[&record_class];
  if (reserved.next >= reserved.ids.size()) {
    _flush_queue_now();  // a blocking statement cannot run inside the pipeline
    const auto result = _run_now(render_reserve_identifiers(),
                                 _reserve_parameters(record_class, reserved),
                                 _reserve_what(record_class));
    _take_reserved(reserved, result.get());
  }
  return reserved.ids.at(reserved.next++);
}

Record PostgresqlConnection::insert(const RecordClass& record_class,
                                    const nlohmann::ordered_json& data) {
  // A plain call: when it cannot be queued, it blocks its caller until the
  // server has answered.
  _refuse_write(record_class);
  auto given = collect_field_values(record_class, data);
  refuse_nul(record_class, given);
  _ensure_table_now(record_class);
  if (_queueing()) {
    if (auto record = _predicted(record_class, data, given, nullptr, 0);
        record && _mirror.keeps_unique(*record)) {
      // The identifier is taken only for a write that is queued.
      auto image = *record->image();
      image.set_integer(0, _next_identifier_now(record_class));
      const Record created(record_class, std::move(image));
      const auto id = created.id();
      const auto mask = given.mask;
      _queue({&record_class, mask, true, id, present_values(std::move(given))});
      _mirror.note_created(created);
      _send_ahead_if_due();
      return created;
    }
    _flush_queue_now();
  }
  const auto sql = render_insert(record_class, given.mask, Dialect::postgresql);
  auto parameters = present_values(std::move(given));
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const auto result = _run_now(sql, parameters, what);
  auto record = _read_row(record_class, result.get(), 0);
  if (_queueing()) _mirror.note_created(record);
  return record;
}

std::optional<Record> PostgresqlConnection::_update_known(const RecordClass& record_class,
                                                          std::int64_t id,
                                                          const nlohmann::ordered_json& data,
                                                          FieldValues& given) {
  const auto* current = _queueing() ? _mirror.find(record_class, id) : nullptr;
  if (current == nullptr) return std::nullopt;
  auto record = _predicted(record_class, data, given, current, id);
  if (!record || !_mirror.keeps_unique(*record)) return std::nullopt;
  if (const auto mask = given.mask; mask != 0) {
    _queue({&record_class, mask, false, id, present_values(std::move(given))});
  }
  _mirror.note_updated(*record, current);
  _send_ahead_if_due();
  return record;
}

bool PostgresqlConnection::update_quickly(const RecordClass& record_class, std::int64_t id,
                                          const nlohmann::ordered_json& data,
                                          std::optional<Record>& result) {
  auto given = collect_field_values(record_class, data);
  refuse_nul(record_class, given);
  // Declines where the awaited update would create the table.
  if (!_ready_tables.contains(&record_class)) return false;
  result = _update_known(record_class, id, data, given);
  return result.has_value();
}

asio::awaitable<Record> PostgresqlConnection::update(const RecordClass& record_class,
                                                     std::int64_t id,
                                                     const nlohmann::ordered_json& data) {
  _refuse_write(record_class);
  auto given = collect_field_values(record_class, data);
  refuse_nul(record_class, given);
  if (!_ready_tables.contains(&record_class)) co_await _create_table(record_class);
  const bool queueing = _queueing();
  if (auto record = _update_known(record_class, id, data, given)) co_return std::move(*record);
  const auto sql = render_update(record_class, given.mask, Dialect::postgresql);
  auto parameters = present_values(std::move(given));
  parameters.emplace_back(id);
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const auto result = co_await _run_after_queue(sql, parameters, what);
  if (PQntuples(result.get()) == 0) {
    throw DatabaseError(fmt::format("{}: no record with {} {} to update", what,
                                    record_class.id_field(), id),
                        "", "", sql);
  }
  auto record = _read_row(record_class, result.get(), 0);
  if (queueing) _mirror.note_updated(record, nullptr);
  co_return record;
}

asio::awaitable<void> PostgresqlConnection::remove(const RecordClass& record_class,
                                                   std::int64_t id) {
  _refuse_write(record_class);
  co_await _create_table(record_class);
  const auto sql = render_delete(record_class, Dialect::postgresql);
  const auto what = fmt::format("store '{}', table '{}'", _location, record_class.table_name());
  const std::vector<SqlValue> parameters{SqlValue{id}};
  co_await _run_after_queue(sql, parameters, what);
  _mirror.forget();
}

asio::awaitable<void> PostgresqlConnection::execute(std::string_view sql) {
  const std::string text(sql);
  // Writes queued since the transaction (or savepoint) began die with it.
  if (text.starts_with("ROLLBACK")) {
    _queued.clear();
    // Writes already sent are undone by the rollback: their results do not matter.
    if (_in_pipeline) co_await _send_queue(nullptr, nullptr, "", false);
  } else {
    co_await _flush_queue();
  }
  _mirror.forget();
  co_await _run_script(text, fmt::format("store '{}'", _location));
  // A rollback may have undone tables created inside the transaction: check again.
  if (text.starts_with("ROLLBACK")) _ready_tables.clear();
}

asio::awaitable<void> PostgresqlConnection::lock(std::string_view key) {
  const std::string sql = "SELECT pg_advisory_xact_lock($1)";
  const std::vector<SqlValue> parameters{SqlValue{lock_key_of(key)}};
  std::optional<DatabaseError> failure;
  try {
    co_await _run_after_queue(sql, parameters,
                              fmt::format("store '{}': lock '{}'", _location, key));
  } catch (const DatabaseError& error) {
    failure = _lock_wait_failure(error, fmt::format("the lock of schema '{}'", key));
  }
  if (failure) throw std::move(*failure);
}

bool PostgresqlConnection::in_transaction() const noexcept {
  return PQtransactionStatus(_connection.get()) != PQTRANS_IDLE;
}

asio::awaitable<PgResult> PostgresqlConnection::_run_after_queue(
    const std::string& sql, const std::vector<SqlValue>& parameters, std::string_view what) {
  if (!_pending()) co_return co_await _run(sql, parameters, what);
  co_return co_await _send_queue(&sql, &parameters, what);
}

asio::awaitable<void> PostgresqlConnection::_flush_queue() {
  if (!_pending()) co_return;
  co_await _send_queue(nullptr, nullptr, "");
}

void PostgresqlConnection::_flush_queue_now() {
  if (!_pending()) return;
  run_to_end(_flush_queue());
}

DatabaseError PostgresqlConnection::_lost(std::string_view doing, const std::string* sql) {
  _mirror.forget();
  auto* connection = _connection.get();
  return DatabaseError(
      fmt::format("store '{}': {}: {}", _location, doing, connection_message(connection)), "08006",
      connection_message(connection), sql != nullptr ? *sql : "");
}

std::string PostgresqlConnection::_pipeline_statement(const std::string& text) {
  if (const auto found = _statement_names.find(text); found != _statement_names.end()) {
    return found->second;
  }
  if (const auto found = _preparing.find(&text); found != _preparing.end()) return found->second;
  auto name = fmt::format("kelmarion_{}", ++_statement_count);
  if (PQsendPrepare(_connection.get(), name.c_str(), text.c_str(), 0, nullptr) == 0) {
    throw _lost("prepare", &text);
  }
  _sent.push_back({SentKind::prepare, &text, name, {}, {}});
  _preparing.emplace(&text, name);
  return name;
}

void PostgresqlConnection::_send_queued() {
  auto* connection = _connection.get();
  if (!_in_pipeline) {
    if (PQenterPipelineMode(connection) == 0) throw _lost("enter pipeline mode", nullptr);
    _in_pipeline = true;
  }
  if (_queued.empty()) return;
  // The queue goes on in the vector of the previous send: a fresh one of this
  // size each time would cost the allocator a consolidation.
  auto writes = std::move(_queued);
  _queued = std::move(_spare_queue);
  _queued.clear();
  _queued.reserve(send_ahead_size);
  // libpq copies the parameters as it sends, so the batches may go at once.
  const auto made = _batches(writes);
  for (const auto& batch : made.list) {
    const auto name = _pipeline_statement(*batch.sql);
    if (PQsendQueryPrepared(connection, name.c_str(), static_cast<int>(batch.count),
                            made.values.data() + batch.first, nullptr, nullptr, 0) == 0) {
      throw _lost("send queued writes", batch.sql);
    }
    _sent.push_back({SentKind::write, batch.sql, {}, batch.table, {}});
  }
  writes.clear();
  _spare_queue = std::move(writes);
}

void PostgresqlConnection::_send_ahead_if_due() {
  if (_queued.size() < send_ahead_size) return;
  _send_queued();
  auto* connection = _connection.get();
  // Whatever the socket does not take now goes with the next send.
  if (PQflush(connection) < 0) throw _lost("send", nullptr);
  // Reading the answers that have come keeps the server from waiting on us.
  if (PQconsumeInput(connection) == 0) throw _lost("receive", nullptr);
  PgResult no_answer;
  _take_results(no_answer);
}

bool PostgresqlConnection::_take_results(PgResult& answer) {
  auto* connection = _connection.get();
  while (!_sent.empty()) {
    if (PQisBusy(connection) != 0) return false;
    auto& command = _sent.front();
    if (PgResult result(PQgetResult(connection)); result) {
      // A command's results end with a null result; the first one tells.
      if (!command.result) command.result = std::move(result);
      continue;
    }
    const auto status = command.result ? PQresultStatus(command.result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_PIPELINE_ABORTED) {
      if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        if (!_refused) _refused = std::move(command);
      } else if (command.kind == SentKind::prepare) {
        _statement_names.emplace(*command.sql, command.statement);
      } else if (command.kind == SentKind::answer) {
        answer = std::move(command.result);
      }
    }
    _sent.pop_front();
  }
  return true;
}

asio::awaitable<void> PostgresqlConnection::_await_whole_result(const std::string* sql) {
  auto* connection = _connection.get();
  // Read from the socket only when libpq has no whole result buffered.
  while (PQisBusy(connection) != 0) {
    if (PQconsumeInput(connection) == 0) throw _lost("receive", sql);
    if (PQisBusy(connection) != 0) co_await _wait_for_socket(false);
  }
}

asio::awaitable<PgResult> PostgresqlConnection::_send_queue(const std::string* sql,
                                                            const std::vector<SqlValue>* parameters,
                                                            std::string_view what, bool report) {
  auto* connection = _connection.get();
  _send_queued();
  if (sql != nullptr) {
    const auto name = _pipeline_statement(*sql);
    const ParameterTexts texts(*parameters);
    if (PQsendQueryPrepared(connection, name.c_str(), texts.count(), texts.values(), nullptr,
                            nullptr, 0) == 0) {
      throw _lost("send", sql);
    }
    _sent.push_back({SentKind::answer, sql, {}, {}, {}});
  }
  if (PQpipelineSync(connection) == 0) throw _lost("send", sql);
  for (int flushed = PQflush(connection); flushed != 0; flushed = PQflush(connection)) {
    if (flushed < 0) throw _lost("send", sql);
    // Read what the server has answered so far, so it never waits on us to read.
    if (PQconsumeInput(connection) == 0) throw _lost("receive", sql);
    co_await _wait_for_socket(true);
  }

  PgResult answer;
  while (!_take_results(answer)) co_await _await_whole_result(sql);
  while (true) {
    co_await _await_whole_result(sql);
    const PgResult result(PQgetResult(connection));
    if (result && PQresultStatus(result.get()) == PGRES_PIPELINE_SYNC) break;
    if (!result && PQstatus(connection) == CONNECTION_BAD) throw _lost("receive", sql);
  }
  if (PQexitPipelineMode(connection) == 0) throw _lost("leave pipeline mode", sql);
  _in_pipeline = false;
  _preparing.clear();

  if (auto refused = std::exchange(_refused, std::nullopt); refused && report) {
    _mirror.forget();
    std::string doing;
    if (refused->kind == SentKind::prepare) {
      doing = fmt::format("store '{}': prepare", _location);
    } else if (refused->kind == SentKind::write) {
      doing = fmt::format("store '{}', table '{}'", _location, refused->table);
    } else {
      doing = std::string(what);
    }
    check_postgresql(std::move(refused->result), connection, doing, *refused->sql);
  }
  co_return answer;
}

}  // namespace kelmarion::core::detail
