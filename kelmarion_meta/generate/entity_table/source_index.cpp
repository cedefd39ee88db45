#include "kelmarion_meta/generate/entity_table/source_index.h"

namespace kelmarion::meta {

const core::RecordClass& SourceIndex::record_class() {
  static const core::RecordClass instance(
      table,
      {
          {"source_index_id", core::FieldKind::integer},
          {"source_table_id", core::FieldKind::integer},
          {"name", core::FieldKind::text},
          {"column_names", core::FieldKind::json},
          {"unique", core::FieldKind::boolean},
          {"sort_order", core::FieldKind::integer},
      },
      {{{"source_table_id", "column_names"}, true}},
      {{"source_table_id", "source_table"}});
  return instance;
}

}  // namespace kelmarion::meta
