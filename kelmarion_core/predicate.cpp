#include "kelmarion_core/predicate.h"

#include <algorithm>

namespace kelmarion::core {

Condition::Condition(Predicate predicate) { _terms.emplace_back(std::move(predicate)); }

Condition::Condition(std::vector<std::optional<Predicate>> terms) : _terms(std::move(terms)) {}

bool Condition::matches_nothing() const noexcept {
  return std::any_of(_terms.begin(), _terms.end(), [](const auto& term) { return !term; });
}

}  // namespace kelmarion::core
