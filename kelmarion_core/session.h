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
// On PostgreSQL, awaited operations wait for the server on the awaiting
// coroutine's executor without blocking it; the plain DataService::db_insert
// call blocks its caller when it has to wait for the server.
//
// Inside a transaction, a PostgreSQL session sends writes ahead in batches: a
// write whose result it can work out, and that the server is sure to accept,
// returns that result at once and goes to the server with the next statement
// that needs an answer (a lookup, commit()). Lookups under a parent created in
// the transaction, or whose children it has read, are answered without the
// server. Nothing of this shows: results, stored records and the call that
// reports a refused value are the same as when every write runs at once, as it
// does outside a transaction. Only a lost connection may be reported by a later
// call than the write it interrupted; the transaction is lost either way.
//
// The session never commits on its own: without begin(), every write commits by
// itself (SQLite's autocommit); with begin() the host decides with commit() or
// rollback(). A session is used by one coroutine at a time, on one thread.
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
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelmarion_core/record.h"

namespace kelmarion::core {

namespace detail {
class StoreConnection;
}

class AsyncSession;

// How long a session waits by default for a lock another session holds.
inline constexpr std::chrono::milliseconds default_lock_timeout{60'000};

struct SessionOptions {
  // Opens the store for reading only: nothing is created or written (SQLite
  // opens the file read-only, PostgreSQL transactions are read-only), a store
  // without tables reads as empty, and a write throws ConfigurationError.
  bool read_only = false;
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

  // Opens a transaction. On SQLite it takes the write lock at once (waiting up to
  // the lock timeout for another writer), so a save never fails half-way for
  // lack of it. A read-only session's transaction reads one consistent state of
  // the store and takes no write lock. Throws DatabaseError (for example when
  // one is open, or the wait timed out).
  asio::awaitable<void> begin();
  // Inside a transaction: waits (up to the lock timeout) until no other
  // session's transaction holds the lock for `schema_name`, then holds it until
  // this transaction ends. Hosts take it before saving a schema so that
  // concurrent saves of one schema run one after the other and never create a
  // record twice; saves of different schemas do not wait for each other.
  asio::awaitable<void> lock_schema(std::string_view schema_name);
  // Makes the transaction's writes durable.
  asio::awaitable<void> commit();
  // Undoes the transaction's writes.
  asio::awaitable<void> rollback();
  [[nodiscard]] bool in_transaction() const noexcept;

  // Identifiers written through the data services, per record table, while
  // tracking is on (hosts use them to report a save and to find stale records).
  struct WrittenRecords {
    std::vector<std::int64_t> inserted;
    std::vector<std::int64_t> updated;
  };
  using WriteLog = std::map<std::string, WrittenRecords, std::less<>>;

  // Starts (clearing what was noted) or stops noting writes.
  void track_writes(bool on);
  [[nodiscard]] const WriteLog& written() const noexcept { return _written; }
  // Called by the data services after each stored insert or update.
  void note_insert(std::string_view table, std::int64_t id);
  void note_update(std::string_view table, std::int64_t id);

  // The store location with any password removed, for messages.
  [[nodiscard]] const std::string& location() const noexcept { return _location; }

  // The backend, for the data and query services.
  [[nodiscard]] detail::StoreConnection& connection() noexcept { return *_connection; }

 private:
  WrittenRecords& _written_to(std::string_view table);

  std::string _location;
  bool _read_only;
  std::unique_ptr<detail::StoreConnection> _connection;
  bool _tracking_writes = false;
  WriteLog _written;
};

}  // namespace kelmarion::core
