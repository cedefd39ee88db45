#pragma once

// Graphviz's `dot` program, when it is installed: it turns the DOT files of a
// schema's documentation into SVG images. Never required: without it the pages
// say how to render the DOT files.

#include <filesystem>
#include <optional>
#include <vector>

namespace kelmarion::apps {

// The `dot` program found on PATH, or nullopt.
[[nodiscard]] std::optional<std::filesystem::path> find_dot();

// Writes X.svg beside every X.dot of `files`, a few hundred files per run of
// `dot`. Throws std::runtime_error naming the program when it cannot be run or
// fails (its own message is on stderr).
void render_svg(const std::filesystem::path& dot, const std::vector<std::filesystem::path>& files);

}  // namespace kelmarion::apps
