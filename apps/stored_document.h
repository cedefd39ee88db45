#pragma once

// A stored schema turned back into a schema metadata document, of the shape an
// inspection gives (see the README): saving it again finds every record it came
// from and changes none of their values.

#include "apps/stored_schema.h"
#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::apps {

// {"schema_name", "tables", "views", "comment"}, tables with their columns,
// primary key (or null), foreign keys and indexes, views with their columns;
// every list in the stored order. Record identifiers and sort orders are left
// out, as in an inspected document.
[[nodiscard]] meta::Document to_document(const StoredSchema& schema);

}  // namespace kelmarion::apps
