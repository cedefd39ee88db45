#include "apps/store_option.h"

#include <CLI/CLI.hpp>

#include "apps/store_location.h"

namespace kelmarion::apps {

void add_store_option(CLI::App& command, std::optional<std::string>& store) {
  command.add_option("--store", store,
                     "Store database: sqlite:///file.db, a file path, postgresql://user@host/db or "
                     "libpq key=value pairs (default: $" +
                         std::string(store_environment_variable) + ", else " + default_store + ")");
}

}  // namespace kelmarion::apps
