#pragma once

// Lookup conditions. A Predicate says that one field of a record class equals a
// value; a Condition is one predicate, or a list of them that must all hold.
// Predicates are made by comparing a field handle with a value (see field.h):
//
//   Condition c{SourceTable::source_schema_id == 3, SourceTable::table_name == "orders"};
//
// Equality with an absent value (JSON null, std::nullopt) means "the field is
// absent" (SQL IS NULL). Values of json fields compare as whole values: two lists
// of column names are equal only with the same names in the same order. An
// absent element inside a condition list holds for no record.

#include <concepts>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <vector>

#include "kelmarion_core/record.h"

namespace kelmarion::core {

struct Predicate {
  std::string_view table_name;  // the record class the field belongs to
  std::string_view field_name;
  FieldKind kind;
  nlohmann::ordered_json value;  // null: the field is absent
};

class Condition {
 public:
  // No predicate: every record matches.
  Condition() = default;
  // A single predicate.
  Condition(Predicate predicate);  // NOLINT(google-explicit-constructor): reads as a condition
  // All of `terms` must hold; an absent term holds for no record. The terms are
  // moved in when given as temporaries (an initializer list would copy each).
  template <typename... Terms>
    requires(sizeof...(Terms) >= 1 &&
             (std::convertible_to<Terms, std::optional<Predicate>> && ...))
  Condition(Terms&&... terms) {  // NOLINT(google-explicit-constructor): reads as a condition
    _terms.reserve(sizeof...(Terms));
    (_terms.emplace_back(std::forward<Terms>(terms)), ...);
  }
  explicit Condition(std::vector<std::optional<Predicate>> terms);

  [[nodiscard]] const std::vector<std::optional<Predicate>>& terms() const noexcept {
    return _terms;
  }
  // True when some term is absent, so that no record can match.
  [[nodiscard]] bool matches_nothing() const noexcept;

 private:
  std::vector<std::optional<Predicate>> _terms;
};

}  // namespace kelmarion::core
