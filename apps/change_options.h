#pragma once

// The options of the commands that report changes: --format chooses text or
// one JSON document, --changes lists every change however many there are.

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kelmarion::apps {

// What --format takes on the commands that report changes.
inline const std::vector<std::string> report_formats{"text", "json"};

void add_format_option(CLI::App& command, std::string& format);
void add_changes_flag(CLI::App& command, bool& list_changes);

}  // namespace kelmarion::apps
