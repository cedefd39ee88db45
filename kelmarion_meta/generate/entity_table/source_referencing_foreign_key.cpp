#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"

namespace kelmarion::meta {

const core::RecordClass& SourceReferencingForeignKey::record_class() {
  static const core::RecordClass instance(
      table,
      {
          {"source_referencing_foreign_key_id", core::FieldKind::integer},
          {"sort_order", core::FieldKind::integer},
          {"source_schema_id", core::FieldKind::integer},
          {"source_table_id", core::FieldKind::integer},
          {"name", core::FieldKind::text},
          {"unique", core::FieldKind::boolean},
          {"constrained_schema", core::FieldKind::text},
          {"constrained_table", core::FieldKind::text},
          {"constrained_columns", core::FieldKind::json},
          {"referred_schema", core::FieldKind::text},
          {"referred_table", core::FieldKind::text},
          {"referred_columns", core::FieldKind::json},
          {"referred_orderby", core::FieldKind::boolean},
          {"options", core::FieldKind::json},
          {"source_foreign_key_id", core::FieldKind::integer},
      },
      {{{"source_table_id", "constrained_columns", "referred_table"}, true}},
      {{"source_table_id", "source_table"}});
  return instance;
}

}  // namespace kelmarion::meta
