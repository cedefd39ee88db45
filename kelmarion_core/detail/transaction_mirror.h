#pragma once

// What one transaction knows of a PostgreSQL store without asking the server.
//
// For some parents it holds every child record of a class: those of a parent
// created in this transaction (it can only have the children created after it
// here), and those read in one query for a window of parents when the first
// lookup under one of them came (the parent and the siblings that follow it,
// which a save walks next).
// It also keeps the last record each lookup of a class returned. With that, a
// lookup under a known parent is answered here, and an update of a known record
// or an insert has a result that can be worked out here, so neither waits for a
// round trip.
//
// Valid for one transaction only: the connection forgets it whenever the
// transaction ends or a statement it does not follow runs. Losing any part of it
// is always safe: what is not known is asked of the server.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kelmarion_core/predicate.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

class TransactionMirror {
 public:
  // The children of one class under one parent, through one parent link field.
  struct ChildSet {
    const RecordClass* record_class;
    std::size_t link_field;  // index in record_class->fields()
    std::int64_t parent_id;
    friend auto operator<=>(const ChildSet&, const ChildSet&) = default;
  };

  // The values a lookup compares with, as the server stores them; one per term
  // of the condition. Built by the connection (it knows how its server stores).
  using Expected = std::vector<nlohmann::ordered_json>;

  // The first term of `condition` that names a parent link of `record_class`
  // and has an integer value in `expected`: the set its matches all belong to.
  [[nodiscard]] static std::optional<ChildSet> link_of(const RecordClass& record_class,
                                                       const Condition& condition,
                                                       const Expected& expected);

  // Whether every record of `set` is known.
  [[nodiscard]] bool knows(const ChildSet& set);

  // Whether the parent of `set` was created in this transaction.
  [[nodiscard]] bool parent_is_new(const ChildSet& set) const;

  // A record stored apart from this transaction's writes may refer to a parent
  // before it is created (no constraint stops it): such a parent has children
  // after all. The connection checks once per class and link, before the first
  // lookup under a new parent: whether that is still to do, and the least
  // identifiers at stake (the first new parent's, and the first of the class
  // created in this transaction, if any; records from it on are this
  // transaction's own).
  [[nodiscard]] bool stored_children_unchecked(const ChildSet& set) const;
  [[nodiscard]] std::int64_t first_new_parent(const ChildSet& set) const;
  [[nodiscard]] std::optional<std::int64_t> first_created(const RecordClass& record_class) const;
  // The check's answer: whether such records exist.
  void note_stored_children(const ChildSet& set, bool found);

  // The parents whose children of `set`'s class to read along with `set`'s: its
  // parent, then the siblings that follow it in identifier order among the
  // held children of the grandparent, at most `count` in all, leaving out
  // those already known.
  [[nodiscard]] std::vector<std::int64_t> window_from(const ChildSet& set, std::size_t count);

  // Takes `records` as every record of the class of `set` under each of
  // `parent_ids` (read from the server just now).
  void adopt(const ChildSet& set, const std::vector<std::int64_t>& parent_ids,
             const std::vector<Record>& records);

  // The records of the known `set` whose fields equal `expected`, term by term
  // of `condition`, in identifier order; only the first when `first_only`.
  [[nodiscard]] std::vector<Record> matches(const ChildSet& set, const Condition& condition,
                                            const Expected& expected, bool first_only);

  // A lookup of `record.record_class()` returned `record`.
  void note_found(const Record& record);
  // A lookup answered here returned the record `id` of `set`.
  void note_found_in(const ChildSet& set, std::int64_t id);
  // `record` was created in this transaction.
  void note_created(const Record& record);
  // `record` is the new state of a record written in this transaction;
  // `previous` its state before, when known.
  void note_updated(const Record& record, const Record* previous);

  // The record of `record_class` with `id` as this transaction last saw it, or nullptr.
  [[nodiscard]] const Record* find(const RecordClass& record_class, std::int64_t id) const;

  // True when storing `record` certainly breaks no unique lookup index of its
  // class: for every such index, the children of its parent are known and none
  // other has the same values. False when unknown or when it would break one.
  [[nodiscard]] bool keeps_unique(const Record& record);

  // Forgets everything.
  void forget();

 private:
  struct SetKey {
    const RecordClass* record_class;
    std::size_t link_field;
    friend auto operator<=>(const SetKey&, const SetKey&) = default;
  };
  // The children held for one parent, with lookups by field value built on
  // first use and kept up to date, so that a lookup costs the same under a
  // parent of ten children as under one of ten thousand.
  struct Held {
    std::map<std::int64_t, Record> records;
    std::unordered_map<std::string_view, std::unordered_multimap<std::size_t, std::int64_t>>
        by_value;
  };
  // The parents held per class and link, the oldest let go first: a save walks
  // parents one after the other, so old ones would only cost memory.
  struct Parents {
    std::unordered_map<std::int64_t, Held> held;
    std::deque<std::int64_t> order;
  };
  Held& _hold(const ChildSet& set);
  void _drop_from_sets_of(const Record& record);
  [[nodiscard]] Held* _held(const ChildSet& set);
  [[nodiscard]] const Held* _held(const ChildSet& set) const;
  void _place(const Record& record);
  static void _put(Held& held, const Record& record);
  static void _drop(Held& held, std::int64_t id);
  // The identifiers of `held`'s records whose `field` may equal a value of
  // hash `hash`, in order.
  static std::vector<std::int64_t> _ids_with(Held& held, const RecordClass& record_class,
                                             std::string_view field, std::size_t hash);

  std::map<SetKey, Parents> _sets;
  std::map<std::string_view, std::unordered_set<std::int64_t>, std::less<>> _created;
  std::map<std::string_view, std::int64_t, std::less<>> _first_created;  // by table
  std::map<SetKey, bool> _stored_children;  // checked: whether records refer to new parents
  // Sets of new parents that were let go: no longer known to be only ours.
  std::set<ChildSet> _released;
  std::unordered_map<const RecordClass*, Record> _last_found;
  std::unordered_map<const RecordClass*, std::pair<ChildSet, std::int64_t>> _last_found_in;
};

}  // namespace kelmarion::core::detail
