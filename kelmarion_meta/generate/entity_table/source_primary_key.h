#pragma once

// The primary key of a stored table (at most one per table).
// Table "source_primary_key"; the identifier "source_primary_key_id" is assigned by the database.

#include "kelmarion_core/field.h"
#include "kelmarion_core/record.h"

namespace kelmarion::meta {

struct SourcePrimaryKey {
  static constexpr std::string_view table = "source_primary_key";

  // The table's description: fields in column order and the lookup indexes.
  static const core::RecordClass& record_class();

  static constexpr core::Field<core::FieldKind::integer> source_primary_key_id{table, "source_primary_key_id"};
  static constexpr core::Field<core::FieldKind::integer> source_table_id{table, "source_table_id"};
  static constexpr core::Field<core::FieldKind::text> name{table, "name"};
  static constexpr core::Field<core::FieldKind::json> constrained_columns{table, "constrained_columns"};
};

}  // namespace kelmarion::meta
