#pragma once

// What one unit of work did to the store, per record table: the records it
// created, the ones whose fields it changed (with their old and new values), the
// ones it was asked to update but found already holding the values (nothing was
// written for them), and the ones it deleted. Whoever knows a save's scope adds
// the stored records the save never touched (stale).
//
// A session keeps the change set of its current transaction, from begin() to the
// next begin(); outside a transaction, the writes since the last begin() (or
// since the session opened) add up.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarion::core {

struct FieldChange {
  std::string field;
  nlohmann::ordered_json before;  // as stored before
  nlohmann::ordered_json after;   // as written
};

struct RecordChange {
  std::int64_t id;
  std::vector<FieldChange> fields;  // in field order
};

// The parent a record was created under: the table its first parent link that
// holds a value points to, and the identifier; an empty table for none.
struct ParentRef {
  std::string_view table;
  std::int64_t id = 0;
};

struct ClassChanges {
  std::vector<std::int64_t> created;     // in the order they were created
  std::vector<ParentRef> created_under;  // per created record, in the same order
  std::vector<RecordChange> changed;     // in the order first changed
  std::vector<std::int64_t> unchanged;   // updated with the values they held
  std::vector<std::int64_t> deleted;
  std::vector<std::int64_t> stale;  // in the save's scope, untouched by it
};

class ChangeSet {
 public:
  using Classes = std::map<std::string, ClassChanges, std::less<>>;

  // The changes of `table`, made empty on first use.
  ClassChanges& of(std::string_view table);
  // The changes of `table`, or nullptr when it has none.
  [[nodiscard]] const ClassChanges* find(std::string_view table) const;
  [[nodiscard]] const Classes& classes() const noexcept { return _classes; }

  // True when no record was created, changed or deleted.
  [[nodiscard]] bool writes_nothing() const noexcept;
  void clear() noexcept { _classes.clear(); }

 private:
  Classes _classes;
};

}  // namespace kelmarion::core
