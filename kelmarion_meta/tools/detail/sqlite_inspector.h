#pragma once

// The SQLite inspector: reads one schema ("main", "temp" or the name of an
// attached database) through the PRAGMA table-valued functions, and the CREATE
// statements SQLite keeps in sqlite_schema where the pragmas say nothing
// (constraint names, deferrable foreign keys, index expressions, view queries).
//
// The engine keeps no comments, so every "comment" of its documents is null.

#include <optional>
#include <string>

#include "kelmarion_core/detail/sqlite_handle.h"
#include "kelmarion_meta/tools/source_inspect.h"

namespace kelmarion::meta::detail {

class SqliteInspector final : public SchemaInspector {
 public:
  // Opens the database file of a "sqlite:" URL read-only; inspecting never writes
  // to it. Throws core::ConfigurationError when the URL is not a sqlite URL or the
  // file does not exist, and core::DatabaseError when SQLite cannot open it. An
  // empty path ("sqlite://") opens an empty in-memory database.
  explicit SqliteInspector(const std::string& engine_name);

  // Reads through a connection the caller owns and keeps open for the life of the
  // inspector; its attached databases and temporary tables are visible. The
  // inspector runs only reads on it.
  explicit SqliteInspector(sqlite3* connection);

  // See SchemaInspector. An absent name means "main"; a name that is neither
  // "temp" nor listed by PRAGMA database_list gives nullopt.
  [[nodiscard]] std::optional<nlohmann::ordered_json> get_schema(
      const std::optional<std::string>& schema_name) override;

 private:
  core::detail::SqliteDatabase _owned_connection;  // empty for a borrowed connection
  sqlite3* _connection;
};

}  // namespace kelmarion::meta::detail
