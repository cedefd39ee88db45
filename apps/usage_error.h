#pragma once

// UsageError: the command line or the input it names is wrong (an unreadable or
// malformed document, a schema the engine or store does not have). The tool
// exits with status 2 for it, as for the library's document and configuration
// errors.

#include <stdexcept>

namespace kelmarion::apps {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kelmarion::apps
