#include "kelmarion_core/json_object.h"

namespace kelmarion::core {

void reserve_entries(nlohmann::ordered_json& object, std::size_t count) {
  auto& map = object.get_ref<nlohmann::ordered_json::object_t&>();
  if (map.capacity() >= count) return;
  nlohmann::ordered_json::object_t grown;
  grown.reserve(count);
  // The keys are copied (most are short enough to need no allocation); the
  // values are moved, whatever they hold.
  for (auto& [key, value] : map) grown.emplace_back(key, std::move(value));
  map.swap(grown);
}

void reserve_keys(nlohmann::ordered_json& object, std::initializer_list<std::string_view> keys) {
  std::size_t missing = 0;
  for (const auto key : keys) missing += object.contains(key) ? 0 : 1;
  reserve_entries(object, object.size() + missing);
}

}  // namespace kelmarion::core
