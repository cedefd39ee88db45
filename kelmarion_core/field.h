#pragma once

// Class-level field handles. Each record class exposes one constant per field,
// and comparing a handle with a value yields a Predicate:
//
//   SourceTable::table_name == "orders"          // text field
//   SourceColumn::source_table_id == 7           // integer field
//   SourceIndex::column_names == names           // json field, whole-value equality
//   SourceColumn::source_view_id == std::nullopt // IS NULL
//   SourceTable::table_name == entry.at("table_name")  // a document value
//
// The comparison is typed: an integer field does not compare with text, no field
// compares with a plain bool except a boolean one, and a Predicate never converts
// to bool, so `if (SourceTable::table_name == "x")` does not compile.

#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "kelmarion_core/predicate.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core {

template <FieldKind Kind>
class Field {
 public:
  static constexpr FieldKind kind = Kind;

  constexpr Field(std::string_view table_name, std::string_view name)
      : _table_name(table_name), _name(name) {}

  [[nodiscard]] constexpr std::string_view table_name() const noexcept { return _table_name; }
  [[nodiscard]] constexpr std::string_view name() const noexcept { return _name; }

  // A predicate on this field with an already-converted value.
  [[nodiscard]] Predicate equals(nlohmann::ordered_json value) const {
    return Predicate{_table_name, _name, Kind, std::move(value)};
  }

 private:
  std::string_view _table_name;
  std::string_view _name;
};

namespace detail {

template <typename T>
using bare = std::remove_cvref_t<T>;

template <typename T>
concept document_value = std::same_as<bare<T>, nlohmann::ordered_json>;

template <typename T>
concept text_value = !document_value<T> && std::convertible_to<T, std::string_view>;

template <typename T>
concept integer_value = std::integral<bare<T>> && !std::same_as<bare<T>, bool> &&
                        !std::same_as<bare<T>, char>;

template <typename T>
concept boolean_value = std::same_as<bare<T>, bool>;

template <typename T>
concept name_list_value = std::same_as<bare<T>, std::vector<std::string>>;

template <FieldKind Kind, typename T>
concept accepted_value =
    document_value<T> || std::same_as<bare<T>, std::nullopt_t> ||
    (Kind == FieldKind::text && text_value<T>) || (Kind == FieldKind::integer && integer_value<T>) ||
    (Kind == FieldKind::boolean && boolean_value<T>) ||
    (Kind == FieldKind::json && (name_list_value<T> || text_value<T> || integer_value<T>));

}  // namespace detail

template <FieldKind Kind, typename T>
  requires detail::accepted_value<Kind, T>
[[nodiscard]] Predicate operator==(const Field<Kind>& field, T&& value) {
  if constexpr (std::same_as<detail::bare<T>, std::nullopt_t>) {
    return field.equals(nullptr);
  } else if constexpr (detail::text_value<T>) {
    return field.equals(std::string(std::string_view(value)));
  } else {
    return field.equals(nlohmann::ordered_json(std::forward<T>(value)));
  }
}

// True when `F == V` yields a Predicate; for typing checks in tests.
template <typename F, typename V>
concept comparable = requires(const F& field, const V& value) {
  { field == value } -> std::same_as<Predicate>;
};

}  // namespace kelmarion::core
