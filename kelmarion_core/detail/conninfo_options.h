#pragma once

// libpq's own reading of a PostgreSQL connection string, a postgresql:// URL or
// key=value pairs, so that nothing in the library takes secrets apart by hand:
// what libpq would connect with is exactly what is hidden or shown.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarion::core::detail {

struct ConninfoOption {
  std::string keyword;  // libpq's name for it: "host", "user", "password", ...
  std::string value;
  bool secret = false;  // libpq marks it as one to hide ("password", "sslpassword")
};

struct ParsedConninfo {
  // The options the string sets, in libpq's order of options (not the string's).
  std::vector<ConninfoOption> options;
  // Why libpq cannot parse the string, when it cannot; then `options` is empty.
  // Any text libpq quotes from the string is left out: it may be a password.
  std::optional<std::string> failure;
};

// Parses `conninfo` with PQconninfoParse, which reads neither the environment
// nor any file. Throws std::bad_alloc when libpq runs out of memory.
[[nodiscard]] ParsedConninfo parse_conninfo(std::string_view conninfo);

}  // namespace kelmarion::core::detail
