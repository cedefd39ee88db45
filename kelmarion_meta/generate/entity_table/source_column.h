#pragma once

// One column of a stored table or view; exactly one of the two parent links is normally set.
// Table "source_column"; the identifier "source_column_id" is assigned by the database.

#include "kelmarion_core/field.h"
#include "kelmarion_core/record.h"

namespace kelmarion::meta {

struct SourceColumn {
  static constexpr std::string_view table = "source_column";

  // The table's description: fields in column order and the lookup indexes.
  static const core::RecordClass& record_class();

  static constexpr core::Field<core::FieldKind::integer> source_column_id{table, "source_column_id"};
  static constexpr core::Field<core::FieldKind::integer> source_table_id{table, "source_table_id"};
  static constexpr core::Field<core::FieldKind::integer> source_view_id{table, "source_view_id"};
  static constexpr core::Field<core::FieldKind::text> name{table, "name"};
  static constexpr core::Field<core::FieldKind::text> type{table, "type"};
  static constexpr core::Field<core::FieldKind::boolean> nullable{table, "nullable"};
  static constexpr core::Field<core::FieldKind::text> default_{table, "default"};  // "default" is a keyword
  static constexpr core::Field<core::FieldKind::boolean> autoincrement{table, "autoincrement"};
  static constexpr core::Field<core::FieldKind::text> comment{table, "comment"};
  static constexpr core::Field<core::FieldKind::integer> sort_order{table, "sort_order"};
};

}  // namespace kelmarion::meta
