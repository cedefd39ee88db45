#pragma once

// The report `kelmarion-meta save` prints: records created, changed, unchanged
// (found holding the values already: nothing written) and stale per kind,
// then the stale records one per line.
//
//   saved schema 'main' into store 'kelmarion_meta.db' in 0.042 s
//     records                   created  changed unchanged    stale
//     schema                          0        0         1        0
//     tables                          0        1         5        0
//     ...
//     total                           0        1        60        1
//   stale records, kept (--prune deletes them):
//     table 'orders', column 'note'

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "apps/stale_records.h"
#include "kelmarion_core/change_set.h"

namespace kelmarion::apps {

struct KindCounts {
  std::string_view label;
  std::size_t created = 0;
  std::size_t changed = 0;
  std::size_t unchanged = 0;
  std::size_t stale = 0;
};

struct SaveSummary {
  std::string schema_name;
  std::string store_location;  // without password
  std::chrono::duration<double> elapsed{};
  std::vector<KindCounts> kinds;  // in the order of record_kinds()
  std::vector<StaleRecord> stale;
  bool pruned = false;  // the stale records were deleted
};

// The counts per record kind, from a save's change set.
[[nodiscard]] std::vector<KindCounts> count_records(const core::ChangeSet& changes);

// Writes the report; names and the store location go through escaped_text().
void write_save_summary(std::ostream& output, const SaveSummary& summary);

}  // namespace kelmarion::apps
