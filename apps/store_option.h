#pragma once

// The --store option every command that opens the store takes.

#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace kelmarion::apps {

void add_store_option(CLI::App& command, std::optional<std::string>& store);

}  // namespace kelmarion::apps
