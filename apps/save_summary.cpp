#include "apps/save_summary.h"

#include <fmt/format.h>

#include "apps/change_list.h"
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

void write_counts_table(std::ostream& output, const core::ChangeSet& changes) {
  output << fmt::format("  {:<{}}{:>{}} {:>{}} {:>{}} {:>{}}\n", "records", label_width, "created",
                        count_width, "changed", count_width, "unchanged", unchanged_width, "stale",
                        count_width);
  KindCounts total{"total"};
  for (const auto& kind : count_records(changes)) {
    output << counts_line(kind);
    total.created += kind.created;
    total.changed += kind.changed;
    total.unchanged += kind.unchanged;
    total.stale += kind.stale;
  }
  output << counts_line(total);
}

void write_save_summary(std::ostream& output, const SaveSummary& summary) {
  output << fmt::format("saved schema '{}' into store '{}' in {:.3f} s",
                        escaped_text(summary.schema_name), escaped_text(summary.store_location),
                        summary.elapsed.count());
  if (summary.history_id) output << fmt::format(" (history: save {})", *summary.history_id);
  output << '\n';
  write_counts_table(output, *summary.changes);
  if (summary.schema_changes->empty()) {
    output << "no changes\n";
    return;
  }
  output << "changes:\n";
  write_change_list(output, *summary.schema_changes, summary.list_limit);
}

nlohmann::ordered_json save_summary_json(const SaveSummary& summary) {
  nlohmann::ordered_json report = nlohmann::ordered_json::object();
  report["schema"] = summary.schema_name;
  report["store"] = summary.store_location;
  report["engine"] =
      summary.engine_name ? nlohmann::ordered_json(*summary.engine_name) : nlohmann::ordered_json();
  report["history_id"] =
      summary.history_id ? nlohmann::ordered_json(*summary.history_id) : nlohmann::ordered_json();
  report["elapsed_seconds"] = summary.elapsed.count();
  report["pruned"] = summary.pruned;
  report["counts"] = meta::counts_to_json(*summary.changes);
  report["changes"] = meta::changes_to_json(*summary.schema_changes);
  return report;
}

}  // namespace kelmarion::apps
