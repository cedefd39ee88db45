#pragma once

// A whole save in one call, for hosts: one transaction of the session that
// saves a schema's records and says what changed.
//
//   auto result = co_await kelmarion::meta::save_schema(session, "sqlite:///shop.db", "main");
//   for (const auto& [table, changes] : result.changes.classes()) ...
//
// It begins a transaction, takes the schema's lock, saves the document (or, with
// none, the schema as the engine describes it), finds the stale records (stored
// under the schema, not touched by this save), deletes them when asked, and
// commits. On any failure it rolls back and rethrows: a failed save changes
// nothing. The session must not be in a transaction already.

#include <asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <string>

#include "kelmarion_core/change_set.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::meta {

struct SaveResult {
  // The document saved, with the sort orders and identifiers the save wrote.
  std::shared_ptr<Document> document;
  // Per record table: created, changed (fields with old and new values),
  // unchanged, and stale records; with `prune`, the stale ones are also deleted.
  core::ChangeSet changes;
  // The stale records as they were stored before any was deleted, in the order
  // of record_classes() and by identifier.
  std::vector<core::Record> stale;
};

// `engine_name`: the database inspected when `document` is null, and the engine
// recorded for the schema; nullopt keeps the one recorded by the last save.
// Throws what SourceStore::save_meta throws, and core::Error subclasses from
// the transaction.
[[nodiscard]] asio::awaitable<SaveResult> save_schema(core::AsyncSession& session,
                                                      std::optional<std::string> engine_name,
                                                      std::string schema_name,
                                                      std::shared_ptr<Document> document = nullptr,
                                                      bool prune = false);

}  // namespace kelmarion::meta
