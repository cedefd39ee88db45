#pragma once

// Where the metamodel store is: the --store option, else the environment
// variable KELMARION_META_STORE, else the SQLite file kelmarion_meta.db in the
// current directory. A plain file path names a SQLite file.

#include <optional>
#include <string>

namespace kelmarion::apps {

constexpr const char* store_environment_variable = "KELMARION_META_STORE";
constexpr const char* default_store = "sqlite:///kelmarion_meta.db";

// The store location to open; `given` wins when present and non-empty, an empty
// environment variable counts as unset.
[[nodiscard]] std::string store_location(const std::optional<std::string>& given);

}  // namespace kelmarion::apps
