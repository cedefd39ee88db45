#pragma once

// AsyncSession: the host's connection to a store database, lent to the data and
// query services. The record tables are created on first use of each record
// class when they are missing; prepared statements are cached for the session's
// life.
//
// Store locations:
//   sqlite:///relative/path.db, sqlite:////absolute/path.db, sqlite:// (memory)
//   a plain file path, or ":memory:" for a private in-memory store
//   postgresql://user@host:port/db, postgres://..., or any URI libpq accepts
//   a libpq key=value string ("host=h dbname=db"); other text holding '=' that
//   libpq cannot parse is refused rather than taken for a file name
//
// A session works as a unit of work (docs/ARCHITECTURE.md). Inside a
// transaction:
// - a lookup under a parent record reads all of that parent's records of the
//   class at the first lookup (with those of the parents that follow it) and
//   answers later lookups from them; lookups under a parent created in the
//   transaction need no query at all;
// - db_insert returns at once a record built from the given data and an
//   identifier reserved ahead; db_update returns the record as this session
//   last read or wrote it, with the given fields applied. Values compare as
//   values: an update whose fields all hold their values already writes nothing
//   and returns the record as read; written JSON values come back as given (a
//   PostgreSQL store may keep an object's keys in another order);
// - the writes are queued and sent per record class in a few statements before
//   any query that reads the store, when many are queued, and at commit(). So a
//   value the store refuses fails that later call (the transaction is lost
//   either way). A change a host's trigger makes to a row is seen by the reads
//   that go to the store (query_all, query_by_ids) once the row is sent, and by
//   lookups in a later transaction: a lookup answers from the records this
//   transaction read or wrote;
// Outside a transaction nothing is kept between calls, and each write commits
// by itself before the call returns. db_insert, a plain call, then blocks while
// it waits for the store; inside a transaction it waits only when no identifier
// was reserved ahead (no lookup of the class came before it).
//
// The session never commits on its own: with begin() the host decides with
// commit() or rollback(). A session is used by one coroutine at a time, on one
// thread.
//
// A database is used as a store only when it is one: before its first use of a
// record table, a session reads the store's version row. A database that holds
// a table of a known record class (see known_record_tables()) without that row,
// or whose row names a layout this build does not know, is refused with
// ConfigurationError and never written. A database with none of the store's
// tables becomes a store when something is first written to it.

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelmarion_core/change_set.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core {

namespace detail {
class StoreConnection;
class UnitOfWork;
}  // namespace detail

class AsyncSession;

// How long a session waits by default for a lock another session holds.
inline constexpr std::chrono::milliseconds default_lock_timeout{60'000};

struct SessionOptions {
  // Opens the store for reading only: nothing is created or written (SQLite
  // opens the file read-only, PostgreSQL transactions are read-only), a store
  // without tables reads as empty, and a write throws ConfigurationError.
  bool read_only = false;
  // Rehearses writes: the store is opened as read_only opens it, and inside a
  // transaction writes work as usual (records come back with identifiers, the
  // change set notes them, later lookups see them) but are never sent. So a
  // rehearsed run reports what it would change and leaves the store as it was.
  // Identifiers of new records are the session's own (from 2^62 up), never
  // the store's. Writes outside a transaction throw ConfigurationError.
  bool rehearse = false;
  // How long any operation waits for a lock another session holds (SQLite's
  // write lock, a PostgreSQL row, table or schema lock) before it fails with a
  // DatabaseError that says what it waited for. Zero fails at once.
  std::chrono::milliseconds lock_timeout = default_lock_timeout;
};

namespace detail {
// `*db`, or ConfigurationError naming the table when there is no session.
AsyncSession& require_session(AsyncSession* db, const RecordClass& record_class);
}  // namespace detail

class AsyncSession {
 public:
  // Opens the store. Throws ConfigurationError for an unknown location scheme and
  // DatabaseError when the database cannot be opened.
  explicit AsyncSession(std::string_view store, SessionOptions options = {});
  AsyncSession(const AsyncSession&) = delete;
  AsyncSession& operator=(const AsyncSession&) = delete;
  AsyncSession(AsyncSession&&) noexcept;
  AsyncSession& operator=(AsyncSession&&) noexcept;
  // Closes the store; an open transaction is rolled back.
  ~AsyncSession();

  // Opens a transaction, forgetting the change set of the last one. On SQLite
  // it takes the write lock at once (waiting up to the lock timeout for
  // another writer), so a save never fails half-way for lack of it. A
  // read-only session's transaction reads one consistent state of the store
  // and takes no write lock. Throws DatabaseError (for example when one is
  // open, or the wait timed out).
  asio::awaitable<void> begin();
  // Inside a transaction: waits (up to the lock timeout) until no other
  // session's transaction holds the lock for `schema_name`, then holds it until
  // this transaction ends. A lookup of a record class's lock field (a schema by
  // its name) takes the same lock itself; hosts may take it earlier. Saves of
  // one schema run one after the other; saves of different schemas do not wait
  // for each other.
  asio::awaitable<void> lock_schema(std::string_view schema_name);
  // Sends the queued writes and makes the transaction durable.
  asio::awaitable<void> commit();
  // Undoes the transaction's writes, queued or sent, and forgets its change set.
  asio::awaitable<void> rollback();
  [[nodiscard]] bool in_transaction() const noexcept;
  // Runs a statement of the host's own, without parameters or results (a
  // PRAGMA, a savepoint), after sending the queued writes. The session then
  // forgets what it read, since the statement may have changed anything; the
  // change set does not see what the statement does.
  asio::awaitable<void> execute(std::string_view sql);

  // What this transaction (or, outside one, the writes since the last begin())
  // created, changed, found unchanged and deleted.
  [[nodiscard]] const ChangeSet& changes() const noexcept;
  [[nodiscard]] ChangeSet& changes() noexcept;
  // Calls `observer` with the table of every record the change set gains, as
  // it gains it (a progress display); an empty function stops it.
  void observe_changes(std::function<void(std::string_view table)> observer);

  // Whether the session was opened to rehearse its writes (SessionOptions).
  [[nodiscard]] bool rehearses() const noexcept { return _rehearses; }

  // The store location with any password removed, for messages.
  [[nodiscard]] const std::string& location() const noexcept { return _location; }

  // The unit of work, for the data and query services.
  [[nodiscard]] detail::UnitOfWork& unit_of_work() noexcept { return *_unit_of_work; }

 private:
  std::string _location;
  bool _rehearses = false;
  std::unique_ptr<detail::StoreConnection> _connection;
  std::unique_ptr<detail::UnitOfWork> _unit_of_work;
};

}  // namespace kelmarion::core
