#include "kelmarion_meta/generate/entity_table/source_column.h"

namespace kelmarion::meta {

const core::RecordClass& SourceColumn::record_class() {
  static const core::RecordClass instance(
      table,
      {
          {"source_column_id", core::FieldKind::integer},
          {"source_table_id", core::FieldKind::integer},
          {"source_view_id", core::FieldKind::integer},
          {"name", core::FieldKind::text},
          {"type", core::FieldKind::text},
          {"nullable", core::FieldKind::boolean},
          {"default", core::FieldKind::text},
          {"autoincrement", core::FieldKind::boolean},
          {"comment", core::FieldKind::text},
          {"sort_order", core::FieldKind::integer},
      },
      {{{"source_table_id", "name"}, true}, {{"source_view_id", "name"}, true}},
      {{"source_table_id", "source_table"}, {"source_view_id", "source_view"}});
  return instance;
}

}  // namespace kelmarion::meta
