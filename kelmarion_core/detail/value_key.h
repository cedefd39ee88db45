#pragma once

// How stored and given values are compared, so that lookups and the check for
// an unchanged update compare values, not their spelling: a JSON object's keys
// in another order, or 1.0 for 1, are the same value. Equal values hash alike,
// whichever side they come from.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "kelmarion_core/detail/sql_value.h"
#include "kelmarion_core/record.h"
#include "kelmarion_core/row_image.h"

namespace kelmarion::core::detail {

// A value given for a field: `converted` is what to_sql_value() made of `given`
// (left empty for a text given for a text field: it is read from `given`).
struct GivenValue {
  FieldKind kind;
  const SqlValue& converted;
  const nlohmann::ordered_json& given;
};

// The hash of cell `field` of `image`, a row of `record_class`.
[[nodiscard]] std::size_t cell_hash(const RecordClass& record_class, const RowImage& image,
                                    std::size_t field);
[[nodiscard]] std::size_t given_hash(const GivenValue& value);

// Whether cell `field` holds the given value. Throws DatabaseError when the
// cell holds JSON nested too deep to read.
[[nodiscard]] bool cell_equals(const RecordClass& record_class, const RowImage& image,
                               std::size_t field, const GivenValue& value);

// The text JSON values compare by: objects' keys sorted, integral numbers as integers.
[[nodiscard]] std::string json_key(const nlohmann::ordered_json& value);

}  // namespace kelmarion::core::detail
