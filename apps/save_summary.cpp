#include "apps/save_summary.h"

#include <fmt/format.h>

#include <set>

#include "apps/escaped_text.h"
#include "apps/record_kinds.h"

namespace kelmarion::apps {
namespace {

constexpr int label_width = 26;
constexpr int count_width = 8;

std::string counts_line(std::string_view label, std::size_t created, std::size_t updated,
                        std::size_t stale) {
  return fmt::format("  {:<{}}{:>{}} {:>{}} {:>{}}\n", label, label_width, created, count_width,
                     updated, count_width, stale, count_width);
}

}  // namespace

std::vector<KindCounts> count_records(const core::AsyncSession::WriteLog& written,
                                      const std::vector<StaleRecord>& stale) {
  std::vector<KindCounts> counts;
  for (const auto& kind : record_kinds()) {
    KindCounts entry{kind.label};
    if (const auto found = written.find(kind.record_class->table_name()); found != written.end()) {
      const std::set<std::int64_t> inserted(found->second.inserted.begin(),
                                            found->second.inserted.end());
      std::set<std::int64_t> updated(found->second.updated.begin(), found->second.updated.end());
      // A record created and then updated by the same save counts as created.
      for (const auto id : inserted) updated.erase(id);
      entry.created = inserted.size();
      entry.updated = updated.size();
    }
    for (const auto& record : stale) {
      if (record.record_class == kind.record_class) ++entry.stale;
    }
    counts.push_back(entry);
  }
  return counts;
}

void write_save_summary(std::ostream& output, const SaveSummary& summary) {
  output << fmt::format("saved schema '{}' into store '{}' in {:.3f} s\n",
                        escaped_text(summary.schema_name), escaped_text(summary.store_location),
                        summary.elapsed.count());
  output << fmt::format("  {:<{}}{:>{}} {:>{}} {:>{}}\n", "records", label_width, "created",
                        count_width, "updated", count_width, "stale", count_width);
  KindCounts total{"total"};
  for (const auto& kind : summary.kinds) {
    output << counts_line(kind.label, kind.created, kind.updated, kind.stale);
    total.created += kind.created;
    total.updated += kind.updated;
    total.stale += kind.stale;
  }
  output << counts_line(total.label, total.created, total.updated, total.stale);
  if (summary.stale.empty()) return;
  output << (summary.pruned ? "stale records, deleted:\n"
                            : "stale records, kept (--prune deletes them):\n");
  for (const auto& record : summary.stale) {
    output << "  " << escaped_text(record.description) << '\n';
  }
}

}  // namespace kelmarion::apps
