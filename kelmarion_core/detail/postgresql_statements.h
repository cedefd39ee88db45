#pragma once

// SQL text for the statements a PostgreSQL store sends without waiting for
// their answer: writes whose result the client already knows, and the reads
// that let it know them.

#include <cstdint>
#include <string>
#include <vector>

#include "kelmarion_core/detail/sql_value.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

// INSERT of many records at once: the first parameter is an array of their
// identifiers, each next one an array of the values of one field whose bit is
// set in `mask`, in field order. Returns nothing.
[[nodiscard]] std::string render_insert_many(const RecordClass& record_class, std::uint64_t mask);

// UPDATE of the fields whose bit is set in `mask` (parameters in field order) of
// the record whose identifier is the last parameter; returns nothing. `mask`
// must not be empty. (Updates go one statement each: joined to an array, the
// planner may scan the whole table for every batch.)
[[nodiscard]] std::string render_quiet_update(const RecordClass& record_class, std::uint64_t mask);

// `values` as the text of a PostgreSQL array, for an array parameter.
[[nodiscard]] std::string array_literal(const std::vector<const SqlValue*>& values);

// SELECT of every field of the records whose link field `link_field` holds one
// of the identifiers in the array `$1`, by identifier.
[[nodiscard]] std::string render_select_children(const RecordClass& record_class,
                                                 std::size_t link_field);

// One row when some record of `record_class` with an identifier below `$2`
// refers, through link field `link_field`, to an identifier at or above `$1`.
[[nodiscard]] std::string render_stored_children_check(const RecordClass& record_class,
                                                       std::size_t link_field);

// The next `$3` values of the identifier sequence of table `$1`, column `$2`.
[[nodiscard]] std::string render_reserve_identifiers();

}  // namespace kelmarion::core::detail
