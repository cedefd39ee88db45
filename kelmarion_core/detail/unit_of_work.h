#pragma once

// The unit of work of one session: what the data and query services do, on
// either backend. See docs/ARCHITECTURE.md for the terms.
//
// Reads: a lookup under a parent (a condition whose first link term names a
// parent record) is answered from that parent's scope, the records of the class
// under it. The first lookup under a parent loads its scope, and the scopes of
// the parents that follow it among its siblings, in one query; a parent created
// in this transaction has a scope of the records created under it here (once a
// check per block of new identifiers has found that nothing stored refers to
// them). Any other lookup asks the store.
//
// Writes: a new record gets an identifier from a block reserved ahead and is
// queued; an update is compared with the record as stored and queued only when
// a value differs (as values: JSON objects in another key order are equal). The
// queue is flushed per class in a few set-based statements before any query
// that reads the store, when it grows long, and at commit.
//
// Outside a transaction nothing is kept between calls: each write runs in a
// transaction of its own.
//
// A rehearsing unit of work (WriteMode::rehearse) does all of this inside a
// read-only transaction but drops the queue instead of sending it: it takes
// identifiers from its own counter, never lets a scope go, and answers reads by
// identifier of its new records from memory.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kelmarion_core/change_set.h"
#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/predicate.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

struct LookupTerm;

// What becomes of writes: sent to the store, refused (a read-only session), or
// rehearsed (made and noted, never sent).
enum class WriteMode { send, refuse, rehearse };

class UnitOfWork {
 public:
  // Called after each record the change set gains, with its table.
  using Observer = std::function<void(std::string_view table)>;

  UnitOfWork(StoreConnection& connection, WriteMode mode, std::string location);
  UnitOfWork(const UnitOfWork&) = delete;
  UnitOfWork& operator=(const UnitOfWork&) = delete;
  UnitOfWork(UnitOfWork&&) = delete;
  UnitOfWork& operator=(UnitOfWork&&) = delete;
  ~UnitOfWork();

  asio::awaitable<void> begin();
  asio::awaitable<void> commit();
  asio::awaitable<void> rollback();
  asio::awaitable<void> lock(std::string_view key);
  // A host's own statement: after a flush; what was read is forgotten.
  asio::awaitable<void> execute(std::string_view sql);

  [[nodiscard]] asio::awaitable<std::optional<Record>> find_first(const RecordClass& record_class,
                                                                  const Condition& condition);
  [[nodiscard]] asio::awaitable<std::vector<Record>> find_all(const RecordClass& record_class,
                                                              const Condition& condition);
  [[nodiscard]] asio::awaitable<std::vector<Record>> find_by_ids(
      const RecordClass& record_class, const std::vector<std::int64_t>& ids);
  [[nodiscard]] Record insert(const RecordClass& record_class, const nlohmann::ordered_json& data);
  [[nodiscard]] asio::awaitable<Record> update(const RecordClass& record_class, std::int64_t id,
                                               const nlohmann::ordered_json& data);
  asio::awaitable<void> remove(const RecordClass& record_class, std::int64_t id);
  // The stored records of `record_class` under the record `root_id` of
  // `root_class`, following parent links up: after flushing the queue.
  [[nodiscard]] asio::awaitable<std::vector<std::int64_t>> ids_under(
      const RecordClass& record_class, const RecordClass& root_class, std::int64_t root_id);
  // Sends every queued write.
  asio::awaitable<void> flush();

  [[nodiscard]] const ChangeSet& changes() const noexcept { return _changes; }
  [[nodiscard]] ChangeSet& changes() noexcept { return _changes; }
  void observe(Observer observer) { _observer = std::move(observer); }

 private:
  struct Class;
  struct ScopeKey {
    const RecordClass* record_class;
    std::size_t link;  // the link field's index in fields()
    std::int64_t parent;
    bool operator==(const ScopeKey&) const = default;
  };
  struct ScopeKeyHash {
    std::size_t operator()(const ScopeKey& key) const noexcept;
  };
  // The records of one class under one parent, every one of them known.
  struct Scope {
    std::vector<std::int64_t> ids;  // ascending
    // Per set of fields a lookup compares: the hash of their keys -> identifiers.
    std::unordered_map<std::uint64_t, std::unordered_multimap<std::size_t, std::int64_t>> indexes;
    std::list<ScopeKey>::iterator at;  // in _scope_order
    // A new parent's scope made by an insert under it, before a lookup has
    // checked that no stored record refers to the parent.
    bool unchecked = false;
  };

  [[nodiscard]] Class& _class(const RecordClass& record_class);
  [[nodiscard]] bool _in_transaction() const;
  void _refuse_write(const RecordClass& record_class) const;
  // Forgets what was read and reserved (the transaction ended); keeps the change set.
  void _forget();

  // The scope a lookup by `condition` is answered from, or nullopt.
  [[nodiscard]] std::optional<ScopeKey> _scope_of(const RecordClass& record_class,
                                                  const Condition& condition) const;
  // Makes `key` a scope whose records are all known, reading from the store
  // what is not known here.
  asio::awaitable<void> _complete(const ScopeKey& key);
  // The scope of a parent created in this transaction, when nothing stored
  // can be under it; nullptr otherwise.
  asio::awaitable<Scope*> _new_parent_scope(const ScopeKey& key);
  [[nodiscard]] std::vector<std::int64_t> _window_from(const ScopeKey& key);
  Scope& _open_scope(const ScopeKey& key);
  void _close_oldest_scopes();
  // Lets a scope go; its records stay known unless `forget_records`.
  void _close_scope(const ScopeKey& key, bool forget_records);
  [[nodiscard]] std::optional<Record> _match(const ScopeKey& key, const Condition& condition);

  // Adds a record read from the store (unless known) and returns the known one.
  const Record& _know(const Record& record);
  void _place(Class& state, const Record& record);
  // Calls `visit(link field, scope)` for each held scope the record of
  // `image` belongs to.
  template <typename Visit>
  void _each_scope_of(const RecordClass& record_class, const RowImage& image, Visit visit);
  void _unplace(Class& state, const Record& record);
  // The next reserved identifier; reserves (blocking) when none is left, one
  // alone for a write outside a transaction.
  [[nodiscard]] std::int64_t _next_id(Class& state, bool alone);
  // A new record `id` of the fields `data` gives (keys that are no field
  // ignored), the other fields from `base` when given.
  [[nodiscard]] Record _new_record(const RecordClass& record_class,
                                   const nlohmann::ordered_json& data, std::int64_t id,
                                   const RowImage* base);
  asio::awaitable<void> _reserve_ahead(Class& state);
  // `count` identifiers for rehearsed records, which no stored record has.
  [[nodiscard]] std::vector<std::int64_t> _rehearsal_block(std::size_t count);
  [[nodiscard]] bool _created_here(const RecordClass& record_class, std::int64_t id) const;

  void _note(std::string_view table);
  // Notes the fields of `changed` as changed from `before` to `after`.
  void _note_changed(Class& state, const Record& before, const Record& after,
                     std::uint64_t changed);
  [[nodiscard]] std::vector<ClassWrites> _take_writes();
  // Flushes, and ends the implicit transaction of a write outside a transaction.
  asio::awaitable<void> _after_write();
  asio::awaitable<void> _begin_alone();
  // After a failed write outside a transaction: rolls its transaction back.
  asio::awaitable<void> _abandon_alone();

  StoreConnection& _connection;
  WriteMode _mode;
  std::string _location;
  std::string _begin_sql;
  std::unordered_map<const RecordClass*, std::unique_ptr<Class>> _classes;
  std::unordered_map<ScopeKey, Scope, ScopeKeyHash> _scopes;
  std::list<ScopeKey> _scope_order;  // least recently used first
  std::size_t _scoped_records = 0;
  // Scopes of new parents let go: their records are in the store only.
  std::unordered_set<ScopeKey, ScopeKeyHash> _released;
  std::set<std::string, std::less<>> _locked;
  std::size_t _queued_rows = 0;
  std::int64_t _rehearsed_ids = std::int64_t{1} << 62;  // the next rehearsal identifier
  bool _alone = false;  // inside the transaction of one write outside a transaction
  // Scratch of _new_record(), by field: converted values, values as given.
  std::vector<SqlValue> _converted;
  std::vector<const nlohmann::ordered_json*> _given;
  std::vector<LookupTerm> _wanted_terms;  // scratch of _match()
  ChangeSet _changes;
  Observer _observer;
};

}  // namespace kelmarion::core::detail
