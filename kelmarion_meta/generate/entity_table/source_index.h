#pragma once

// One index of a stored table, identified by its table and indexed column list.
// Table "source_index"; the identifier "source_index_id" is assigned by the database.

#include "kelmarion_core/field.h"
#include "kelmarion_core/record.h"

namespace kelmarion::meta {

struct SourceIndex {
  static constexpr std::string_view table = "source_index";

  // The table's description: fields in column order and the lookup indexes.
  static const core::RecordClass& record_class();

  static constexpr core::Field<core::FieldKind::integer> source_index_id{table, "source_index_id"};
  static constexpr core::Field<core::FieldKind::integer> source_table_id{table, "source_table_id"};
  static constexpr core::Field<core::FieldKind::text> name{table, "name"};
  static constexpr core::Field<core::FieldKind::json> column_names{table, "column_names"};
  static constexpr core::Field<core::FieldKind::boolean> unique{table, "unique"};
  static constexpr core::Field<core::FieldKind::integer> sort_order{table, "sort_order"};
};

}  // namespace kelmarion::meta
