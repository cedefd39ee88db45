#include "kelmarion_core/detail/sqlite_handle.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {

void SqliteCloser::operator()(sqlite3* db) const noexcept {
  // Statements are finalized before their database (members are destroyed in
  // reverse order), so close_v2 frees everything at once.
  sqlite3_close_v2(db);
}

void SqliteFinalizer::operator()(sqlite3_stmt* statement) const noexcept {
  sqlite3_finalize(statement);
}

static_assert(SQLITE_OK == 0 && SQLITE_ROW == 100 && SQLITE_DONE == 101,
              "sqlite_succeeded() spells out these codes");

void throw_sqlite_error(int result, sqlite3* db, std::string_view what, std::string_view sql) {
  const int extended = db != nullptr ? sqlite3_extended_errcode(db) : result;
  const std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(result);
  auto text = fmt::format("{}: {} ({})", what, message, sqlite3_errstr(extended));
  if (!sql.empty()) text += fmt::format(" in SQL: {}", sql);
  throw DatabaseError(std::move(text), fmt::format("SQLITE {}", extended), message,
                      std::string(sql));
}

void throw_sqlite_statement_error(int result, sqlite3* db, std::string_view what,
                                  sqlite3_stmt* statement) {
  const char* sql = statement != nullptr ? sqlite3_sql(statement) : nullptr;
  throw_sqlite_error(result, db, what, sql != nullptr ? std::string_view(sql) : std::string_view());
}

SqliteDatabase open_sqlite(const std::string& path, int flags, std::string_view what) {
  sqlite3* raw = nullptr;
  const int result = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  SqliteDatabase db(raw);  // owned even when opening failed
  check_sqlite(result, db.get(), what);
  sqlite3_extended_result_codes(db.get(), 1);
  return db;
}

SqliteStatement prepare_sqlite(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  const int result = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                                        SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  SqliteStatement statement(raw);
  check_sqlite(result, db, "prepare statement", sql);
  return statement;
}

}  // namespace kelmarion::core::detail
