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

// SELECT of every field of the first record (lowest identifier) that satisfies `condition`.
[[nodiscard]] RenderedSql render_select_first(const RecordClass& record_class,
                                              const Condition& condition, Dialect dialect);
// The same lookup selecting the identifier alone.
[[nodiscard]] RenderedSql render_select_first_id(const RecordClass& record_class,
                                                 const Condition& condition, Dialect dialect);

// SELECT of every field of all records that satisfy `condition`, by identifier.
[[nodiscard]] RenderedSql render_select_all(const RecordClass& record_class,
                                            const Condition& condition, Dialect dialect);

// What an INSERT or UPDATE returns. SQLite runs a RETURNING clause through a
// temporary table of its own for every statement, which costs more than reading
// the row again by its identifier: its backend asks for nothing.
enum class Returning { every_field, nothing };

// INSERT of the fields whose bit is set in `mask`, returning every field (or
// nothing). The parameters are left for the caller to bind, in field order.
[[nodiscard]] std::string render_insert(const RecordClass& record_class, std::uint64_t mask,
                                        Dialect dialect,
                                        Returning returning = Returning::every_field);

// UPDATE of the fields whose bit is set in `mask` of the record whose identifier
// is the last parameter, returning every field (or nothing). With an empty mask,
// a SELECT of that record either way.
[[nodiscard]] std::string render_update(const RecordClass& record_class, std::uint64_t mask,
                                        Dialect dialect,
                                        Returning returning = Returning::every_field);

// DELETE of the record whose identifier is the one parameter.
[[nodiscard]] std::string render_delete(const RecordClass& record_class, Dialect dialect);

}  // namespace kelmarion::core::detail
