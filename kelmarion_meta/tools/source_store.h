#pragma once

// SourceStore: inspects a database schema and saves its description as
// metamodel records (schema, tables, views, columns, primary keys, foreign keys,
// indexes, and the foreign keys that reference tables of the same schema).
//
// Every write is a create-or-update: a record is found again by its parent and
// natural key and updated in place, so saving the same schema twice updates the
// stored records and adds none. The store issues no commit or rollback: to make a
// save all-or-nothing, the host begins a transaction on the session first and
// commits or rolls back after (see the README).
//
// The document saved is a JSON object (see the README for its keys). A save
// writes sort orders and record identifiers into the document's nested entries
// (tables, views, columns, keys, indexes) in place, also when it fails half-way;
// the document's top level is never changed and the document is never copied.
//
// Ownership and threads: the store borrows the session, which must outlive every
// call that uses it. A store is used by one coroutine at a time, on the thread
// that runs the session's executor; the caller keeps the store alive until each
// awaited call completes. Log lines go to core::logging at debug level.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "kelmarion_core/predicate.h"
#include "kelmarion_core/record.h"
#include "kelmarion_core/session.h"

namespace kelmarion::meta {

using Document = nlohmann::ordered_json;

namespace detail {
class SchemaMetadata;
struct TableSummary;
}  // namespace detail

struct SourceStoreOptions {
  core::AsyncSession* db = nullptr;        // the store database, borrowed
  std::optional<std::string> engine_name;  // URL of the database to inspect
  std::optional<std::string> schema_name;  // the schema to inspect and save
};

struct InspectOptions {
  std::optional<std::string> engine_name;  // replaces the stored one when non-empty
  std::optional<std::string> schema_name;  // replaces the stored one when non-empty
};

struct SaveMetaOptions {
  // The document to save, shared with the caller, who sees the keys the save
  // writes into it. Absent, null or an empty object: the schema is inspected.
  std::shared_ptr<Document> metadata;
  core::AsyncSession* db = nullptr;        // replaces the stored session when given
  std::optional<std::string> engine_name;  // replaces the stored one when non-empty
  std::optional<std::string> schema_name;  // replaces the stored one when non-empty
};

class SourceStore {
 public:
  // Keeps the session and the names; validates and opens nothing.
  explicit SourceStore(SourceStoreOptions options = {});

  // The document of the schema, read from the engine by a new SourceInspect, or
  // nullopt when the engine has no such schema. Non-empty names given here
  // replace the stored ones for good. Blocks until the inspection is done.
  // Throws what the inspector throws (ConfigurationError, DatabaseError).
  [[nodiscard]] std::optional<Document> inspect(InspectOptions options = {});

  // Saves the schema's metadata and returns the document saved: the caller's own
  // (the same object), or the one inspection produced when none was given.
  // First, non-empty names and a given session replace the stored ones (and stay
  // replaced, even if the save fails).
  // Throws DocumentTypeError when `metadata` is neither absent nor an object
  // (before anything changes); DocumentError when the schema cannot be inspected
  // (before anything is written); MissingKeyError / DocumentTypeError for a
  // document of the wrong shape, at the entry where it is read; DatabaseError
  // from the store. Records stored before a failure stay stored unless the host
  // rolls its transaction back.
  [[nodiscard]] asio::awaitable<std::shared_ptr<Document>> save_meta(SaveMetaOptions options = {});
  // The same for a document alone, so that a host awaits it without a braced
  // temporary (which g++ 12 destroys twice inside a co_await).
  [[nodiscard]] asio::awaitable<std::shared_ptr<Document>> save_meta(
      std::shared_ptr<Document> metadata) {
    return save_meta(SaveMetaOptions{.metadata = std::move(metadata)});
  }

  [[nodiscard]] core::AsyncSession* db() const noexcept { return _db; }
  [[nodiscard]] const std::optional<std::string>& engine_name() const noexcept {
    return _engine_name;
  }
  [[nodiscard]] const std::optional<std::string>& schema_name() const noexcept {
    return _schema_name;
  }

  // Kept for hosts that look at it; the store itself never commits.
  bool auto_commit = false;

 private:
  // Finds the record that `condition` selects and updates it from `data_model`,
  // or creates one; returns the stored record. The data is borrowed until the
  // call completes.
  asio::awaitable<core::Record> _metamodel_create_or_update(const core::RecordClass& model_class,
                                                            Document& data_model,
                                                            core::Condition condition);

  // The savers borrow their `metadata` until they complete.
  asio::awaitable<void> _save_meta(Document& metadata);
  asio::awaitable<void> _save_source_tables(detail::SchemaMetadata& metadata);
  asio::awaitable<void> _save_source_views(detail::SchemaMetadata& metadata);
  asio::awaitable<void> _save_source_columns(Document& metadata);
  asio::awaitable<void> _save_source_primary_key(Document& metadata);
  asio::awaitable<std::vector<core::Record>> _save_source_foreign_keys(Document& metadata);
  asio::awaitable<void> _save_source_indexes(Document& metadata);
  asio::awaitable<void> _save_source_referencing_foreign_keys(
      const std::vector<detail::TableSummary>& tables, const Document& source_schema_id);

  core::AsyncSession* _db;
  std::optional<std::string> _engine_name;
  std::optional<std::string> _schema_name;
};

}  // namespace kelmarion::meta
