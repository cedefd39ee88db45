#include "kelmarion_meta/generate/entity_table/record_classes.h"

#include <array>

#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/generate/entity_table/source_view.h"

namespace kelmarion::meta {

std::span<const core::RecordClass* const> record_classes() {
  static const std::array<const core::RecordClass*, 8> classes{
      &SourceSchema::record_class(),     &SourceTable::record_class(),
      &SourceView::record_class(),       &SourceColumn::record_class(),
      &SourcePrimaryKey::record_class(), &SourceForeignKey::record_class(),
      &SourceIndex::record_class(),      &SourceReferencingForeignKey::record_class(),
  };
  return classes;
}

}  // namespace kelmarion::meta
