#pragma once

// Shell completion for kelmarion-meta, made from the tool's own command line:
// its subcommands, each one's options, the values --format takes, and file or
// directory names for options whose value is a FILE or a DIR.

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace kelmarion::apps {

// The values an option takes, by "command --option" ("show --format").
using OptionValues = std::map<std::string, std::vector<std::string>, std::less<>>;

// The completion script for `shell` ("bash", "zsh" or "fish") of `app`.
[[nodiscard]] std::string completion_script(const CLI::App& app, std::string_view shell,
                                            const OptionValues& values);

}  // namespace kelmarion::apps
