#pragma once

// A JSON value as text for people: a string as it is, any other value as
// compact JSON. Bytes that are not UTF-8 inside a list or object are replaced
// (dump() would throw); a string is returned byte for byte.

#include <nlohmann/json.hpp>
#include <string>

namespace kelmarion::core {

[[nodiscard]] inline std::string display_text(const nlohmann::ordered_json& value) {
  return value.is_string()
             ? value.get<std::string>()
             : value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace kelmarion::core
