#pragma once

// Runs the built kelmarion-meta binary in a child process and captures what a
// user sees: standard output, standard error and the exit status.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelmarion::testing {

struct ToolCall {
  std::vector<std::string> arguments;  // after the program name
  std::filesystem::path directory;     // working directory; empty: the test's own
  // Variables to set; an empty value unsets one. KELMARION_META_STORE is always
  // unset first, so that the caller's environment cannot pick the store.
  std::vector<std::pair<std::string, std::string>> environment;
  std::optional<std::string> input;  // standard input; absent: empty
  // Where standard output goes ("/dev/full"); empty: captured into ToolRun::out.
  std::filesystem::path standard_output;
  // The tool's limit on address space, in bytes (RLIMIT_AS); absent: none.
  std::optional<std::uint64_t> address_space_limit;
};

struct ToolRun {
  int status = -1;  // the exit status; -1 when the tool was killed by a signal
  std::string out;
  std::string err;
};

// Runs the tool and waits for it. Throws std::runtime_error when it cannot be started.
[[nodiscard]] ToolRun run_tool(const ToolCall& call);

}  // namespace kelmarion::testing
