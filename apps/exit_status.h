#pragma once

// How a command's failure becomes the tool's exit status and its one error line.
//
//   0  success
//   1  a database or the system failed: core::DatabaseError (a failed query,
//      a server that cannot be reached or refuses the login), a write the
//      system refused (std::system_error), out of memory, anything unexpected
//   2  bad usage or input: UsageError, core::DocumentError and its subclasses
//      (malformed or incomplete documents), core::ConfigurationError (unknown
//      URL scheme, a location libpq cannot parse, a sqlite URL with a query,
//      a store of a newer layout)
//   3  differences found (diff)

#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarion::apps {

constexpr int exit_success = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr int exit_differences = 3;  // diff: the store differs from the schema

struct Failure {
  int status = exit_failure;
  std::string message;  // one line, without the "kelmarion-meta: error: " prefix
};

// The exit status and message for the exception `error` (which must not be
// null). The message is the exception's text, with every URL of
// `urls` that carries a password replaced by its redacted form: the library
// already redacts, this keeps the promise for texts that come from elsewhere
// (an engine's own message quoting its connection string).
[[nodiscard]] Failure describe_failure(const std::exception_ptr& error,
                                       const std::vector<std::string>& urls);

// Writes "kelmarion-meta: error: <message>" to stderr, with control characters
// and text that is not UTF-8 escaped (see escaped_text.h).
void print_error(std::string_view message);

}  // namespace kelmarion::apps
