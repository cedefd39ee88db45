#include "apps/store_location.h"

#include <cstdlib>

namespace kelmarion::apps {

std::string store_location(const std::optional<std::string>& given) {
  if (given && !given->empty()) return *given;
  const char* from_environment = std::getenv(store_environment_variable);
  if (from_environment != nullptr && *from_environment != '\0') return from_environment;
  return default_store;
}

}  // namespace kelmarion::apps
