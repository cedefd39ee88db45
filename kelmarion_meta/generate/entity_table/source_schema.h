#pragma once

// The schema record: one per stored schema, the root of the metamodel.
// Table "source_schema"; the identifier "source_schema_id" is assigned by the database.

#include "kelmarion_core/field.h"
#include "kelmarion_core/record.h"

namespace kelmarion::meta {

struct SourceSchema {
  static constexpr std::string_view table = "source_schema";

  // The table's description: fields in column order and the lookup indexes.
  static const core::RecordClass& record_class();

  static constexpr core::Field<core::FieldKind::integer> source_schema_id{table, "source_schema_id"};
  static constexpr core::Field<core::FieldKind::text> schema_name{table, "schema_name"};
  static constexpr core::Field<core::FieldKind::text> engine_name{table, "engine_name"};
  static constexpr core::Field<core::FieldKind::text> comment{table, "comment"};
  static constexpr core::Field<core::FieldKind::integer> sort_order{table, "sort_order"};
};

}  // namespace kelmarion::meta
