#pragma once

// SQL text for the store's statements, for either dialect. Only identifiers from
// record classes ever enter the text, always through quote_identifier(); values
// are always bound parameters.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelmarion_core/detail/sql_value.h"
#include "kelmarion_core/predicate.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

enum class Dialect { sqlite, postgresql };

struct ParentStep;

// "name" with embedded double quotes doubled.
[[nodiscard]] std::string quote_identifier(std::string_view name);

// A statement's text and the values of its parameters, in order.
struct RenderedSql {
  std::string sql;
  std::vector<SqlValue> parameters;
};

// The WHERE clause (without the keyword) for the predicates of `condition`, all of
// which must be present and name fields of `record_class`; placeholders are
// numbered from `first_parameter` (1-based). Throws Error for a predicate on a
// field of another record class.
[[nodiscard]] RenderedSql render_where(const RecordClass& record_class, const Condition& condition,
                                       Dialect dialect, int first_parameter = 1);

// SELECT of every field of all records that satisfy `condition`, by identifier.
[[nodiscard]] RenderedSql render_select_all(const RecordClass& record_class,
                                            const Condition& condition, Dialect dialect);

// SELECT of every field of the records whose field `link_field` holds one of
// the identifiers of the first parameter (PostgreSQL: an array; SQLite: a JSON
// list), in no order.
[[nodiscard]] std::string render_select_children(const RecordClass& record_class,
                                                 std::size_t link_field, Dialect dialect);

// One row when some record's `link_field` lies between the first and the
// second parameter.
[[nodiscard]] std::string render_refers_to_any(const RecordClass& record_class,
                                               std::size_t link_field, Dialect dialect);

// The identifiers of the records reached from the root, the one parameter,
// down `path` (see StoreConnection::select_ids_under).
[[nodiscard]] std::string render_ids_under(const RecordClass& record_class,
                                           const std::vector<ParentStep>& path, Dialect dialect);

// SQLite: INSERT of `rows` rows, every field a parameter, in field order row
// after row.
[[nodiscard]] std::string render_insert_rows(const RecordClass& record_class, std::size_t rows);
// SQLite: UPDATE of the fields of `mask` (parameters in field order) of the
// record whose identifier is the last parameter.
[[nodiscard]] std::string render_update_row(const RecordClass& record_class, std::uint64_t mask);
// SQLite: DELETE of the record whose identifier is the one parameter.
[[nodiscard]] std::string render_delete_row(const RecordClass& record_class);

// PostgreSQL: INSERT of many rows, a parameter per field in field order, each
// an array of the rows' values.
[[nodiscard]] std::string render_insert_arrays(const RecordClass& record_class);
// PostgreSQL: UPDATE of the fields of `mask` from arrays (the identifiers
// first, then a parameter per field of `mask` in field order), skipping rows
// that already hold the values.
[[nodiscard]] std::string render_update_arrays(const RecordClass& record_class, std::uint64_t mask);
// PostgreSQL: DELETE of the records whose identifiers the one array parameter holds.
[[nodiscard]] std::string render_delete_array(const RecordClass& record_class);
// PostgreSQL: the next `$3` values of the identifier sequence of table `$1`, column `$2`.
[[nodiscard]] std::string render_reserve_identifiers();

}  // namespace kelmarion::core::detail
