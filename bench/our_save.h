#pragma once

// Our side of the store benchmarks: one save of a document through save_schema(),
// as schema bench_schema_name, in one transaction of `session` (stale records
// found, as the tool finds them).

#include <memory>

#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::bench {

// Runs the save to its end on a private event loop; rethrows its failure.
void save_in_transaction(core::AsyncSession& session, std::shared_ptr<meta::Document> document);

// What `diff` runs: the same save previewed on `session`, which must rehearse.
void preview_save(core::AsyncSession& session, std::shared_ptr<meta::Document> document);

}  // namespace kelmarion::bench
