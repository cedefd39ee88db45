#include "support/write_counter.h"

#include <fmt/format.h>

#include <string_view>

#include "support/store_contents.h"
#include "support/test_support.h"

namespace kelmarion::testing {
namespace {

constexpr const char* count_query =
    "SELECT table_name || ' ' || operation || ' ' || count(*) FROM counted_row_writes "
    "GROUP BY table_name, operation ORDER BY 1";

bool is_postgresql(const std::string& location) { return location.starts_with("postgres"); }

SqliteHandle open_store_file(const std::string& location) {
  constexpr std::string_view scheme = "sqlite:///";
  return open_sqlite_file(location.starts_with(scheme) ? location.substr(scheme.size()) : location);
}

}  // namespace

void count_writes(const std::string& location) {
  if (is_postgresql(location)) {
    // The function keeps the store's schema as its search_path, whoever writes.
    postgresql_execute(
        location,
        "CREATE TABLE counted_row_writes (table_name text, operation text);"
        "CREATE FUNCTION count_row_write() RETURNS trigger LANGUAGE plpgsql "
        "SET search_path FROM CURRENT AS $$ BEGIN "
        "INSERT INTO counted_row_writes VALUES (TG_TABLE_NAME, TG_OP); RETURN NULL; END $$;"
        "DO $$ DECLARE t text; BEGIN FOR t IN SELECT tablename FROM pg_tables "
        "WHERE schemaname = current_schema() AND tablename <> 'counted_row_writes' LOOP "
        "EXECUTE format('CREATE TRIGGER count_row_writes AFTER INSERT OR UPDATE OR DELETE ON %I "
        "FOR EACH ROW EXECUTE FUNCTION count_row_write()', t); END LOOP; END $$");
    return;
  }
  const auto db = open_store_file(location);
  const auto tables = sqlite_texts(
      db.get(), "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite%'");
  // The store's table names are plain identifiers: quoting needs no escapes.
  std::string sql = "CREATE TABLE counted_row_writes (table_name TEXT, operation TEXT);";
  for (const auto& table : tables) {
    for (const std::string_view operation : {"INSERT", "UPDATE", "DELETE"}) {
      sql += fmt::format(
          "CREATE TRIGGER \"count_{1}_{0}\" AFTER {1} ON \"{0}\" FOR EACH ROW BEGIN "
          "INSERT INTO counted_row_writes VALUES ('{0}', '{1}'); END;",
          table, operation);
    }
  }
  sqlite_execute(db.get(), sql);
}

std::vector<std::string> counted_writes(const std::string& location) {
  if (!is_postgresql(location)) return sqlite_texts(open_store_file(location).get(), count_query);
  const auto connection = connect_postgresql(location);
  const auto result = postgresql_query(connection.get(), count_query);
  std::vector<std::string> texts;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    texts.emplace_back(PQgetvalue(result.get(), row, 0));
  }
  return texts;
}

}  // namespace kelmarion::testing
