#include "kelmarion_core/detail/postgresql_values.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "kelmarion_core/utf8.h"

namespace kelmarion::core::detail {
namespace {

using Json = nlohmann::ordered_json;

// Far below the depth at which the server's JSON parser gives up.
constexpr int deepest_predicted_json = 256;

// PostgreSQL prints a numeric in plain decimal, never with an exponent, and
// has no negative zero. `text` is a JSON number as nlohmann prints a double.
std::string numeric_text(const std::string& text) {
  const auto exponent_at = text.find_first_of("eE");
  std::string digits = text.substr(0, exponent_at);
  const bool negative = !digits.empty() && digits.front() == '-';
  if (negative) digits.erase(0, 1);
  std::string plain = digits;
  if (exponent_at != std::string::npos) {
    const int exponent = std::stoi(text.substr(exponent_at + 1));
    const auto point = digits.find('.');
    std::string mantissa = digits;
    int integer_digits = static_cast<int>(digits.size());
    if (point != std::string::npos) {
      mantissa.erase(point, 1);
      integer_digits = static_cast<int>(point);
    }
    const int fraction_digits = static_cast<int>(mantissa.size()) - integer_digits;
    // The numeric keeps the scale of its input: digits after the point.
    const int scale = std::max(0, fraction_digits - exponent);
    const int point_at = integer_digits + exponent;
    if (point_at <= 0) {
      plain = fmt::format("0.{}{}", std::string(static_cast<std::size_t>(-point_at), '0'), mantissa);
    } else if (point_at >= static_cast<int>(mantissa.size())) {
      plain = mantissa + std::string(static_cast<std::size_t>(point_at) - mantissa.size(), '0');
    } else {
      plain = fmt::format("{}.{}", mantissa.substr(0, static_cast<std::size_t>(point_at)),
                          mantissa.substr(static_cast<std::size_t>(point_at)));
    }
    // Leading zeros of the integer part go; the fraction keeps `scale` digits.
    const auto first = plain.find_first_not_of('0');
    if (first == std::string::npos) {
      plain = "0";
    } else if (plain[first] == '.') {
      plain.erase(0, first);
      plain.insert(plain.begin(), '0');
    } else {
      plain.erase(0, first);
    }
    const auto dot = plain.find('.');
    if (dot != std::string::npos && scale == 0) plain.erase(dot);
  }
  const bool zero = plain.find_first_not_of("0.") == std::string::npos;
  if (negative && !zero) plain.insert(plain.begin(), '-');
  return plain;
}

// The JSON value as jsonb gives it back: object keys shortest first, then in
// byte order; numbers as the server prints them. False when the server might
// refuse the value, and (with `check_text`) when a string or key is not
// well-formed UTF-8 without NUL.
bool normalise_like_jsonb(Json& value, int depth, bool check_text = false) {
  if (depth > deepest_predicted_json) return false;
  switch (value.type()) {
    case Json::value_t::object: {
      std::vector<std::pair<std::string, Json>> items;
      items.reserve(value.size());
      for (auto& [key, item] : value.items()) {
        if (key.find('\0') != std::string::npos) return false;
        if (check_text && !postgresql_accepts_text(key)) return false;
        if (!normalise_like_jsonb(item, depth + 1, check_text)) return false;
        items.emplace_back(key, std::move(item));
      }
      std::sort(items.begin(), items.end(), [](const auto& left, const auto& right) {
        if (left.first.size() != right.first.size()) return left.first.size() < right.first.size();
        return left.first < right.first;
      });
      Json sorted = Json::object();
      for (auto& [key, item] : items) sorted[key] = std::move(item);
      value = std::move(sorted);
      return true;
    }
    case Json::value_t::array:
      return std::all_of(value.begin(), value.end(), [depth, check_text](Json& item) {
        return normalise_like_jsonb(item, depth + 1, check_text);
      });
    case Json::value_t::string:
      if (check_text) return postgresql_accepts_text(value.get_ref<const std::string&>());
      return value.get_ref<const std::string&>().find('\0') == std::string::npos;
    case Json::value_t::number_float:
      value = Json::parse(numeric_text(value.dump()));
      return true;
    default:
      return true;
  }
}

}  // namespace

std::optional<Json> postgresql_stored_json(const Json& value) {
  if (value.is_number_float() && !std::isfinite(value.get<double>())) return Json(nullptr);
  Json copy = value;
  if (!normalise_like_jsonb(copy, 0, true)) return std::nullopt;
  return copy;
}

bool postgresql_accepts_text(std::string_view text) noexcept {
  return text.find('\0') == std::string_view::npos && is_valid_utf8(text);
}

std::optional<Json> postgresql_stored_value(FieldKind kind, const SqlValue& value) {
  if (std::holds_alternative<std::monostate>(value)) return Json(nullptr);
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    if (kind == FieldKind::boolean) return Json(*integer != 0);
    if (kind == FieldKind::integer) return Json(*integer);
    return std::nullopt;  // not a value the data services bind for other kinds
  }
  const auto& text = std::get<std::string>(value);
  if (!postgresql_accepts_text(text)) return std::nullopt;
  if (kind == FieldKind::text) return Json(text);
  if (kind != FieldKind::json) return std::nullopt;
  auto parsed = Json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !normalise_like_jsonb(parsed, 0)) return std::nullopt;
  return parsed;
}

}  // namespace kelmarion::core::detail
