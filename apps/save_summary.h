#pragma once

// The report `kelmarion-meta save` prints: records created, updated and stale
// per kind, then the stale records one per line.
//
//   saved schema 'main' into store 'kelmarion_meta.db' in 0.042 s
//     records                   created  updated    stale
//     schema                          0        1        0
//     tables                          0        6        0
//     ...
//     total                           0       61        1
//   stale records, kept (--prune deletes them):
//     table 'orders', column 'note'

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "apps/stale_records.h"
#include "kelmarion_core/session.h"

namespace kelmarion::apps {

struct KindCounts {
  std::string_view label;
  std::size_t created = 0;
  std::size_t updated = 0;  // written, and not created by the same save
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

// The counts per record kind: distinct identifiers inserted and updated per
// table in `written`, and the records in `stale`.
[[nodiscard]] std::vector<KindCounts> count_records(const core::AsyncSession::WriteLog& written,
                                                    const std::vector<StaleRecord>& stale);

// Writes the report; names and the store location go through escaped_text().
void write_save_summary(std::ostream& output, const SaveSummary& summary);

}  // namespace kelmarion::apps
