#include "apps/lock_timeout_option.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <string>

#include "kelmarion_core/session.h"

namespace kelmarion::apps {

void add_lock_timeout_option(CLI::App& command, double& seconds) {
  seconds = std::chrono::duration<double>(core::default_lock_timeout).count();
  command
      .add_option("--lock-timeout", seconds,
                  "Seconds to wait for a lock another session holds (another save of the same "
                  "schema; any save into a SQLite store) before giving up")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 86400.0))
      ->capture_default_str();
}

std::chrono::milliseconds lock_timeout(double seconds) {
  return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

}  // namespace kelmarion::apps
