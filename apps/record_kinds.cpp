#include "apps/record_kinds.h"

#include <array>

#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/generate/entity_table/source_view.h"

namespace kelmarion::apps {

std::span<const RecordKind> record_kinds() {
  static const std::array kinds{
      RecordKind{"schema", &meta::SourceSchema::record_class()},
      RecordKind{"tables", &meta::SourceTable::record_class()},
      RecordKind{"views", &meta::SourceView::record_class()},
      RecordKind{"columns", &meta::SourceColumn::record_class()},
      RecordKind{"primary keys", &meta::SourcePrimaryKey::record_class()},
      RecordKind{"foreign keys", &meta::SourceForeignKey::record_class()},
      RecordKind{"indexes", &meta::SourceIndex::record_class()},
      RecordKind{"referencing foreign keys", &meta::SourceReferencingForeignKey::record_class()},
  };
  return kinds;
}

}  // namespace kelmarion::apps
