#pragma once

// The DDL that creates a record class's table and its lookup indexes, the
// version row that tells a store of ours from any other database, and the check
// that a database may be used as a store at all.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kelmarion_core/detail/sql_render.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

// The store layout this build writes. Raise it with every change to the tables
// or to what a save must write (an older build would write without it),
// together with an upgrade from the previous number (layout_upgrade_sql) that a
// writing session runs before its first use of a record table, inside its
// transaction. Layout 2 adds the history of saves: a build of layout 1 would
// save without recording history, so it must refuse a layout-2 store.
inline constexpr int store_layout_version = 2;

inline constexpr std::string_view version_table = "kelmarion_store_version";

// What a database holds of a store: the tables among the version table and the
// record tables known to this process, and the version rows when there are any.
struct StoreLayout {
  std::set<std::string, std::less<>> tables;
  std::vector<std::optional<std::string>> versions;  // each row's layout_version as text
  int number = 0;  // the layout the store holds (0: none yet), once checked

  [[nodiscard]] bool versioned() const { return tables.contains(version_table); }
  // Adds the record classes whose tables exist to `ready`: one read of the
  // layout serves every class of the session.
  template <typename Set>
  void add_existing(Set& ready) const {
    for (const auto& table : tables) {
      if (const auto* record_class = find_record_class(table)) ready.insert(record_class);
    }
  }
};

// A query whose rows are the names of the database's tables (in the schema new
// tables go to, on PostgreSQL), one column.
[[nodiscard]] std::string existing_tables_sql(Dialect dialect);
// A query whose rows are the version table's layout_version values as text.
[[nodiscard]] std::string version_rows_sql();

// Adds `name` to `layout` when it is the version table or a known record table.
void note_existing_table(StoreLayout& layout, std::string_view name);

// Accepts a database that holds a store of this build's layout or an older
// one, or none of the store's tables (an empty database, or one of another
// application that shares no table name), and notes its layout number (0 for
// none) in `layout.number`. Throws ConfigurationError naming `location` otherwise: record tables
// without a version row (another application's tables), a version this build
// does not know, or a newer one.
void check_store_layout(StoreLayout& layout, std::string_view location);
// Whether a session that may write should upgrade a store of this layout first.
[[nodiscard]] inline bool needs_upgrade(const StoreLayout& layout) {
  return layout.number != 0 && layout.number < store_layout_version;
}

// Statements that bring a store of layout `from` (older than this build's, at
// least 1) to this build's layout; the record tables a new layout adds are made
// on first use, like any.
[[nodiscard]] std::vector<std::string> layout_upgrade_sql(int from);

// Statements that create the version table and its row when missing.
[[nodiscard]] std::vector<std::string> version_table_ddl(Dialect dialect);

// Statements that create `record_class`'s table and lookup indexes when missing.
[[nodiscard]] std::vector<std::string> record_table_ddl(const RecordClass& record_class,
                                                        Dialect dialect);

}  // namespace kelmarion::core::detail
