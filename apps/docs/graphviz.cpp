#include "apps/docs/graphviz.h"

#include <fmt/format.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

extern char** environ;  // NOLINT: POSIX declares it nowhere else

namespace kelmarion::apps {
namespace {

// How many files one run of dot lays out: one process start per batch, and a
// command line well below any system's limit.
constexpr std::size_t files_per_run = 200;

void run_dot(const std::filesystem::path& dot, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {dot.string(), "-Tsvg", "-O"});
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const int started = posix_spawn(&child, dot.c_str(), nullptr, nullptr, argv.data(), environ);
  if (started != 0) {
    throw std::runtime_error(
        fmt::format("graphviz '{}': cannot be run: {}", dot.string(), std::strerror(started)));
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      throw std::runtime_error(
          fmt::format("graphviz '{}': lost: {}", dot.string(), std::strerror(errno)));
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(
        fmt::format("graphviz '{}' failed on {} (status {}); its message is above", dot.string(),
                    arguments.size() > 3 ? arguments[3] : std::string("its files"),
                    WIFEXITED(status) ? WEXITSTATUS(status) : -1));
  }
}

}  // namespace

std::optional<std::filesystem::path> find_dot() {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string_view rest(path);
  while (!rest.empty()) {
    const auto end = rest.find(':');
    const auto directory = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (directory.empty()) continue;
    auto candidate = std::filesystem::path(directory) / "dot";
    if (access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate)) {
      return candidate;
    }
  }
  return std::nullopt;
}

void render_svg(const std::filesystem::path& dot, const std::vector<std::filesystem::path>& files) {
  for (std::size_t first = 0; first < files.size(); first += files_per_run) {
    std::vector<std::string> batch;
    const auto last = std::min(files.size(), first + files_per_run);
    for (std::size_t i = first; i < last; ++i) batch.push_back(files[i].string());
    run_dot(dot, batch);
  }
  // dot -O names its output X.dot.svg.
  for (const auto& file : files) {
    auto svg = file;
    svg.replace_extension(".svg");
    std::filesystem::rename(fmt::format("{}.svg", file.string()), svg);
  }
}

}  // namespace kelmarion::apps
