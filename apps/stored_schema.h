#pragma once

// What a store holds for one schema: the schema record and every record under
// it, found through the parent links (tables and views by source_schema_id;
// columns, keys and indexes by source_table_id; view columns by source_view_id;
// referencing foreign keys by source_schema_id). Each list is ordered by
// sort_order, then by identifier.

#include <asio/awaitable.hpp>
#include <optional>
#include <string>
#include <vector>

#include "kelmarion_core/record.h"
#include "kelmarion_core/session.h"

namespace kelmarion::apps {

struct StoredTable {
  core::Record table;
  std::vector<core::Record> columns;
  std::vector<core::Record> primary_keys;  // at most one, unless the store was edited by hand
  std::vector<core::Record> foreign_keys;
  std::vector<core::Record> indexes;
};

struct StoredView {
  core::Record view;
  std::vector<core::Record> columns;
};

struct StoredSchema {
  core::Record schema;
  std::vector<StoredTable> tables;
  std::vector<StoredView> views;
  std::vector<core::Record> referencing_foreign_keys;
};

// Reads the schemas stored under `schema_name` (normally one), or every stored
// schema when it is absent, with all their records. `session` is borrowed until
// the awaited call completes; the reads run on the awaiting coroutine's thread,
// inside the session's transaction if one is open. Throws core::DatabaseError.
[[nodiscard]] asio::awaitable<std::vector<StoredSchema>> read_stored_schemas(
    core::AsyncSession& session, std::optional<std::string> schema_name);

// The text of a stored text field, or `fallback` when it is absent.
[[nodiscard]] std::string text_of(const core::Record& record, std::string_view field,
                                  std::string_view fallback = "");

}  // namespace kelmarion::apps
