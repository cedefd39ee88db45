#pragma once

// The interface between a session's unit of work and its database backend: a
// few set-based reads and writes per record class. One connection serves one
// session, on one thread. Awaited operations run on the executor of the
// coroutine that awaits them; the plain ("_now") forms block their caller and
// exist for DataService::db_insert, which is a plain call.
//
// Every operation checks the store's layout before its first use of a record
// table and creates the table when it is missing (unless the connection is
// read-only: then reads of a missing table find nothing).

#include <asio/awaitable.hpp>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kelmarion_core/detail/sql_render.h"
#include "kelmarion_core/predicate.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

// The writes of one record class that one flush sends, in the order the
// backend applies them: deletions, then updates, then new records. Rows are
// whole row images (the identifier in cell 0); updates set the fields of
// their mask, grouped by mask.
struct ClassWrites {
  struct Updates {
    std::uint64_t mask;
    std::vector<const RowImage*> rows;
  };
  const RecordClass* record_class = nullptr;
  std::vector<std::int64_t> deletes;
  std::vector<Updates> updates;
  std::vector<const RowImage*> inserts;
};

// One step from a record class up to its parent: the link field (an index in
// the child's fields()) and the parent's class.
struct ParentStep {
  std::size_t link_field;
  const RecordClass* parent;
};

class StoreConnection {
 public:
  StoreConnection() = default;
  StoreConnection(const StoreConnection&) = delete;
  StoreConnection& operator=(const StoreConnection&) = delete;
  StoreConnection(StoreConnection&&) = delete;
  StoreConnection& operator=(StoreConnection&&) = delete;
  virtual ~StoreConnection() = default;

  [[nodiscard]] virtual Dialect dialect() const noexcept = 0;
  [[nodiscard]] virtual bool in_transaction() const noexcept = 0;

  // Runs a statement without parameters or results (transaction control).
  virtual asio::awaitable<void> execute(std::string_view sql) = 0;
  virtual void execute_now(std::string_view sql) = 0;

  // Holds a lock named `key` until the current transaction ends, waiting up to
  // the lock timeout. A no-op where the transaction already excludes writers.
  virtual asio::awaitable<void> lock(std::string_view key) = 0;

  // Every record that satisfies `condition` (no absent term), by identifier.
  [[nodiscard]] virtual asio::awaitable<std::vector<Record>> select(const RecordClass& record_class,
                                                                    const Condition& condition) = 0;

  // Every record whose field `link_field` holds one of `parents`, in no order
  // (a sort in the store would copy every row once more).
  [[nodiscard]] virtual asio::awaitable<std::vector<Record>> select_children(
      const RecordClass& record_class, std::size_t link_field,
      const std::vector<std::int64_t>& parents) = 0;

  // Whether some record's `link_field` holds one of `parents`, which are
  // identifiers this transaction reserved in one call of reserve(); true may
  // also mean an identifier between them that another session took.
  [[nodiscard]] virtual asio::awaitable<bool> refers_to_any(
      const RecordClass& record_class, std::size_t link_field,
      const std::vector<std::int64_t>& parents) = 0;

  // The identifiers of the records reached from `root` down `path` (read from
  // the record class up: path[0] links `record_class` to its parent, the last
  // step's parent is the root's class).
  [[nodiscard]] virtual asio::awaitable<std::vector<std::int64_t>> select_ids_under(
      const RecordClass& record_class, const std::vector<ParentStep>& path, std::int64_t root) = 0;

  // `count` new identifiers for records of `record_class`, in increasing order,
  // valid until the transaction ends.
  [[nodiscard]] virtual asio::awaitable<std::vector<std::int64_t>> reserve(
      const RecordClass& record_class, std::size_t count) = 0;
  [[nodiscard]] virtual std::vector<std::int64_t> reserve_now(const RecordClass& record_class,
                                                              std::size_t count) = 0;

  // Applies `writes`. An update whose row already holds the values writes nothing.
  virtual asio::awaitable<void> write(const ClassWrites& writes) = 0;
  virtual void write_now(const ClassWrites& writes) = 0;
};

}  // namespace kelmarion::core::detail
