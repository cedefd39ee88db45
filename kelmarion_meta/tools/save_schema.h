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
//
// The commit also records the save in the history of saves (save_history.h),
// with its changes in schema terms (schema_changes.h).
//
// preview_save() runs the same save on a session opened with `rehearse`: it
// returns what a save would change, and the store stays as it was (nothing is
// sent, nothing is recorded).

#include <asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <string>

#include "kelmarion_core/change_set.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/schema_changes.h"
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
  // The changes in schema terms, as the history records them.
  std::vector<SchemaChange> schema_changes;
  // The save's row in the history; nullopt for a preview.
  std::optional<std::int64_t> history_id;
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

// What save_schema(session, engine_name, schema_name, document) would do, on a
// session opened with SessionOptions::rehearse; history_id is nullopt. Throws
// ConfigurationError for a session that does not rehearse, and what save_schema
// throws.
[[nodiscard]] asio::awaitable<SaveResult> preview_save(
    core::AsyncSession& session, std::optional<std::string> engine_name, std::string schema_name,
    std::shared_ptr<Document> document = nullptr);

}  // namespace kelmarion::meta
