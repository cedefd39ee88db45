#pragma once

// What a SQLite connection knows, inside one transaction, about the records it
// created there. Its transactions exclude every other writer, so a record
// created in one has no children but those this connection created under it
// since: a lookup under such a parent that none of those children can satisfy
// is answered without a query. That holds while identifiers only grow and
// nothing but this connection's inserts adds or moves a record; after a
// delete, an update (which may move a record), or SQL the connection did not
// write itself, the query answers.

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kelmarion_core/predicate.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

class CreatedRecords {
 public:
  // Whether some stored record of `child_class` refers, through `link_field`, to
  // an identifier at or above `first_new_parent`.
  using StoredChildCheck = std::function<bool(
      const RecordClass& child_class, std::string_view link_field, std::int64_t first_new_parent)>;

  explicit CreatedRecords(StoredChildCheck stored_children)
      : _stored_children(std::move(stored_children)) {}

  // Forgets everything: a transaction begins or ends, or other SQL ran.
  void clear();
  // Answers nothing more until clear() (after a delete: identifiers may be reused).
  void distrust() noexcept { _trusted = false; }
  // `record` (holding its row image) was just inserted.
  void note_insert(const Record& record);
  // A record of `record_class` was updated: it may have moved or changed its keys.
  void note_update(const RecordClass& record_class);

  // True when it is known without a query that no record satisfies
  // `condition`; false when a query must answer. `fields` gives the field index
  // of each term, in order.
  [[nodiscard]] bool finds_nothing(const RecordClass& record_class, const Condition& condition,
                                   std::span<const std::size_t> fields);

 private:
  // What the transaction knows of one record class (a handful per store).
  struct ClassState {
    const RecordClass* record_class = nullptr;
    std::vector<std::vector<std::size_t>> lookups;  // each lookup index's field indexes
    bool created_any = false;
    std::int64_t first = 0;  // the identifiers created in the transaction
    std::int64_t last = 0;
    bool changed = false;  // updated: lookups of its records go to the query
    // Per link field (by its position in parent_links()): whether no record
    // stored before the transaction refers to a new parent (0 unknown, 1 yes, 2 no).
    std::vector<std::uint8_t> no_stored_children;
    // Per link field: the highest parent whose children were let go. Parents up
    // to it that are not kept may have children nobody remembers.
    std::vector<std::int64_t> let_go_through;
    std::vector<std::size_t> link_fields;  // per link: the field's index
    std::vector<ClassState*> parents;      // per link: the parent class's state, once made
    std::size_t most_hashes = 0;           // the most hashes one parent's children took yet
  };
  // What a child keeps of its lookups: for each lookup index of its class, a
  // hash of its cells of that lookup's fields. A lookup whose values hash to
  // none of its parent's children matches none of them; one that hashes to a
  // child's may match it, and is left to the query.
  struct ParentKey {
    const RecordClass* child_class;
    std::size_t link;  // position in the child class's parent_links()
    std::int64_t parent;
    bool operator==(const ParentKey&) const = default;
  };
  struct ParentKeyHash {
    std::size_t operator()(const ParentKey& key) const noexcept;
  };

  [[nodiscard]] ClassState& _state(const RecordClass& record_class);
  [[nodiscard]] ClassState* _state_of_table(std::string_view table) noexcept;
  // The state of the parent class of `state`'s link `link`, or null when none was made yet.
  [[nodiscard]] ClassState* _parent(ClassState& state, std::size_t link) noexcept;
  [[nodiscard]] static bool _created(const ClassState* state, std::int64_t id) noexcept;
  // Keeps `key` among the parents whose children are known, letting the
  // oldest go when too many are kept; its children's hashes, or null when
  // they are no longer all known.
  [[nodiscard]] std::vector<std::uint64_t>* _keep(ClassState& state, const ParentKey& key);

  StoredChildCheck _stored_children;
  bool _trusted = true;
  std::deque<ClassState> _classes;  // a deque: states keep their place as more are made
  // The children's lookup hashes, per parent created in the transaction:
  // lookups.size() hashes per child, in the order they were created. A save
  // walks parents one after another, so only the latest are kept: those let go
  // (oldest first) are answered by the query again. Parents are created with
  // growing identifiers, so what was let go is a watermark per class and link
  // (ClassState::let_go_through), and the entry let go is reused for the next.
  static constexpr std::size_t kept_parents = 4096;
  using Children = std::unordered_map<ParentKey, std::vector<std::uint64_t>, ParentKeyHash>;
  Children _children;
  std::deque<ParentKey> _kept_order;
};

}  // namespace kelmarion::core::detail
