#pragma once

// Stale records: records stored under a schema that the last save did not
// write, because the object they describe is gone from the schema (a dropped
// column or table) or is now found under another key (an index whose columns
// changed). They stay in the store until pruned.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "apps/stored_schema.h"
#include "kelmarion_core/record.h"
#include "kelmarion_core/session.h"

namespace kelmarion::apps {

struct StaleRecord {
  const core::RecordClass* record_class;
  std::int64_t id;
  std::string description;  // "table 'orders', column 'note'"
};

// The records of `schema` whose identifiers `written` does not list for their
// table, parents before their children.
[[nodiscard]] std::vector<StaleRecord> find_stale_records(
    const StoredSchema& schema, const core::AsyncSession::WriteLog& written);

// Deletes `records` through the data service, inside the session's transaction
// if one is open. `session` is borrowed until the awaited call completes.
// Throws core::DatabaseError.
asio::awaitable<void> delete_records(core::AsyncSession& session, std::vector<StaleRecord> records);

}  // namespace kelmarion::apps
