#pragma once

// The kinds of metamodel records, in the order reports list them.

#include <span>
#include <string_view>

#include "kelmarion_core/record.h"

namespace kelmarion::apps {

struct RecordKind {
  std::string_view label;  // plural, for reports: "tables", "foreign keys"
  const core::RecordClass* record_class;
};

// schema, tables, views, columns, primary keys, foreign keys, indexes,
// referencing foreign keys.
[[nodiscard]] std::span<const RecordKind> record_kinds();

}  // namespace kelmarion::apps
