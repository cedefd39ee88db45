#include "apps/store_location.h"

#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>

#include "apps/usage_error.h"
#include "kelmarion_core/connection_url.h"

namespace kelmarion::apps {

std::string store_location(const std::optional<std::string>& given) {
  if (given && !given->empty()) return *given;
  const char* from_environment = std::getenv(store_environment_variable);
  if (from_environment != nullptr && *from_environment != '\0') return from_environment;
  return default_store;
}

void require_lasting_store(const std::string& location) {
  const auto scheme = core::url_scheme(location);
  std::string path;
  if (scheme.empty()) {
    path = location;
  } else if (scheme == "sqlite") {
    path = core::sqlite_path_from_url(location);
  } else {
    return;
  }
  if (!path.empty() && path != ":memory:") return;
  throw UsageError(
      fmt::format("store '{}': an in-memory store vanishes when the tool exits; give a file or a "
                  "PostgreSQL location",
                  location));
}

void require_existing_store_file(const std::string& location) {
  const auto scheme = core::url_scheme(location);
  if (!scheme.empty() && scheme != "sqlite") return;
  // Key=value pairs name PostgreSQL, and other text with '=' is refused by the session.
  if (scheme.empty() && location.find('=') != std::string::npos) return;
  const auto path = scheme.empty() ? location : core::sqlite_path_from_url(location);
  if (path.empty() || path == ":memory:" || std::filesystem::exists(path)) return;
  // The path is all of the URL after "sqlite://", a "user:password@" in it too.
  const auto shown =
      scheme.empty() ? path : core::sqlite_path_from_url(core::redact_password(location));
  throw UsageError(fmt::format("store '{}': no such file", shown));
}

}  // namespace kelmarion::apps
