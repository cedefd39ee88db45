#pragma once

// One view of a stored schema.
// Table "source_view"; the identifier "source_view_id" is assigned by the database.

#include "kelmarion_core/field.h"
#include "kelmarion_core/record.h"

namespace kelmarion::meta {

struct SourceView {
  static constexpr std::string_view table = "source_view";

  // The table's description: fields in column order and the lookup indexes.
  static const core::RecordClass& record_class();

  static constexpr core::Field<core::FieldKind::integer> source_view_id{table, "source_view_id"};
  static constexpr core::Field<core::FieldKind::integer> source_schema_id{table, "source_schema_id"};
  static constexpr core::Field<core::FieldKind::text> view_name{table, "view_name"};
  static constexpr core::Field<core::FieldKind::text> definition{table, "definition"};
  static constexpr core::Field<core::FieldKind::text> comment{table, "comment"};
  static constexpr core::Field<core::FieldKind::integer> sort_order{table, "sort_order"};
};

}  // namespace kelmarion::meta
