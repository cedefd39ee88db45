#pragma once

// One table of a stored schema.
// Table "source_table"; the identifier "source_table_id" is assigned by the database.

#include "kelmarion_core/field.h"
#include "kelmarion_core/record.h"

namespace kelmarion::meta {

struct SourceTable {
  static constexpr std::string_view table = "source_table";

  // The table's description: fields in column order and the lookup indexes.
  static const core::RecordClass& record_class();

  static constexpr core::Field<core::FieldKind::integer> source_table_id{table, "source_table_id"};
  static constexpr core::Field<core::FieldKind::integer> source_schema_id{table, "source_schema_id"};
  static constexpr core::Field<core::FieldKind::text> table_name{table, "table_name"};
  static constexpr core::Field<core::FieldKind::text> comment{table, "comment"};
  static constexpr core::Field<core::FieldKind::integer> sort_order{table, "sort_order"};
};

}  // namespace kelmarion::meta
