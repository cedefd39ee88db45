#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"

namespace kelmarion::meta {

const core::RecordClass& SourceForeignKey::record_class() {
  static const core::RecordClass instance(
      table,
      {
          {"source_foreign_key_id", core::FieldKind::integer},
          {"source_table_id", core::FieldKind::integer},
          {"name", core::FieldKind::text},
          {"constrained_columns", core::FieldKind::json},
          {"referred_schema", core::FieldKind::text},
          {"referred_table", core::FieldKind::text},
          {"referred_columns", core::FieldKind::json},
          {"options", core::FieldKind::json},
          {"sort_order", core::FieldKind::integer},
          {"constrained_orderby", core::FieldKind::boolean},
          {"unique", core::FieldKind::boolean},
      },
      {{{"source_table_id", "constrained_columns"}, true}},
      {{"source_table_id", "source_table"}});
  return instance;
}

}  // namespace kelmarion::meta
