#include "kelmarion_meta/generate/entity_table/source_table.h"

namespace kelmarion::meta {

const core::RecordClass& SourceTable::record_class() {
  static const core::RecordClass instance(
      table,
      {
          {"source_table_id", core::FieldKind::integer},
          {"source_schema_id", core::FieldKind::integer},
          {"table_name", core::FieldKind::text},
          {"comment", core::FieldKind::text},
          {"sort_order", core::FieldKind::integer},
      },
      {{{"source_schema_id", "table_name"}, true}},
      {{"source_schema_id", "source_schema"}});
  return instance;
}

}  // namespace kelmarion::meta
