#include "kelmarion_core/detail/value_key.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace kelmarion::core::detail {
namespace {

// Nesting is bounded by the JSON depth limit that every reader applies.
void append_json_key(const nlohmann::ordered_json& value, std::string& out) {
  switch (value.type()) {
    case nlohmann::ordered_json::value_t::object: {
      std::vector<std::pair<const std::string*, const nlohmann::ordered_json*>> members;
      members.reserve(value.size());
      for (const auto& [key, member] : value.items()) members.emplace_back(&key, &member);
      std::sort(members.begin(), members.end(),
                [](const auto& a, const auto& b) { return *a.first < *b.first; });
      out += '{';
      for (const auto& [key, member] : members) {
        out += nlohmann::ordered_json(*key).dump(-1, ' ', false,
                                                  nlohmann::ordered_json::error_handler_t::ignore);
        out += ':';
        append_json_key(*member, out);
        out += ',';
      }
      out += '}';
      return;
    }
    case nlohmann::ordered_json::value_t::array:
      out += '[';
      for (const auto& element : value) {
        append_json_key(element, out);
        out += ',';
      }
      out += ']';
      return;
    case nlohmann::ordered_json::value_t::number_float: {
      const double number = value.get<double>();
      constexpr double integer_limit = 9.0e18;
      if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < integer_limit) {
        out += std::to_string(static_cast<std::int64_t>(number));
        return;
      }
      break;
    }
    default:
      break;
  }
  out += value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::ignore);
}

std::string json_key(const nlohmann::ordered_json& value) {
  std::string key = "j";
  append_json_key(value, key);
  return key;
}

}  // namespace

std::string cell_key(const RecordClass& record_class, const RowImage& image, std::size_t field) {
  switch (image.kind(field)) {
    case RowImage::CellKind::null:
      return "n";
    case RowImage::CellKind::integer:
      return "i" + std::to_string(image.integer(field));
    case RowImage::CellKind::text:
      if (record_class.fields()[field].kind == FieldKind::json) {
        return json_key(from_stored_text(record_class, image, field));
      }
      return "s" + std::string(image.text(field));
  }
  return "n";
}

std::string given_key(FieldKind kind, const SqlValue& converted,
                      const nlohmann::ordered_json& given) {
  if (std::holds_alternative<std::monostate>(converted)) return "n";
  if (const auto* integer = std::get_if<std::int64_t>(&converted)) {
    return "i" + std::to_string(*integer);
  }
  if (kind == FieldKind::json) return json_key(given);
  return "s" + std::get<std::string>(converted);
}

}  // namespace kelmarion::core::detail
