#pragma once

// Owning handles for the SQLite C API and the one function through which every
// result code is checked.

#include <memory>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace kelmarion::core::detail {

struct SqliteCloser {
  void operator()(sqlite3* db) const noexcept;
};
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* statement) const noexcept;
};
using SqliteDatabase = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

// Throws DatabaseError for the failed `result`, carrying the extended code,
// SQLite's message for `db` (which may be null) and `sql`. `what` names the
// step ("open store 'x.db'").
[[noreturn]] void throw_sqlite_error(int result, sqlite3* db, std::string_view what,
                                     std::string_view sql);

// Whether `result` is SQLITE_OK, SQLITE_ROW or SQLITE_DONE.
inline bool sqlite_succeeded(int result) {
  constexpr int ok = 0;      // SQLITE_OK
  constexpr int row = 100;   // SQLITE_ROW
  constexpr int done = 101;  // SQLITE_DONE
  return result == ok || result == row || result == done;
}

// Returns `result` when it succeeded; otherwise throws as throw_sqlite_error().
// Inline: it runs for every bind and step.
inline int check_sqlite(int result, sqlite3* db, std::string_view what, std::string_view sql = {}) {
  if (sqlite_succeeded(result)) [[likely]] {
    return result;
  }
  throw_sqlite_error(result, db, what, sql);
}

// As above, with the SQL of `statement`, read only when the check fails (long
// statements would otherwise be measured for every bind).
[[noreturn]] void throw_sqlite_statement_error(int result, sqlite3* db, std::string_view what,
                                               sqlite3_stmt* statement);
inline int check_sqlite(int result, sqlite3* db, std::string_view what, sqlite3_stmt* statement) {
  if (sqlite_succeeded(result)) [[likely]] {
    return result;
  }
  throw_sqlite_statement_error(result, db, what, statement);
}

// Opens a database with `flags` (SQLITE_OPEN_*), checked.
[[nodiscard]] SqliteDatabase open_sqlite(const std::string& path, int flags, std::string_view what);

// Prepares `sql` on `db` for repeated use, checked.
[[nodiscard]] SqliteStatement prepare_sqlite(sqlite3* db, std::string_view sql);

}  // namespace kelmarion::core::detail
