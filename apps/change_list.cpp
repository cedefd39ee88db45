#include "apps/change_list.h"

#include <fmt/format.h>

#include <algorithm>

#include "apps/escaped_text.h"
#include "kelmarion_core/json_text.h"

namespace kelmarion::apps {
namespace {

std::string value_text(const nlohmann::ordered_json& value) {
  return escaped_text(core::display_text(value));
}

// "orders.status", "orders (id)" for a name that is a column list, "orders".
std::string qualified(const meta::SchemaChange& change) {
  if (change.table.empty()) return escaped_text(change.name);
  const auto separator = change.name.starts_with('(') ? " " : ".";
  return escaped_text(change.table) + separator + escaped_text(change.name);
}

// "4 columns, primary key, 1 foreign key".
std::string contents(const meta::SchemaChange& change) {
  std::string text;
  for (const auto& [plural, count] : change.contains) {
    if (!text.empty()) text += ", ";
    auto label = plural;
    std::replace(label.begin(), label.end(), '_', ' ');
    if (label == "primary keys" && count == 1) {
      text += "primary key";
      continue;
    }
    if (count == 1) label = label == "indexes" ? "index" : label.substr(0, label.size() - 1);
    text += fmt::format("{} {}", count, label);
  }
  return text;
}

// "4 columns; " before what follows it, or nothing.
std::string then(const std::string& contents) {
  return contents.empty() ? std::string() : fmt::format("{}; ", contents);
}

std::string line_of(const meta::SchemaChange& change) {
  const auto object = fmt::format("{} {}", change.object, qualified(change));
  const auto with = contents(change);
  switch (change.kind) {
    case meta::ChangeKind::created:
      return with.empty() ? fmt::format("+ {}", object) : fmt::format("+ {} ({})", object, with);
    case meta::ChangeKind::changed: {
      std::string fields;
      for (const auto& field : change.fields) {
        if (!fields.empty()) fields += ", ";
        fields += fmt::format("{} {} -> {}", escaped_text(field.field), value_text(field.before),
                              value_text(field.after));
      }
      return fmt::format("~ {}: {}", object, fields);
    }
    case meta::ChangeKind::stale:
      return fmt::format("- {} ({}stale; removed with --prune)", object, then(with));
    case meta::ChangeKind::deleted:
      return fmt::format("- {} ({}deleted)", object, then(with));
  }
  return object;
}

std::size_t moved_count(const std::vector<meta::SchemaChange>& changes) {
  return static_cast<std::size_t>(std::count_if(
      changes.begin(), changes.end(), [](const auto& change) { return change.moved_only(); }));
}

}  // namespace

std::size_t change_list_lines(const std::vector<meta::SchemaChange>& changes) {
  const auto moved = moved_count(changes);
  return changes.size() - moved + (moved > 0 ? 1 : 0);
}

void write_change_list(std::ostream& output, const std::vector<meta::SchemaChange>& changes,
                       std::size_t limit) {
  const auto lines = change_list_lines(changes);
  if (lines > limit) {
    output << fmt::format("  {} changes, not listed: --changes lists them\n", lines);
    return;
  }
  for (const auto& change : changes) {
    if (!change.moved_only()) output << "  " << line_of(change) << '\n';
  }
  if (const auto moved = moved_count(changes); moved > 0) {
    output << fmt::format("  ~ {} {} moved (sort order only)\n", moved,
                          moved == 1 ? "object" : "objects");
  }
}

}  // namespace kelmarion::apps
