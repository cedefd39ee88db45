#include "kelmarion_meta/generate/entity_table/source_view.h"

namespace kelmarion::meta {

const core::RecordClass& SourceView::record_class() {
  static const core::RecordClass instance(
      table,
      {
          {"source_view_id", core::FieldKind::integer},
          {"source_schema_id", core::FieldKind::integer},
          {"view_name", core::FieldKind::text},
          {"definition", core::FieldKind::text},
          {"comment", core::FieldKind::text},
          {"sort_order", core::FieldKind::integer},
      },
      {{{"source_schema_id", "view_name"}, true}},
      {{"source_schema_id", "source_schema"}});
  return instance;
}

}  // namespace kelmarion::meta
