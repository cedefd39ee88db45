#pragma once

// The tool's writes to standard output, each checked: a full disk, a closed
// pipe or a broken terminal ends the command with the system's reason instead
// of a cut document and status 0.

#include <optional>
#include <string>
#include <string_view>

namespace kelmarion::apps {

// Writes `text` to standard output and flushes it. Throws std::system_error
// ("standard output: No space left on device") when the system refuses.
void write_standard_output(std::string_view text);

// Flushes whatever is still buffered for standard output (CLI11's help, for
// one) and returns the system's reason when that or any earlier write failed.
[[nodiscard]] std::optional<std::string> standard_output_failure();

}  // namespace kelmarion::apps
