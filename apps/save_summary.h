#pragma once

// The report `kelmarion-meta save` prints: records created, changed, unchanged
// (found holding the values already: nothing written) and stale per kind,
// then the changes one per line (see change_list.h), or their number when
// there are more than the list limit.
//
//   saved schema 'main' into store 'kelmarion_meta.db' in 0.042 s (history: save 7)
//     records                   created  changed unchanged    stale
//     schema                          0        0         1        0
//     tables                          0        1         5        0
//     ...
//     total                           0        1        60        1
//   changes:
//     ~ column orders.status: type TEXT -> VARCHAR(20)
//     - column orders.note (stale; removed with --prune)
//
// As JSON (--format json), one object:
//   {"schema": "main", "store": "kelmarion_meta.db", "engine": "sqlite:///shop.db",
//    "history_id": 7, "elapsed_seconds": 0.042, "pruned": false,
//    "counts": {...}, "changes": [...]}
// with "counts" and "changes" as schema_changes.h describes them.

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "kelmarion_core/change_set.h"
#include "kelmarion_meta/tools/schema_changes.h"

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
  std::string store_location;              // without password
  std::optional<std::string> engine_name;  // without password
  std::chrono::duration<double> elapsed{};
  const core::ChangeSet* changes = nullptr;
  const std::vector<meta::SchemaChange>* schema_changes = nullptr;
  std::optional<std::int64_t> history_id;
  bool pruned = false;  // the stale records were deleted
  // Up to how many lines of changes are listed in text.
  std::size_t list_limit = SIZE_MAX;
};

// Text reports list the changes of a save when they take at most this many lines.
constexpr std::size_t default_list_limit = 50;

// The counts per record kind, from a save's change set.
[[nodiscard]] std::vector<KindCounts> count_records(const core::ChangeSet& changes);

// Writes the counts table (without its heading line).
void write_counts_table(std::ostream& output, const core::ChangeSet& changes);

// Writes the report; names and the store location go through escaped_text().
void write_save_summary(std::ostream& output, const SaveSummary& summary);

// The report as one JSON object.
[[nodiscard]] nlohmann::ordered_json save_summary_json(const SaveSummary& summary);

}  // namespace kelmarion::apps
