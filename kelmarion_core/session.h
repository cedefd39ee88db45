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

#include <asio/awaitable.hpp>
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

namespace detail {
// `*db`, or ConfigurationError naming the table when there is no session.
AsyncSession& require_session(AsyncSession* db, const RecordClass& record_class);
}  // namespace detail

class AsyncSession {
 public:
  // Opens the store. Throws ConfigurationError for an unknown location scheme and
  // DatabaseError when the database cannot be opened.
  explicit AsyncSession(std::string_view store);
  AsyncSession(const AsyncSession&) = delete;
  AsyncSession& operator=(const AsyncSession&) = delete;
  AsyncSession(AsyncSession&&) noexcept;
  AsyncSession& operator=(AsyncSession&&) noexcept;
  // Closes the store; an open transaction is rolled back.
  ~AsyncSession();

  // Opens a transaction. On SQLite it takes the write lock at once (another
  // writer waits up to five seconds, then this fails), so a save never fails
  // half-way for lack of it. Throws DatabaseError (for example when one is open).
  asio::awaitable<void> begin();
  // Inside a transaction: waits until no other session's transaction holds the
  // lock for `schema_name`, then holds it until this transaction ends. Hosts take
  // it before saving a schema so that concurrent saves of one schema run one
  // after the other and never create a record twice.
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
  std::unique_ptr<detail::StoreConnection> _connection;
  bool _tracking_writes = false;
  WriteLog _written;
};

}  // namespace kelmarion::core
