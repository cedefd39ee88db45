#pragma once

// Stale records: records stored under a schema that the last save did not
// touch, because the object they describe is gone from the schema (a dropped
// column or table) or is now found under another key (an index whose columns
// changed). They stay in the store until pruned.

#include <cstdint>
#include <string>
#include <vector>

#include "kelmarion_core/record.h"
#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::apps {

struct StaleRecord {
  const core::RecordClass* record_class;
  std::int64_t id;
  std::string description;  // "table 'orders', column 'note'"
};

// Descriptions of `stale` (as a save found them, parents first), naming each
// record's table or view from the stale records themselves or from `saved`,
// the document the save wrote its identifiers into.
[[nodiscard]] std::vector<StaleRecord> describe_stale_records(
    const std::vector<core::Record>& stale, const meta::Document& saved);

}  // namespace kelmarion::apps
