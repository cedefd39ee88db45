#pragma once

// A foreign key between two tables of the same stored schema, with both of its ends: who references whom.
// Table "source_referencing_foreign_key"; the identifier "source_referencing_foreign_key_id" is assigned by the database.

#include "kelmarion_core/field.h"
#include "kelmarion_core/record.h"

namespace kelmarion::meta {

struct SourceReferencingForeignKey {
  static constexpr std::string_view table = "source_referencing_foreign_key";

  // The table's description: fields in column order and the lookup indexes.
  static const core::RecordClass& record_class();

  static constexpr core::Field<core::FieldKind::integer> source_referencing_foreign_key_id{table, "source_referencing_foreign_key_id"};
  static constexpr core::Field<core::FieldKind::integer> sort_order{table, "sort_order"};
  static constexpr core::Field<core::FieldKind::integer> source_schema_id{table, "source_schema_id"};
  static constexpr core::Field<core::FieldKind::integer> source_table_id{table, "source_table_id"};
  static constexpr core::Field<core::FieldKind::text> name{table, "name"};
  static constexpr core::Field<core::FieldKind::boolean> unique{table, "unique"};
  static constexpr core::Field<core::FieldKind::text> constrained_schema{table, "constrained_schema"};
  static constexpr core::Field<core::FieldKind::text> constrained_table{table, "constrained_table"};
  static constexpr core::Field<core::FieldKind::json> constrained_columns{table, "constrained_columns"};
  static constexpr core::Field<core::FieldKind::text> referred_schema{table, "referred_schema"};
  static constexpr core::Field<core::FieldKind::text> referred_table{table, "referred_table"};
  static constexpr core::Field<core::FieldKind::json> referred_columns{table, "referred_columns"};
  static constexpr core::Field<core::FieldKind::boolean> referred_orderby{table, "referred_orderby"};
  static constexpr core::Field<core::FieldKind::json> options{table, "options"};
  static constexpr core::Field<core::FieldKind::integer> source_foreign_key_id{table, "source_foreign_key_id"};
};

}  // namespace kelmarion::meta
