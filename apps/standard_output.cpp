#include "apps/standard_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <system_error>

namespace kelmarion::apps {
namespace {

constexpr std::string_view subject = "standard output";

}  // namespace

void write_standard_output(std::string_view text) {
  // std::cout shares stdio's buffer (sync_with_stdio), so both keep their order.
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    const int error = errno != 0 ? errno : EIO;
    std::clearerr(stdout);
    throw std::system_error(error, std::generic_category(), std::string(subject));
  }
}

std::optional<std::string> standard_output_failure() {
  errno = 0;
  std::cout.flush();
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  if (flushed && std::ferror(stdout) == 0 && std::cout.good()) return std::nullopt;
  if (error == 0) return std::string(subject) + ": a write failed";
  return std::string(subject) + ": " + std::strerror(error);
}

}  // namespace kelmarion::apps
