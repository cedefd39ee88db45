#pragma once

// Where the metamodel store is: the --store option, else the environment
// variable KELMARION_META_STORE, else the SQLite file kelmarion_meta.db in the
// current directory. A plain file path names a SQLite file; libpq key=value
// pairs ("host=db dbname=meta") name a PostgreSQL store, as postgresql:// does.

#include <optional>
#include <string>

namespace kelmarion::apps {

constexpr const char* store_environment_variable = "KELMARION_META_STORE";
constexpr const char* default_store = "sqlite:///kelmarion_meta.db";

// The store location to open; `given` wins when present and non-empty, an empty
// environment variable counts as unset.
[[nodiscard]] std::string store_location(const std::optional<std::string>& given);

// Throws UsageError when `location` is an in-memory SQLite store (":memory:",
// "sqlite://", "sqlite:///", "sqlite:///:memory:"): the library may use one, but
// the tool's would vanish when it exits, so a save into it only looks saved.
void require_lasting_store(const std::string& location);

// Throws UsageError ("store 'x.db': no such file") when `location` names a
// SQLite file that does not exist: opening it would create it, and a command
// that only reads must not leave an empty store behind a mistyped path.
void require_existing_store_file(const std::string& location);

}  // namespace kelmarion::apps
