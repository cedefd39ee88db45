#include "kelmarion_meta/generate/entity_table/source_primary_key.h"

namespace kelmarion::meta {

const core::RecordClass& SourcePrimaryKey::record_class() {
  static const core::RecordClass instance(
      table,
      {
          {"source_primary_key_id", core::FieldKind::integer},
          {"source_table_id", core::FieldKind::integer},
          {"name", core::FieldKind::text},
          {"constrained_columns", core::FieldKind::json},
      },
      {{{"source_table_id"}, true}},
      {{"source_table_id", "source_table"}});
  return instance;
}

}  // namespace kelmarion::meta
