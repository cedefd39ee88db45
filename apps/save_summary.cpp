#include "apps/save_summary.h"

#include <fmt/format.h>

#include "apps/escaped_text.h"
#include "apps/record_kinds.h"

namespace kelmarion::apps {
namespace {

constexpr int label_width = 26;
constexpr int count_width = 8;
constexpr int unchanged_width = 9;

std::string counts_line(const KindCounts& counts) {
  return fmt::format("  {:<{}}{:>{}} {:>{}} {:>{}} {:>{}}\n", counts.label, label_width,
                     counts.created, count_width, counts.changed, count_width, counts.unchanged,
                     unchanged_width, counts.stale, count_width);
}

}  // namespace

std::vector<KindCounts> count_records(const core::ChangeSet& changes) {
  std::vector<KindCounts> counts;
  for (const auto& kind : record_kinds()) {
    KindCounts entry{kind.label};
    if (const auto* found = changes.find(kind.record_class->table_name())) {
      entry.created = found->created.size();
      entry.changed = found->changed.size();
      entry.unchanged = found->unchanged.size();
      entry.stale = found->stale.size();
    }
    counts.push_back(entry);
  }
  return counts;
}

void write_save_summary(std::ostream& output, const SaveSummary& summary) {
  output << fmt::format("saved schema '{}' into store '{}' in {:.3f} s\n",
                        escaped_text(summary.schema_name), escaped_text(summary.store_location),
                        summary.elapsed.count());
  output << fmt::format("  {:<{}}{:>{}} {:>{}} {:>{}} {:>{}}\n", "records", label_width, "created",
                        count_width, "changed", count_width, "unchanged", unchanged_width, "stale",
                        count_width);
  KindCounts total{"total"};
  for (const auto& kind : summary.kinds) {
    output << counts_line(kind);
    total.created += kind.created;
    total.changed += kind.changed;
    total.unchanged += kind.unchanged;
    total.stale += kind.stale;
  }
  output << counts_line(total);
  if (summary.stale.empty()) return;
  output << (summary.pruned ? "stale records, deleted:\n"
                            : "stale records, kept (--prune deletes them):\n");
  for (const auto& record : summary.stale) {
    output << "  " << escaped_text(record.description) << '\n';
  }
}

}  // namespace kelmarion::apps
