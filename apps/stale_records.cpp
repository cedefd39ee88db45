#include "apps/stale_records.h"

#include <fmt/format.h>

#include <unordered_map>

#include "apps/stored_schema.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/generate/entity_table/source_view.h"

namespace kelmarion::apps {
namespace {

// "a, b" for a list of names.
std::string names_of(const core::Record& record, std::string_view field) {
  const auto& names = record[field];
  if (!names.is_array()) return names.dump();
  std::string text;
  for (const auto& name : names) {
    if (!text.empty()) text += ", ";
    text += name.is_string() ? name.get<std::string>() : name.dump();
  }
  return text;
}

// Table and view names by identifier.
class ParentNames {
 public:
  ParentNames(const std::vector<core::Record>& stale, const meta::Document& saved) {
    for (const auto* list : {"tables", "views"}) {
      const auto entries = saved.find(list);
      if (entries == saved.end() || !entries->is_array()) continue;
      const bool tables = std::string_view(list) == "tables";
      for (const auto& entry : *entries) {
        if (!entry.is_object()) continue;
        const auto id = entry.find(tables ? "source_table_id" : "source_view_id");
        const auto name = entry.find(tables ? "table_name" : "view_name");
        if (id != entry.end() && id->is_number_integer() && name != entry.end() &&
            name->is_string()) {
          (tables ? _tables : _views)[id->get<std::int64_t>()] = name->get<std::string>();
        }
      }
    }
    for (const auto& record : stale) {
      if (&record.record_class() == &meta::SourceTable::record_class()) {
        _tables[record.id()] = text_of(record, "table_name");
      } else if (&record.record_class() == &meta::SourceView::record_class()) {
        _views[record.id()] = text_of(record, "view_name");
      }
    }
  }

  // "table 'orders'" or "view 'v'" for the parent `record` links to.
  [[nodiscard]] std::string parent_of(const core::Record& record) const {
    for (const auto& [field, names, kind] :
         {std::tuple{"source_table_id", &_tables, "table"}, {"source_view_id", &_views, "view"}}) {
      if (!record.record_class().field_index(field)) continue;
      const auto& id = record[field];
      if (!id.is_number_integer()) continue;
      const auto found = names->find(id.get<std::int64_t>());
      const auto name = found != names->end() ? found->second : fmt::format("#{}", id.dump());
      return fmt::format("{} '{}'", kind, name);
    }
    return "(no parent)";
  }

 private:
  std::unordered_map<std::int64_t, std::string> _tables;
  std::unordered_map<std::int64_t, std::string> _views;
};

std::string describe(const core::Record& record, const ParentNames& parents) {
  const auto* record_class = &record.record_class();
  if (record_class == &meta::SourceSchema::record_class()) {
    return fmt::format("schema '{}'", text_of(record, "schema_name"));
  }
  if (record_class == &meta::SourceTable::record_class()) {
    return fmt::format("table '{}'", text_of(record, "table_name"));
  }
  if (record_class == &meta::SourceView::record_class()) {
    return fmt::format("view '{}'", text_of(record, "view_name"));
  }
  if (record_class == &meta::SourceColumn::record_class()) {
    return fmt::format("{}, column '{}'", parents.parent_of(record), text_of(record, "name"));
  }
  if (record_class == &meta::SourcePrimaryKey::record_class()) {
    return fmt::format("{}, primary key ({})", parents.parent_of(record),
                       names_of(record, "constrained_columns"));
  }
  if (record_class == &meta::SourceForeignKey::record_class()) {
    return fmt::format("{}, foreign key ({})", parents.parent_of(record),
                       names_of(record, "constrained_columns"));
  }
  if (record_class == &meta::SourceIndex::record_class()) {
    return fmt::format("{}, index '{}' ({})", parents.parent_of(record), text_of(record, "name"),
                       names_of(record, "column_names"));
  }
  return fmt::format("reference from '{}' ({}) to '{}'", text_of(record, "constrained_table"),
                     names_of(record, "constrained_columns"), text_of(record, "referred_table"));
}

}  // namespace

std::vector<StaleRecord> describe_stale_records(const std::vector<core::Record>& stale,
                                                const meta::Document& saved) {
  const ParentNames parents(stale, saved);
  std::vector<StaleRecord> described;
  described.reserve(stale.size());
  for (const auto& record : stale) {
    described.push_back(
        StaleRecord{&record.record_class(), record.id(), describe(record, parents)});
  }
  return described;
}

}  // namespace kelmarion::apps
