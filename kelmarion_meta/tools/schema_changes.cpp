#include "kelmarion_meta/tools/schema_changes.h"

#include <fmt/format.h>

#include <array>
#include <unordered_map>
#include <unordered_set>

#include "kelmarion_core/errors.h"
#include "kelmarion_core/json_text.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/record_classes.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/generate/entity_table/source_view.h"

namespace kelmarion::meta {
namespace {

using Json = nlohmann::ordered_json;

// A record class as the change list names it: the object, and the key of its
// count in "contains" and in the counts.
struct Kind {
  const core::RecordClass* record_class;
  std::string_view object;
  std::string_view plural;
};

const std::array<Kind, 8>& kinds() {
  static const std::array<Kind, 8> all{
      Kind{&SourceSchema::record_class(), "schema", "schema"},
      Kind{&SourceTable::record_class(), "table", "tables"},
      Kind{&SourceView::record_class(), "view", "views"},
      Kind{&SourceColumn::record_class(), "column", "columns"},
      Kind{&SourcePrimaryKey::record_class(), "primary key", "primary_keys"},
      Kind{&SourceForeignKey::record_class(), "foreign key", "foreign_keys"},
      Kind{&SourceIndex::record_class(), "index", "indexes"},
      Kind{&SourceReferencingForeignKey::record_class(), "reference", "referencing_foreign_keys"},
  };
  return all;
}

const Kind& kind_of(const core::RecordClass& record_class) {
  for (const auto& kind : kinds()) {
    if (kind.record_class == &record_class) return kind;
  }
  return kinds().back();
}

const Json& member(const Json& object, std::string_view key) {
  static const Json null;
  if (!object.is_object()) return null;
  const auto found = object.find(key);
  return found != object.end() ? *found : null;
}

std::string text(const Json& value) { return core::display_text(value); }

// Built with fmt: g++ 12 warns falsely of an overflow in "(" + text when optimising.
std::string column_list(const Json& names) {
  if (!names.is_array()) return fmt::format("({})", text(names));
  std::string list;
  for (const auto& name : names) {
    if (!list.empty()) list += ", ";
    list += text(name);
  }
  return fmt::format("({})", list);
}

// The name of a column, key or index, from its document entry or record.
std::string name_of(const Kind& kind, const Json& entry) {
  if (kind.record_class == &SourcePrimaryKey::record_class()) {
    return column_list(member(entry, "constrained_columns"));
  }
  if (kind.record_class == &SourceForeignKey::record_class()) {
    return fmt::format("{} -> {}", column_list(member(entry, "constrained_columns")),
                       text(member(entry, "referred_table")));
  }
  if (kind.record_class == &SourceIndex::record_class()) {
    const auto& name = member(entry, "name");
    if (!name.is_string() || name.get_ref<const std::string&>().empty()) {
      return column_list(member(entry, "column_names"));
    }
  }
  return text(member(entry, "name"));
}

std::optional<std::int64_t> id_in(const Json& entry, const core::RecordClass& record_class) {
  const auto& id = member(entry, record_class.id_field());
  if (!id.is_number_integer()) return std::nullopt;
  return id.get<std::int64_t>();
}

// Adds one to the count of `kind` in `contains`, kept in record order.
void count_in(std::vector<std::pair<std::string, std::size_t>>& contains, const Kind& kind) {
  for (auto& [plural, count] : contains) {
    if (plural == kind.plural) {
      ++count;
      return;
    }
  }
  contains.emplace_back(kind.plural, 1);
}

struct Parent {
  const core::RecordClass* record_class;
  std::int64_t id;
  bool operator==(const Parent&) const = default;
};
struct ParentHash {
  std::size_t operator()(const Parent& parent) const noexcept {
    return std::hash<std::int64_t>()(parent.id) * 31U ^
           std::hash<const void*>()(parent.record_class);
  }
};

using ParentNames = std::unordered_map<Parent, std::string, ParentHash>;

// Table and view names by identifier, as the saved document holds them.
ParentNames names_in(const Document& saved) {
  ParentNames names;
  for (const auto& [list, parent, name_key] :
       {std::tuple{"tables", 1, "table_name"}, {"views", 2, "view_name"}}) {
    const auto& entries = member(saved, list);
    if (!entries.is_array()) continue;
    const auto* record_class = kinds()[parent].record_class;
    for (const auto& entry : entries) {
      if (const auto id = id_in(entry, *record_class)) {
        names[Parent{record_class, *id}] = text(member(entry, name_key));
      }
    }
  }
  return names;
}

// "orders" for the table or view `fields` (a record's) belongs to, "#7" when
// `names` lacks it, empty for a record of neither.
std::string parent_name(const ParentNames& names, const Json& fields) {
  for (const auto& [field, parent] : {std::pair{"source_table_id", 1}, {"source_view_id", 2}}) {
    const auto& id = member(fields, field);
    if (!id.is_number_integer()) continue;
    const auto found = names.find(Parent{kinds()[parent].record_class, id.get<std::int64_t>()});
    return found != names.end() ? found->second : fmt::format("#{}", id.dump());
  }
  return {};
}

// Lists what the change set created or changed, table by table in the saved
// document's order: a table's or view's own entry, then its columns, keys and
// indexes. Reads the records it must name (new ones under tables that were
// already stored, and changed ones) in one query per class.
class CreatedAndChanged {
 public:
  CreatedAndChanged(core::AsyncSession& session, const core::ChangeSet& changes,
                    const Document& saved, const ParentNames& names)
      : _session(session), _changes(changes), _saved(saved), _names(names) {}

  asio::awaitable<void> describe(std::vector<SchemaChange>& out) {
    const auto& schema = kinds()[0];
    const auto schema_name = text(member(_saved, "schema_name"));
    const auto* schema_changes = _changes.find(schema.record_class->table_name());
    // A new schema is one entry with everything in it.
    if (schema_changes != nullptr && !schema_changes->created.empty()) {
      SchemaChange change{ChangeKind::created, std::string(schema.object), {}, schema_name};
      for (std::size_t k = 1; k + 1 < kinds().size(); ++k) {
        const auto* of = _changes.find(kinds()[k].record_class->table_name());
        if (of != nullptr && !of->created.empty()) {
          change.contains.emplace_back(kinds()[k].plural, of->created.size());
        }
      }
      out.push_back(std::move(change));
      co_return;
    }
    if (schema_changes != nullptr && !schema_changes->changed.empty()) {
      out.push_back(SchemaChange{ChangeKind::changed,
                                 std::string(schema.object),
                                 {},
                                 schema_name,
                                 schema_changes->changed.front().fields});
    }
    _note_parents();
    for (std::size_t k = 3; k + 1 < kinds().size(); ++k) co_await _note_children(kinds()[k]);
    // Table by table, in the document's order; then what belongs to none of them.
    for (const auto& [list, parent] : {std::pair{"tables", 1}, {"views", 2}}) {
      const auto& entries = member(_saved, list);
      if (!entries.is_array()) continue;
      for (const auto& entry : entries) {
        const auto id = id_in(entry, *kinds()[parent].record_class);
        if (!id) continue;
        _emit(Parent{kinds()[parent].record_class, *id}, out);
      }
    }
    for (auto& [parent, entries] : _by_parent) {
      for (auto& change : entries) out.push_back(std::move(change));
    }
  }

 private:
  // Entries for the tables and views the save created or changed.
  void _note_parents() {
    for (const auto& [list, parent, name_key] :
         {std::tuple{"tables", 1, "table_name"}, {"views", 2, "view_name"}}) {
      const auto& kind = kinds()[parent];
      const auto* of = _changes.find(kind.record_class->table_name());
      std::unordered_set<std::int64_t> created;
      std::unordered_map<std::int64_t, const core::RecordChange*> changed;
      if (of != nullptr) {
        created.insert(of->created.begin(), of->created.end());
        for (const auto& change : of->changed) changed.emplace(change.id, &change);
      }
      const auto& entries = member(_saved, list);
      if (!entries.is_array()) continue;
      for (const auto& entry : entries) {
        const auto id = id_in(entry, *kind.record_class);
        if (!id) continue;
        const Parent key{kind.record_class, *id};
        const auto name = text(member(entry, name_key));
        if (created.contains(*id)) {
          _new_parents.insert(key);
          _by_parent[key].push_back(
              SchemaChange{ChangeKind::created, std::string(kind.object), {}, name});
        } else if (const auto found = changed.find(*id); found != changed.end()) {
          _by_parent[key].push_back(SchemaChange{
              ChangeKind::changed, std::string(kind.object), {}, name, found->second->fields});
        }
      }
    }
  }

  asio::awaitable<void> _note_children(const Kind& kind) {
    const auto* of = _changes.find(kind.record_class->table_name());
    if (of == nullptr) co_return;
    std::vector<std::int64_t> wanted;
    for (std::size_t i = 0; i < of->created.size(); ++i) {
      const auto& under = of->created_under[i];
      const auto* parent_class = core::find_record_class(under.table);
      const Parent parent{parent_class, under.id};
      if (parent_class != nullptr && _new_parents.contains(parent)) {
        // Folded into the new table's entry, which leads its list.
        count_in(_by_parent[parent].front().contains, kind);
      } else {
        wanted.push_back(of->created[i]);
      }
    }
    std::unordered_map<std::int64_t, const core::RecordChange*> changed;
    for (const auto& change : of->changed) {
      wanted.push_back(change.id);
      changed.emplace(change.id, &change);
    }
    if (wanted.empty()) co_return;
    const auto records =
        co_await core::QueryService::query_by_ids(&_session, *kind.record_class, std::move(wanted));
    for (const auto& record : records) {
      const auto fields = record.model_dump();
      SchemaChange change{ChangeKind::created, std::string(kind.object),
                          parent_name(_names, fields), name_of(kind, fields)};
      if (const auto found = changed.find(record.id()); found != changed.end()) {
        change.kind = ChangeKind::changed;
        change.fields = found->second->fields;
      }
      _by_parent[_parent_of(fields)].push_back(std::move(change));
    }
  }

  static Parent _parent_of(const Json& fields) {
    for (const auto& [field, parent] : {std::pair{"source_table_id", 1}, {"source_view_id", 2}}) {
      const auto& id = member(fields, field);
      if (id.is_number_integer())
        return Parent{kinds()[parent].record_class, id.get<std::int64_t>()};
    }
    return Parent{nullptr, 0};
  }

  void _emit(const Parent& parent, std::vector<SchemaChange>& out) {
    const auto found = _by_parent.find(parent);
    if (found == _by_parent.end()) return;
    for (auto& change : found->second) out.push_back(std::move(change));
    _by_parent.erase(found);
  }

  core::AsyncSession& _session;
  const core::ChangeSet& _changes;
  const Document& _saved;
  const ParentNames& _names;
  std::unordered_set<Parent, ParentHash> _new_parents;
  // Per table or view: its own entry first (when it has one), then its records'.
  std::unordered_map<Parent, std::vector<SchemaChange>, ParentHash> _by_parent;
};

// `names` gains the names of the stale tables and views.
void describe_stale(ParentNames& names, const std::vector<core::Record>& records, bool pruned,
                    std::vector<SchemaChange>& out) {
  const auto change_kind = pruned ? ChangeKind::deleted : ChangeKind::stale;
  std::vector<Json> stale;
  std::vector<const Kind*> stale_kinds;
  for (const auto& record : records) {
    const auto& kind = kind_of(record.record_class());
    // References mirror their foreign keys, which are listed.
    if (kind.record_class == &SourceReferencingForeignKey::record_class()) continue;
    stale.push_back(record.model_dump());
    stale_kinds.push_back(&kind);
  }
  for (std::size_t i = 0; i < stale.size(); ++i) {
    const auto* record_class = stale_kinds[i]->record_class;
    const bool table = record_class == &SourceTable::record_class();
    if (!table && record_class != &SourceView::record_class()) continue;
    if (const auto id = id_in(stale[i], *record_class)) {
      names[Parent{record_class, *id}] = text(member(stale[i], table ? "table_name" : "view_name"));
    }
  }
  // Stale tables and views by identifier: their entry, to fold their records into.
  std::unordered_map<std::int64_t, std::size_t> stale_tables;
  std::unordered_map<std::int64_t, std::size_t> stale_views;
  for (std::size_t i = 0; i < stale.size(); ++i) {
    const auto& kind = *stale_kinds[i];
    const auto& record = stale[i];
    const bool table = kind.record_class == &SourceTable::record_class();
    const bool view = kind.record_class == &SourceView::record_class();
    if (kind.record_class == &SourceSchema::record_class() || table || view) {
      const auto name = text(member(record, table  ? "table_name"
                                            : view ? "view_name"
                                                   : "schema_name"));
      if (const auto id = id_in(record, *kind.record_class); id && (table || view)) {
        (table ? stale_tables : stale_views)[*id] = out.size();
      }
      out.push_back(SchemaChange{change_kind, std::string(kind.object), {}, name});
      continue;
    }
    const std::size_t* folded_into = nullptr;
    for (const auto& [field, entries] :
         {std::pair{"source_table_id", &stale_tables}, {"source_view_id", &stale_views}}) {
      const auto& id = member(record, field);
      if (!id.is_number_integer()) continue;
      const auto found = entries->find(id.get<std::int64_t>());
      if (found != entries->end()) folded_into = &found->second;
    }
    if (folded_into != nullptr) {
      count_in(out[*folded_into].contains, kind);
      continue;
    }
    out.push_back(SchemaChange{change_kind, std::string(kind.object), parent_name(names, record),
                               name_of(kind, record)});
  }
}

ChangeKind change_kind_from(const Json& value) {
  for (const auto kind :
       {ChangeKind::created, ChangeKind::changed, ChangeKind::stale, ChangeKind::deleted}) {
    if (value.is_string() && value.get_ref<const std::string&>() == change_kind_name(kind)) {
      return kind;
    }
  }
  throw core::DocumentError(fmt::format("change list: unknown change {}", value.dump()));
}

}  // namespace

bool SchemaChange::moved_only() const {
  return kind == ChangeKind::changed && fields.size() == 1 && fields.front().field == "sort_order";
}

asio::awaitable<std::vector<SchemaChange>> describe_changes(core::AsyncSession& session,
                                                            const core::ChangeSet& changes,
                                                            const Document& saved,
                                                            const std::vector<core::Record>& stale,
                                                            bool pruned) {
  std::vector<SchemaChange> described;
  auto names = names_in(saved);
  CreatedAndChanged created_and_changed(session, changes, saved, names);
  co_await created_and_changed.describe(described);
  describe_stale(names, stale, pruned, described);
  co_return described;
}

std::string_view change_kind_name(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::created:
      return "created";
    case ChangeKind::changed:
      return "changed";
    case ChangeKind::stale:
      return "stale";
    case ChangeKind::deleted:
      return "deleted";
  }
  return "changed";
}

nlohmann::ordered_json changes_to_json(const std::vector<SchemaChange>& changes) {
  Json list = Json::array();
  for (const auto& change : changes) {
    Json entry = Json::object();
    entry["change"] = change_kind_name(change.kind);
    entry["object"] = change.object;
    if (!change.table.empty()) entry["table"] = change.table;
    entry["name"] = change.name;
    if (!change.fields.empty()) {
      auto& fields = entry["fields"] = Json::object();
      for (const auto& field : change.fields) {
        fields[field.field] = Json{{"before", field.before}, {"after", field.after}};
      }
    }
    if (!change.contains.empty()) {
      auto& contains = entry["contains"] = Json::object();
      for (const auto& [plural, count] : change.contains) contains[plural] = count;
    }
    list.push_back(std::move(entry));
  }
  return list;
}

std::vector<SchemaChange> changes_from_json(const nlohmann::ordered_json& json) {
  if (!json.is_array()) {
    throw core::DocumentError(
        fmt::format("change list: expected an array, got {}", json.type_name()));
  }
  std::vector<SchemaChange> changes;
  for (const auto& entry : json) {
    if (!entry.is_object()) {
      throw core::DocumentError(
          fmt::format("change list: expected an object, got {}", entry.type_name()));
    }
    SchemaChange change{change_kind_from(member(entry, "change")),
                        text(member(entry, "object")),
                        {},
                        text(member(entry, "name"))};
    if (const auto& table = member(entry, "table"); table.is_string()) change.table = text(table);
    if (const auto& fields = member(entry, "fields"); fields.is_object()) {
      for (const auto& [field, values] : fields.items()) {
        change.fields.push_back(
            core::FieldChange{field, member(values, "before"), member(values, "after")});
      }
    }
    if (const auto& contains = member(entry, "contains"); contains.is_object()) {
      for (const auto& [plural, count] : contains.items()) {
        change.contains.emplace_back(plural,
                                     count.is_number_unsigned() ? count.get<std::size_t>() : 0);
      }
    }
    changes.push_back(std::move(change));
  }
  return changes;
}

nlohmann::ordered_json counts_to_json(const core::ChangeSet& changes) {
  static const core::ClassChanges none;
  Json counts = Json::object();
  for (const auto& kind : kinds()) {
    const auto* found = changes.find(kind.record_class->table_name());
    const auto& of = found != nullptr ? *found : none;
    counts[std::string(kind.plural)] = Json{{"created", of.created.size()},
                                            {"changed", of.changed.size()},
                                            {"unchanged", of.unchanged.size()},
                                            {"stale", of.stale.size()},
                                            {"deleted", of.deleted.size()}};
  }
  return counts;
}

nlohmann::ordered_json counts_in_order(const nlohmann::ordered_json& counts) {
  Json ordered = Json::object();
  for (const auto& kind : kinds()) {
    const auto& of = member(counts, kind.plural);
    auto& entry = ordered[std::string(kind.plural)] = Json::object();
    for (const auto* key : {"created", "changed", "unchanged", "stale", "deleted"}) {
      const auto& count = member(of, key);
      entry[key] = count.is_number_unsigned() ? count : Json(0);
    }
  }
  return ordered;
}

}  // namespace kelmarion::meta
