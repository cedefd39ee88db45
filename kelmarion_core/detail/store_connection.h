#pragma once

// The interface between a session and its database backend. One connection
// serves one session; it is not shared between threads. Awaited operations run
// on the executor of the coroutine that awaits them.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <vector>

#include "kelmarion_core/detail/sql_render.h"
#include "kelmarion_core/predicate.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

// find_first() and update() of a backend that answers at once.
class ImmediateStore {
 public:
  [[nodiscard]] virtual std::optional<Record> find_first_now(const RecordClass& record_class,
                                                             const Condition& condition) = 0;
  [[nodiscard]] virtual Record update_now(const RecordClass& record_class, std::int64_t id,
                                          const nlohmann::ordered_json& data) = 0;

 protected:
  ImmediateStore() = default;
  ImmediateStore(const ImmediateStore&) = default;
  ImmediateStore& operator=(const ImmediateStore&) = default;
  ~ImmediateStore() = default;
};

// find_first() and update() of a backend that can often answer without waiting
// for its server. Each call either answers (true, `result` set) or declines
// (false), having done only what the awaited operation, which the caller then
// runs, does as well.
class QuickStore {
 public:
  [[nodiscard]] virtual bool find_first_quickly(const RecordClass& record_class,
                                                const Condition& condition,
                                                std::optional<Record>& result) = 0;
  [[nodiscard]] virtual bool update_quickly(const RecordClass& record_class, std::int64_t id,
                                            const nlohmann::ordered_json& data,
                                            std::optional<Record>& result) = 0;

 protected:
  QuickStore() = default;
  QuickStore(const QuickStore&) = default;
  QuickStore& operator=(const QuickStore&) = default;
  ~QuickStore() = default;
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

  // The first record (lowest identifier) that satisfies `condition`, or nullopt.
  // `condition` must not match nothing (the caller answers that itself).
  [[nodiscard]] virtual asio::awaitable<std::optional<Record>> find_first(
      const RecordClass& record_class, const Condition& condition) = 0;

  // Every record that satisfies `condition`, by identifier.
  [[nodiscard]] virtual asio::awaitable<std::vector<Record>> find_all(
      const RecordClass& record_class, const Condition& condition) = 0;

  // Stores a new record from the fields in `data` and returns it as stored.
  [[nodiscard]] virtual Record insert(const RecordClass& record_class,
                                      const nlohmann::ordered_json& data) = 0;

  // Sets the fields present in `data` on the record `id` and returns it as stored.
  // Throws DatabaseError when there is no such record.
  [[nodiscard]] virtual asio::awaitable<Record> update(const RecordClass& record_class,
                                                       std::int64_t id,
                                                       const nlohmann::ordered_json& data) = 0;

  // Deletes the record `id`; nothing happens when there is none.
  virtual asio::awaitable<void> remove(const RecordClass& record_class, std::int64_t id) = 0;

  // Holds a lock named `key` until the current transaction ends, so that hosts
  // saving the same thing wait for each other. A no-op where the transaction
  // itself already excludes other writers.
  virtual asio::awaitable<void> lock(std::string_view key) = 0;

  // Runs a statement without parameters or results (transaction control).
  virtual asio::awaitable<void> execute(std::string_view sql) = 0;

  // True while a transaction begun with execute("BEGIN") is open.
  [[nodiscard]] virtual bool in_transaction() const noexcept = 0;

  // Non-null for a backend whose lookups and updates never suspend: the same
  // operations as plain calls, which the data services use to spare a coroutine
  // frame per record.
  [[nodiscard]] virtual ImmediateStore* immediate() noexcept { return nullptr; }
  // Non-null for a backend that answers many lookups and updates without
  // waiting: the data services try the plain call first, for the same reason.
  [[nodiscard]] virtual QuickStore* quick() noexcept { return nullptr; }
};

}  // namespace kelmarion::core::detail
