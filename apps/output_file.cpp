#include "apps/output_file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "apps/usage_error.h"

namespace kelmarion::apps {
namespace {

constexpr mode_t created_mode = 0666;  // less the umask, as any tool's output

[[noreturn]] void throw_system_error(int error, const std::string& path) {
  throw std::system_error(error, std::generic_category(), fmt::format("output file '{}'", path));
}

}  // namespace

OutputFile::OutputFile(std::string path) : _path(std::move(path)) {
  _descriptor = ::open(_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, created_mode);
  _created = _descriptor >= 0;
  if (!_created && errno == EEXIST) _descriptor = ::open(_path.c_str(), O_WRONLY | O_CLOEXEC);
  if (_descriptor < 0) {
    throw UsageError(
        fmt::format("output file '{}': cannot be written: {}", _path, std::strerror(errno)));
  }
}

OutputFile::~OutputFile() {
  if (_descriptor < 0) return;
  ::close(_descriptor);
  if (_created) ::unlink(_path.c_str());
}

void OutputFile::write(std::string_view text) {
  // A device or pipe (-o /dev/stdout) has nothing to replace and cannot be truncated.
  struct stat status {};
  if (::fstat(_descriptor, &status) != 0) throw_system_error(errno, _path);
  if (S_ISREG(status.st_mode) && ::ftruncate(_descriptor, 0) != 0) {
    throw_system_error(errno, _path);
  }
  while (!text.empty()) {
    const auto written = ::write(_descriptor, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw_system_error(errno, _path);
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  const int descriptor = _descriptor;
  _descriptor = -1;
  if (::close(descriptor) != 0) throw_system_error(errno, _path);
}

}  // namespace kelmarion::apps
