#include "apps/tool_runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/test_support.h"

namespace kelmarion::testing {
namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream input(path, std::ios::binary);
  std::ostringstream text;
  text << input.rdbuf();
  return text.str();
}

// In the child, between fork and exec: only calls that are safe there, and on
// failure _exit with a status the tool never uses.
[[noreturn]] void exec_child(const ToolCall& call, const std::filesystem::path& files,
                             std::vector<char*>& argv) {
  constexpr int cannot_start = 127;
  if (!call.directory.empty() && chdir(call.directory.c_str()) != 0) _exit(cannot_start);
  unsetenv("KELMARION_META_STORE");
  for (const auto& [name, value] : call.environment) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  const int input = open((files / "in").c_str(), O_RDONLY);
  const auto output_path = call.standard_output.empty() ? files / "out" : call.standard_output;
  const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int error = open((files / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (input < 0 || output < 0 || error < 0) _exit(cannot_start);
  if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
      dup2(error, STDERR_FILENO) < 0) {
    _exit(cannot_start);
  }
  if (call.address_space_limit) {
    const rlimit limit{*call.address_space_limit, *call.address_space_limit};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(cannot_start);
  }
  execv(argv.front(), argv.data());
  _exit(cannot_start);
}

}  // namespace

ToolRun run_tool(const ToolCall& call) {
  const TempDir files;
  {
    std::ofstream input(files.path() / "in", std::ios::binary);
    input << call.input.value_or("");
  }
  std::string program = KELMARION_META_TOOL;
  std::vector<std::string> arguments = call.arguments;
  std::vector<char*> argv{program.data()};
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("cannot fork to run kelmarion-meta");
  if (child == 0) exec_child(call, files.path(), argv);

  int wait_status = 0;
  if (waitpid(child, &wait_status, 0) != child) {
    throw std::runtime_error("cannot wait for kelmarion-meta");
  }
  ToolRun run;
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  run.out = read_file(files.path() / "out");
  run.err = read_file(files.path() / "err");
  return run;
}

}  // namespace kelmarion::testing
