#include "kelmarion_core/change_set.h"

#include <algorithm>

namespace kelmarion::core {

ClassChanges& ChangeSet::of(std::string_view table) {
  auto found = _classes.find(table);
  if (found == _classes.end()) found = _classes.emplace(std::string(table), ClassChanges{}).first;
  return found->second;
}

const ClassChanges* ChangeSet::find(std::string_view table) const {
  const auto found = _classes.find(table);
  return found == _classes.end() ? nullptr : &found->second;
}

bool ChangeSet::writes_nothing() const noexcept {
  return std::all_of(_classes.begin(), _classes.end(), [](const auto& entry) {
    const auto& changes = entry.second;
    return changes.created.empty() && changes.changed.empty() && changes.deleted.empty();
  });
}

}  // namespace kelmarion::core
