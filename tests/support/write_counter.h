#pragma once

// Counts the rows written to a store with triggers on every one of its tables:
// what a save really sent, whatever statements carried it. A location is a
// SQLite file (a path or a "sqlite:///" URL), or a PostgreSQL URL whose
// search_path names the store's schema. Both throw std::runtime_error when the
// store cannot be reached.

#include <string>
#include <vector>

namespace kelmarion::testing {

// Installs the triggers on every table the store holds now.
void count_writes(const std::string& location);

// The rows written since, one entry per table and kind of write, sorted:
// "source_column UPDATE 15".
[[nodiscard]] std::vector<std::string> counted_writes(const std::string& location);

}  // namespace kelmarion::testing
