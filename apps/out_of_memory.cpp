#include "apps/out_of_memory.h"

#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <new>
#include <string_view>

#include "apps/exit_status.h"

namespace kelmarion::apps {
namespace {

std::terminate_handler previous_handler = nullptr;

[[noreturn]] void on_terminate() {
  bool out_of_memory = false;
  if (const auto current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    } catch (...) {
      // Any other exception is for the previous handler to report.
    }
  }
  if (out_of_memory) {
    // No allocation from here on: write(2) and _Exit, which runs no destructor.
    constexpr std::string_view line = "kelmarion-meta: error: out of memory\n";
    // A failed write leaves nothing to report it with.
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
    std::_Exit(exit_failure);
  }
  if (previous_handler != nullptr) previous_handler();
  std::abort();
}

}  // namespace

void report_out_of_memory_on_terminate() { previous_handler = std::set_terminate(on_terminate); }

}  // namespace kelmarion::apps
