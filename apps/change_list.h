#pragma once

// A save's changes as lines a person reads at once:
//
//   + table invoices (4 columns, primary key, 1 foreign key, 2 indexes)
//   ~ column orders.status: type TEXT -> VARCHAR(20), nullable true -> false
//   - column customers.fax (stale; removed with --prune)
//   ~ 12 objects moved (sort order only)
//
// Objects whose only change is their position are counted in one last line.
// Names and values go through escaped_text().

#include <cstddef>
#include <ostream>
#include <vector>

#include "kelmarion_meta/tools/schema_changes.h"

namespace kelmarion::apps {

// The number of lines write_change_list() writes for `changes` without a limit.
[[nodiscard]] std::size_t change_list_lines(const std::vector<meta::SchemaChange>& changes);

// Writes the lines, each indented by two spaces; with a `limit` below
// change_list_lines(), writes only a line that says how many there are and
// that --changes lists them.
void write_change_list(std::ostream& output, const std::vector<meta::SchemaChange>& changes,
                       std::size_t limit = SIZE_MAX);

}  // namespace kelmarion::apps
