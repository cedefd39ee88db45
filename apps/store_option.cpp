#include "apps/store_option.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "apps/store_location.h"

namespace kelmarion::apps {

void add_store_option(CLI::App& command, std::optional<std::string>& store) {
  command
      .add_option("--store", store,
                  fmt::format("Store database: a SQLite file (sqlite:///file.db, or a path) or a "
                              "PostgreSQL database (postgresql://user@host/db, or libpq "
                              "key=value pairs); default: ${}, else {}",
                              store_environment_variable, default_store))
      ->option_text("URL");
}

}  // namespace kelmarion::apps
