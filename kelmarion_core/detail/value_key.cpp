#include "kelmarion_core/detail/value_key.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace kelmarion::core::detail {
namespace {

// The integer a float stands for (1.0 for 1), when it is one that fits.
std::optional<std::int64_t> integral_value(double number) {
  constexpr double integer_limit = 9.0e18;
  if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < integer_limit) {
    return static_cast<std::int64_t>(number);
  }
  return std::nullopt;
}

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
    case nlohmann::ordered_json::value_t::number_float:
      if (const auto integer = integral_value(value.get<double>())) {
        out += std::to_string(*integer);
        return;
      }
      break;
    default:
      break;
  }
  out += value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::ignore);
}

}  // namespace

std::string json_key(const nlohmann::ordered_json& value) {
  std::string key;
  append_json_key(value, key);
  return key;
}

namespace {

constexpr std::size_t null_hash = 0x9e3779b97f4a7c15ULL;

std::size_t integer_hash(std::int64_t value) { return std::hash<std::int64_t>()(value); }

std::size_t text_hash(std::string_view text) { return std::hash<std::string_view>()(text) ^ 1U; }

std::uint64_t mix(std::uint64_t value) {
  // splitmix64's finaliser: every input bit reaches every output bit.
  value ^= value >> 30U;
  value *= 0xbf58476d1ce4e5b9ULL;
  value ^= value >> 27U;
  value *= 0x94d049bb133111ebULL;
  return value ^ (value >> 31U);
}

// The hash of a JSON value, equal for values with equal json_key(), computed
// from the value itself: making the key text costs an allocation per member.
// Nesting is bounded by the JSON depth limit that every reader applies.
std::uint64_t structure_hash(const nlohmann::ordered_json& value) {
  using Type = nlohmann::ordered_json::value_t;
  switch (value.type()) {
    case Type::null:
      return null_hash;
    case Type::boolean:
      return mix(value.get<bool>() ? 3U : 4U);
    case Type::number_integer:
      return mix(static_cast<std::uint64_t>(value.get<std::int64_t>()));
    case Type::number_unsigned: {
      const auto number = value.get<std::uint64_t>();
      constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      return number <= largest ? mix(number) : mix(number) ^ 5U;
    }
    case Type::number_float: {
      const double number = value.get<double>();
      if (const auto integer = integral_value(number)) {
        return mix(static_cast<std::uint64_t>(*integer));
      }
      return mix(std::hash<double>()(number)) ^ 6U;
    }
    case Type::string:
      return mix(std::hash<std::string>()(value.get_ref<const std::string&>()) ^ 7U);
    case Type::array: {
      std::uint64_t hash = mix(value.size() ^ 8U);
      for (const auto& element : value) hash = mix(hash ^ structure_hash(element));
      return hash;
    }
    case Type::object: {
      // Summed, so that the members' order does not count.
      std::uint64_t sum = 0;
      for (auto member = value.begin(); member != value.end(); ++member) {
        sum += mix(std::hash<std::string>()(member.key()) ^ structure_hash(member.value()));
      }
      return mix(sum ^ value.size() ^ 9U);
    }
    default:
      return std::hash<std::string>()(json_key(value));
  }
}

std::size_t json_hash(const nlohmann::ordered_json& value) { return structure_hash(value) ^ 2U; }

}  // namespace

std::size_t cell_hash(const RecordClass& record_class, const RowImage& image, std::size_t field) {
  switch (image.kind(field)) {
    case RowImage::CellKind::null:
      return null_hash;
    case RowImage::CellKind::integer:
      return integer_hash(image.integer(field));
    case RowImage::CellKind::text:
      if (record_class.fields()[field].kind == FieldKind::json) {
        return json_hash(from_stored_text(record_class, image, field));
      }
      return text_hash(image.text(field));
  }
  return null_hash;
}

std::size_t given_hash(const GivenValue& value) {
  if (value.kind == FieldKind::text && value.given.is_string()) {
    return text_hash(value.given.get_ref<const std::string&>());
  }
  if (std::holds_alternative<std::monostate>(value.converted)) return null_hash;
  if (const auto* integer = std::get_if<std::int64_t>(&value.converted)) {
    return integer_hash(*integer);
  }
  if (value.kind == FieldKind::json) return json_hash(value.given);
  return text_hash(std::get<std::string>(value.converted));
}

bool cell_equals(const RecordClass& record_class, const RowImage& image, std::size_t field,
                 const GivenValue& value) {
  if (value.kind == FieldKind::text && value.given.is_string()) {
    return image.kind(field) == RowImage::CellKind::text &&
           image.text(field) == value.given.get_ref<const std::string&>();
  }
  switch (image.kind(field)) {
    case RowImage::CellKind::null:
      return std::holds_alternative<std::monostate>(value.converted);
    case RowImage::CellKind::integer: {
      const auto* integer = std::get_if<std::int64_t>(&value.converted);
      return integer != nullptr && *integer == image.integer(field);
    }
    case RowImage::CellKind::text: {
      const auto* text = std::get_if<std::string>(&value.converted);
      if (text == nullptr) return false;
      if (record_class.fields()[field].kind != FieldKind::json) return *text == image.text(field);
      // The same text is the same value; other text may spell it otherwise.
      return *text == image.text(field) ||
             json_key(from_stored_text(record_class, image, field)) == json_key(value.given);
    }
  }
  return false;
}

}  // namespace kelmarion::core::detail
