#pragma once

// Conversion between document values and the values bound to, or read from, a
// store column of a given field kind. One function for both writes and lookups,
// so a value compares equal to what was stored from it.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kelmarion_core/record.h"
#include "kelmarion_core/row_image.h"

namespace kelmarion::core::detail {

// A value as bound to a statement: NULL, an integer (booleans as 0/1) or text
// (json fields as their serialized text).
using SqlValue = std::variant<std::monostate, std::int64_t, std::string>;

// Converts `value` for a field of `kind`. Throws DocumentTypeError naming the
// table and field when the value cannot be stored in it (a text for an integer
// field, say).
[[nodiscard]] SqlValue to_sql_value(std::string_view table_name, std::string_view field_name,
                                    FieldKind kind, const nlohmann::ordered_json& value);

// The values of a record's data that name fields of its class, other than the
// identifier. `present[i]` tells whether field i was given; `values[i]` is its
// converted value. Keys that are not fields are ignored.
struct FieldValues {
  std::vector<bool> present;
  std::vector<SqlValue> values;
  std::vector<const nlohmann::ordered_json*> given;  // the value in `data`, or null
  std::uint64_t mask = 0;  // bit i set when field i is present (fields are few)
};

// Walks `data` once. Throws DocumentTypeError when `data` is not an object.
[[nodiscard]] FieldValues collect_field_values(const RecordClass& record_class,
                                               const nlohmann::ordered_json& data);

// The values of the present fields, in field order: the parameters of the
// INSERT or UPDATE that render_insert / render_update make for `given.mask`.
[[nodiscard]] std::vector<SqlValue> present_values(FieldValues given);

// The document value of text cell `field` of `image`, a row of `record_class`
// read from the store: the text itself, or for a json field the JSON value it
// holds (text that does not parse is returned as a string rather than lost).
// Throws DatabaseError naming the table, the record and the field when that JSON
// nests lists and objects deeper than max_json_depth (json_reader.h): the store
// holds a value the library cannot handle without overflowing the stack.
[[nodiscard]] nlohmann::ordered_json from_stored_text(const RecordClass& record_class,
                                                      const RowImage& image, std::size_t field);

}  // namespace kelmarion::core::detail
