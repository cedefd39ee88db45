#pragma once

// What the table saver keeps of each stored table for the referencing foreign
// key saver: the stored table record, and the table's stored foreign key
// records.

#include <vector>

#include "kelmarion_core/record.h"

namespace kelmarion::meta::detail {

struct TableSummary {
  core::Record table;                      // the stored SourceTable record
  std::vector<core::Record> foreign_keys;  // the stored SourceForeignKey records, in order
};

}  // namespace kelmarion::meta::detail
