#pragma once

// The history of saves: every committed save of a schema appends one row to
// the store's table "kelmarion_save_history", in the save's own transaction (a
// save rolled back leaves no row). A row says when, what was saved from where,
// by which version, how many records of each kind the save created, changed,
// found unchanged, stale or deleted, and its changes in schema terms (see
// schema_changes.h for both JSON forms).
//
//   auto saves = co_await kelmarion::meta::read_history(session, "main", 10);
//   for (const auto& save : saves) ... save.saved_at ... save.changes ...

#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "kelmarion_core/record.h"
#include "kelmarion_core/session.h"

namespace kelmarion::meta {

struct SaveHistoryEntry {
  std::int64_t id = 0;   // the store's; newer saves have larger ones
  std::string saved_at;  // UTC, "2026-12-10T15:24:29Z"
  std::string schema_name;
  std::optional<std::string> engine_name;  // without password
  std::string tool_version;                // of kelmarion_meta
  nlohmann::ordered_json counts;           // counts_to_json()
  nlohmann::ordered_json changes;          // changes_to_json()
};

// The table of the history.
[[nodiscard]] const core::RecordClass& save_history_class();

// The version of kelmarion_meta that writes history rows.
[[nodiscard]] std::string_view library_version();

// Appends `entry` (its identifier and time are the store's and the clock's)
// inside the session's transaction; returns the identifier.
std::int64_t append_history(core::AsyncSession& session, SaveHistoryEntry entry);

// The saves of `schema_name` (every schema when nullopt), newest first, at most
// `limit` of them (all when zero). Throws DatabaseError when the store fails.
[[nodiscard]] asio::awaitable<std::vector<SaveHistoryEntry>> read_history(
    core::AsyncSession& session, std::optional<std::string> schema_name, std::size_t limit = 0);

// The save `id`, or nullopt.
[[nodiscard]] asio::awaitable<std::optional<SaveHistoryEntry>> read_save(
    core::AsyncSession& session, std::int64_t id);

}  // namespace kelmarion::meta
