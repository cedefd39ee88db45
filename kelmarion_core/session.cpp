#include "kelmarion_core/session.h"

#include <fmt/format.h>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/detail/sql_render.h"
#include "kelmarion_core/detail/postgresql_connection.h"
#include "kelmarion_core/detail/sqlite_connection.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core {
namespace {

std::unique_ptr<detail::StoreConnection> open_store(std::string_view store,
                                                    const SessionOptions& options) {
  const auto scheme = url_scheme(store);
  if (is_postgresql_location(store)) {
    return std::make_unique<detail::PostgresqlConnection>(std::string(store),
                                                          redact_password(store), options);
  }
  if (scheme.empty()) {
    // A mistyped key=value string would otherwise become a file named with its password.
    if (store.find('=') != std::string_view::npos) {
      throw ConfigurationError(fmt::format(
          "store '{}': holds '=' but libpq cannot parse it as key=value pairs ({}); give a "
          "SQLite file whose name holds '=' as sqlite:///path",
          redact_password(store), conninfo_parse_failure(store).value_or("no option")));
    }
    return std::make_unique<detail::SqliteConnection>(std::string(store), options);
  }
  if (scheme == "sqlite") {
    return std::make_unique<detail::SqliteConnection>(sqlite_path_from_url(store), options);
  }
  throw ConfigurationError(fmt::format(
      "store '{}': unsupported scheme '{}' (expected sqlite:///path.db, a file path or "
      "postgresql://...)",
      redact_password(store), scheme));
}

}  // namespace

AsyncSession& detail::require_session(AsyncSession* db, const RecordClass& record_class) {
  if (db == nullptr) {
    throw ConfigurationError(fmt::format(
        "table '{}': no database session (give the store a session)", record_class.table_name()));
  }
  return *db;
}

AsyncSession::AsyncSession(std::string_view store, SessionOptions options)
    : _location(redact_password(store)),
      _read_only(options.read_only),
      _connection(open_store(store, options)) {}

AsyncSession::AsyncSession(AsyncSession&&) noexcept = default;
AsyncSession& AsyncSession::operator=(AsyncSession&&) noexcept = default;
AsyncSession::~AsyncSession() = default;

asio::awaitable<void> AsyncSession::begin() {
  const bool sqlite = _connection->dialect() == detail::Dialect::sqlite;
  if (_read_only) {
    // A reader takes a snapshot and no write lock: saves go on meanwhile.
    co_await _connection->execute(sqlite ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ");
  } else {
    co_await _connection->execute(sqlite ? "BEGIN IMMEDIATE" : "BEGIN");
  }
}

asio::awaitable<void> AsyncSession::lock_schema(std::string_view schema_name) {
  co_await _connection->lock(schema_name);
}

asio::awaitable<void> AsyncSession::commit() { co_await _connection->execute("COMMIT"); }

asio::awaitable<void> AsyncSession::rollback() { co_await _connection->execute("ROLLBACK"); }

void AsyncSession::track_writes(bool on) {
  _tracking_writes = on;
  _written.clear();
}

AsyncSession::WrittenRecords& AsyncSession::_written_to(std::string_view table) {
  auto found = _written.find(table);
  if (found == _written.end()) found = _written.emplace(std::string(table), WrittenRecords{}).first;
  return found->second;
}

void AsyncSession::note_insert(std::string_view table, std::int64_t id) {
  if (_tracking_writes) _written_to(table).inserted.push_back(id);
}

void AsyncSession::note_update(std::string_view table, std::int64_t id) {
  if (_tracking_writes) _written_to(table).updated.push_back(id);
}

bool AsyncSession::in_transaction() const noexcept { return _connection->in_transaction(); }

}  // namespace kelmarion::core
