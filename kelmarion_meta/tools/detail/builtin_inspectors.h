#pragma once

// Factories for the inspectors that ship with the library; source_inspect.cpp
// registers them under their schemes.

#include <memory>
#include <string>

#include "kelmarion_meta/tools/source_inspect.h"

namespace kelmarion::meta::detail {

// Opens the SQLite database of a "sqlite:" URL read-only.
[[nodiscard]] std::unique_ptr<SchemaInspector> make_sqlite_inspector(const std::string& engine_name);

// Connects to PostgreSQL with libpq, passing the URL as libpq's conninfo.
[[nodiscard]] std::unique_ptr<SchemaInspector> make_postgresql_inspector(
    const std::string& engine_name);

// Connects to MySQL or MariaDB with the MariaDB Connector/C, from a "mysql:" or
// "mariadb:" URL.
[[nodiscard]] std::unique_ptr<SchemaInspector> make_mysql_inspector(const std::string& engine_name);

}  // namespace kelmarion::meta::detail
