#pragma once

// The key a stored or given value is compared by, so that lookups and the
// check for an unchanged update compare values, not their spelling: a JSON
// object's keys in another order, or 1.0 for 1, give the same key. Keys of
// different kinds never collide ("n" absent, "i" integer, "s" text, "j" JSON).

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "kelmarion_core/detail/sql_value.h"
#include "kelmarion_core/record.h"
#include "kelmarion_core/row_image.h"

namespace kelmarion::core::detail {

// The key of cell `field` of `image`, a row of `record_class`.
[[nodiscard]] std::string cell_key(const RecordClass& record_class, const RowImage& image,
                                   std::size_t field);

// The key of a value given for a field of `kind`: `converted` is what
// to_sql_value() made of `given`.
[[nodiscard]] std::string given_key(FieldKind kind, const SqlValue& converted,
                                    const nlohmann::ordered_json& given);

}  // namespace kelmarion::core::detail
