#include "kelmarion_meta/tools/save_schema.h"

#include <fmt/format.h>

#include <algorithm>
#include <unordered_set>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/data_service.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/record_classes.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/tools/save_history.h"

namespace kelmarion::meta {
namespace {

// The engine the schema was saved from before, so that saving a document
// without an engine keeps it.
asio::awaitable<std::optional<std::string>> stored_engine_name(core::AsyncSession& session,
                                                               const std::string& schema_name) {
  core::Condition condition(SourceSchema::schema_name == schema_name);
  const auto stored = co_await core::QueryService::query_columns_first(
      &session, SourceSchema::record_class(), std::move(condition));
  if (!stored || !(*stored)["engine_name"].is_string()) co_return std::nullopt;
  co_return (*stored)["engine_name"].get<std::string>();
}

std::unordered_set<std::int64_t> touched_by(const core::ClassChanges& changes) {
  std::unordered_set<std::int64_t> touched(changes.created.begin(), changes.created.end());
  touched.insert(changes.unchanged.begin(), changes.unchanged.end());
  for (const auto& change : changes.changed) touched.insert(change.id);
  return touched;
}

// Notes, per class, the records under every schema record named `schema_name`
// that the save did not touch, and returns them as stored; then deletes them
// when `prune`, once all are found (a deleted parent hides its records).
asio::awaitable<std::vector<core::Record>> settle_stale(core::AsyncSession& session,
                                                        const std::string& schema_name,
                                                        bool prune) {
  const auto& schema_class = SourceSchema::record_class();
  core::Condition condition(SourceSchema::schema_name == schema_name);
  const auto schemas =
      co_await core::QueryService::query_all(&session, schema_class, std::move(condition));
  std::vector<core::Record> stale_records;
  for (const auto* record_class : record_classes()) {
    const auto touched = touched_by(session.changes().of(record_class->table_name()));
    std::vector<std::int64_t> stale;
    for (const auto& schema : schemas) {
      if (record_class == &schema_class) {
        stale.push_back(schema.id());
        continue;
      }
      const auto ids = co_await core::QueryService::query_ids_under(&session, *record_class,
                                                                    schema_class, schema.id());
      stale.insert(stale.end(), ids.begin(), ids.end());
    }
    std::erase_if(stale, [&](std::int64_t id) { return touched.contains(id); });
    std::sort(stale.begin(), stale.end());
    stale.erase(std::unique(stale.begin(), stale.end()), stale.end());
    auto records = co_await core::QueryService::query_by_ids(&session, *record_class, stale);
    stale_records.insert(stale_records.end(), records.begin(), records.end());
    session.changes().of(record_class->table_name()).stale = std::move(stale);
  }
  if (prune) {
    for (const auto& record : stale_records) {
      co_await core::DataService::db_delete(&session, record.id(), record.record_class());
    }
  }
  co_return stale_records;
}

asio::awaitable<SaveResult> save_in_transaction(core::AsyncSession& session,
                                                std::optional<std::string> engine_name,
                                                const std::string& schema_name,
                                                std::shared_ptr<Document> document, bool prune) {
  co_await session.lock_schema(schema_name);
  if (!engine_name) engine_name = co_await stored_engine_name(session, schema_name);
  SourceStore store({.db = &session, .engine_name = engine_name, .schema_name = schema_name});
  SaveResult result;
  result.document = co_await store.save_meta(std::move(document));
  result.stale = co_await settle_stale(session, schema_name, prune);
  result.schema_changes =
      co_await describe_changes(session, session.changes(), *result.document, result.stale, prune);
  // The history row is no change of the schema's: it stays out of the change set.
  result.changes = std::move(session.changes());
  session.changes().clear();
  if (!session.rehearses()) {
    SaveHistoryEntry entry;
    entry.schema_name = schema_name;
    if (engine_name) entry.engine_name = core::redact_password(*engine_name);
    entry.tool_version = library_version();
    entry.counts = counts_to_json(result.changes);
    entry.changes = changes_to_json(result.schema_changes);
    result.history_id = append_history(session, std::move(entry));
  }
  co_return result;
}

// Runs the save in a transaction of its own: committed when `commit`, rolled
// back otherwise and on any failure (which is rethrown).
asio::awaitable<SaveResult> save_once(core::AsyncSession& session,
                                      std::optional<std::string> engine_name,
                                      std::string schema_name, std::shared_ptr<Document> document,
                                      bool prune, bool commit) {
  co_await session.begin();
  std::exception_ptr failure;
  SaveResult result;
  try {
    result = co_await save_in_transaction(session, std::move(engine_name), schema_name,
                                          std::move(document), prune);
    if (commit) {
      co_await session.commit();
    } else {
      co_await session.rollback();
    }
    session.changes().clear();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (session.in_transaction()) {
      try {
        co_await session.rollback();
      } catch (...) {
        // The failure that made us roll back is the one to report; SQLite has
        // already undone the transaction when its rollback itself fails.
      }
    }
    std::rethrow_exception(failure);
  }
  co_return result;
}

}  // namespace

asio::awaitable<SaveResult> save_schema(core::AsyncSession& session,
                                        std::optional<std::string> engine_name,
                                        std::string schema_name, std::shared_ptr<Document> document,
                                        bool prune) {
  co_return co_await save_once(session, std::move(engine_name), std::move(schema_name),
                               std::move(document), prune, !session.rehearses());
}

asio::awaitable<SaveResult> preview_save(core::AsyncSession& session,
                                         std::optional<std::string> engine_name,
                                         std::string schema_name,
                                         std::shared_ptr<Document> document) {
  if (!session.rehearses()) {
    throw core::ConfigurationError(fmt::format(
        "store '{}': a preview needs a session opened to rehearse", session.location()));
  }
  co_return co_await save_once(session, std::move(engine_name), std::move(schema_name),
                               std::move(document), false, false);
}

}  // namespace kelmarion::meta
