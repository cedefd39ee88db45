#pragma once

// Building and growing ordered JSON objects without deep copies.
//
// nlohmann's ordered map keeps its (const key, value) pairs in a std::vector. A
// const key makes a pair copy-only, so each time the vector grows it copies every
// value already in it, deeply: adding a key to a table's entry copies all of the
// table's columns, and a brace-initialised object copies each earlier entry as it
// grows. These helpers size an object once instead.

#include <cstddef>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

namespace kelmarion::core {

namespace detail {

inline void add_entries(nlohmann::ordered_json::object_t& /*map*/) {}

template <typename Value, typename... Rest>
void add_entries(nlohmann::ordered_json::object_t& map, std::string_view key, Value&& value,
                 Rest&&... rest) {
  map.emplace_back(std::string(key), nlohmann::ordered_json(std::forward<Value>(value)));
  add_entries(map, std::forward<Rest>(rest)...);
}

}  // namespace detail

// An object of the given keys and values, in order: make_object("name", n, "unique", u).
// Values given as temporaries are moved in. The keys must differ.
template <typename... Entries>
[[nodiscard]] nlohmann::ordered_json make_object(Entries&&... entries) {
  static_assert(sizeof...(Entries) % 2 == 0, "make_object takes keys and values in pairs");
  auto object = nlohmann::ordered_json::object();
  auto& map = object.get_ref<nlohmann::ordered_json::object_t&>();
  map.reserve(sizeof...(Entries) / 2);
  detail::add_entries(map, std::forward<Entries>(entries)...);
  return object;
}

// Makes room in `object` for those of `keys` it lacks, moving its values rather
// than copying them, so that adding those keys copies nothing.
void reserve_keys(nlohmann::ordered_json& object, std::initializer_list<std::string_view> keys);

// Makes room in `object` for `count` keys in all, moving its values.
void reserve_entries(nlohmann::ordered_json& object, std::size_t count);

}  // namespace kelmarion::core
