#include "kelmarion_meta/generate/entity_table/source_schema.h"

namespace kelmarion::meta {

const core::RecordClass& SourceSchema::record_class() {
  static const core::RecordClass instance(
      table,
      {
          {"source_schema_id", core::FieldKind::integer},
          {"schema_name", core::FieldKind::text},
          {"engine_name", core::FieldKind::text},
          {"comment", core::FieldKind::text},
          {"sort_order", core::FieldKind::integer},
      },
      // Not unique: a store given no schema name looks its schema up as absent
      // and stores the document's name, so repeated saves may add records.
      {{{"schema_name"}, false}}, {},
      // Looking a schema up by name takes that schema's lock: two first saves
      // of one schema never both create its record.
      "schema_name");
  return instance;
}

}  // namespace kelmarion::meta
