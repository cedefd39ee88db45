#include "kelmarion_core/session.h"

#include <fmt/format.h>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/detail/postgresql_connection.h"
#include "kelmarion_core/detail/sql_render.h"
#include "kelmarion_core/detail/sqlite_connection.h"
#include "kelmarion_core/detail/unit_of_work.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core {
namespace {

std::unique_ptr<detail::StoreConnection> open_store(std::string_view store,
                                                    SessionOptions options) {
  // A rehearsal reads the store as it is and sends nothing.
  options.read_only = options.read_only || options.rehearse;
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
  throw ConfigurationError(
      fmt::format("store '{}': unsupported scheme '{}' (expected sqlite:///path.db, a file path or "
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
      _rehearses(options.rehearse),
      _connection(open_store(store, options)),
      _unit_of_work(std::make_unique<detail::UnitOfWork>(
          *_connection,
          options.rehearse
              ? detail::WriteMode::rehearse
              : (options.read_only ? detail::WriteMode::refuse : detail::WriteMode::send),
          _location)) {}

AsyncSession::AsyncSession(AsyncSession&&) noexcept = default;
AsyncSession& AsyncSession::operator=(AsyncSession&&) noexcept = default;
// The unit of work goes first: it refers to the connection.
AsyncSession::~AsyncSession() { _unit_of_work.reset(); }

asio::awaitable<void> AsyncSession::begin() { co_await _unit_of_work->begin(); }

asio::awaitable<void> AsyncSession::lock_schema(std::string_view schema_name) {
  co_await _unit_of_work->lock(schema_name);
}

asio::awaitable<void> AsyncSession::commit() { co_await _unit_of_work->commit(); }

asio::awaitable<void> AsyncSession::rollback() { co_await _unit_of_work->rollback(); }

asio::awaitable<void> AsyncSession::execute(std::string_view sql) {
  co_await _unit_of_work->execute(sql);
}

const ChangeSet& AsyncSession::changes() const noexcept { return _unit_of_work->changes(); }

ChangeSet& AsyncSession::changes() noexcept { return _unit_of_work->changes(); }

void AsyncSession::observe_changes(std::function<void(std::string_view table)> observer) {
  _unit_of_work->observe(std::move(observer));
}

bool AsyncSession::in_transaction() const noexcept { return _connection->in_transaction(); }

}  // namespace kelmarion::core
