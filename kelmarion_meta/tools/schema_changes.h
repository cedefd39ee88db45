#pragma once

// A save's change set in the terms of the schema: which tables, views,
// columns, keys and indexes it created, changed, found stale or deleted, named
// as a person names them ("column orders.status").
//
//   for (const auto& change : result.schema_changes)
//     if (change.kind == ChangeKind::changed) ... change.fields ...
//
// What comes with a new (or stale, or deleted) schema, table or view is folded
// into its entry and counted in `contains`: a new table is one entry, not one
// per column. The references a table's foreign keys make to tables of the same
// schema (the referencing foreign keys) mirror those foreign keys: they are
// counted in the change set but not listed here.
//
// As JSON (the tool's --format json and the history of saves), an entry is
//   {"change": "created"|"changed"|"stale"|"deleted", "object": "column",
//    "table": "orders", "name": "status",
//    "fields": {"type": {"before": "TEXT", "after": "VARCHAR(20)"}},
//    "contains": {"columns": 4}}
// where "table" is only there for what belongs to a table or view, "fields"
// only for a changed object and "contains" only when something was folded in.

#include <asio/awaitable.hpp>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelmarion_core/change_set.h"
#include "kelmarion_core/record.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::meta {

enum class ChangeKind { created, changed, stale, deleted };

struct SchemaChange {
  ChangeKind kind = ChangeKind::created;
  // "schema", "table", "view", "column", "primary key", "foreign key" or "index".
  std::string object;
  std::string table;  // the table or view a column, key or index belongs to
  // A column's or index's name; "(a, b)" for a primary key, "(a) -> t" for a
  // foreign key, the columns of an index without a name.
  std::string name;
  std::vector<core::FieldChange> fields;  // a changed object's fields, in field order
  // What was folded in, by kind in record order ("columns", "indexes", ...).
  std::vector<std::pair<std::string, std::size_t>> contains;

  // True when only the object's position among its siblings changed.
  [[nodiscard]] bool moved_only() const;
};

// The changes of a save, inside its transaction: `changes` as the save left
// it, `saved` the document it wrote identifiers into, `stale` the stale records
// as they were stored (deleted ones when `pruned`). Created and changed objects
// first, table by table in the document's order, then stale or deleted ones.
// Reads the records it names that the document does not identify (columns,
// keys and indexes), one query per class; throws what those reads throw.
[[nodiscard]] asio::awaitable<std::vector<SchemaChange>> describe_changes(
    core::AsyncSession& session, const core::ChangeSet& changes, const Document& saved,
    const std::vector<core::Record>& stale, bool pruned);

[[nodiscard]] std::string_view change_kind_name(ChangeKind kind);

// The JSON form described above, and back; from_json throws
// core::DocumentError for an entry it cannot read.
[[nodiscard]] nlohmann::ordered_json changes_to_json(const std::vector<SchemaChange>& changes);
[[nodiscard]] std::vector<SchemaChange> changes_from_json(const nlohmann::ordered_json& json);

// Per kind of record ("schema", "tables", ..., "referencing_foreign_keys"),
// how many were created, changed, found unchanged, stale and deleted:
//   {"tables": {"created": 1, "changed": 0, "unchanged": 4, "stale": 0, "deleted": 0}, ...}
[[nodiscard]] nlohmann::ordered_json counts_to_json(const core::ChangeSet& changes);
// Counts of that form with their keys in that order (missing counts are 0).
[[nodiscard]] nlohmann::ordered_json counts_in_order(const nlohmann::ordered_json& counts);

}  // namespace kelmarion::meta
