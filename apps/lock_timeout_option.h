#pragma once

// --lock-timeout SECONDS, of the commands that open the store: how long to wait
// for a lock another session holds (another save of the same schema, or any
// save into a SQLite store) before giving up with a message saying so.

#include <chrono>

namespace CLI {
class App;
}

namespace kelmarion::apps {

// Adds the option to `command`, filling `seconds` (which must outlive the parse).
void add_lock_timeout_option(CLI::App& command, double& seconds);

// The session's lock timeout for `seconds`.
[[nodiscard]] std::chrono::milliseconds lock_timeout(double seconds);

}  // namespace kelmarion::apps
