#include "kelmarion_core/detail/plain_json.h"

#include <charconv>
#include <cstdint>
#include <system_error>

namespace kelmarion::core::detail {
namespace {

using Json = nlohmann::ordered_json;

constexpr int max_plain_depth = 32;

bool plain_char(char c) { return c >= 0x20 && c <= 0x7e && c != '"' && c != '\\'; }

bool append_plain_text(const std::string& text, std::string& out) {
  for (const char c : text) {
    if (!plain_char(c)) return false;
  }
  out += '"';
  out += text;
  out += '"';
  return true;
}

bool append_plain(const Json& value, std::string& out, int depth) {
  if (depth > max_plain_depth) return false;
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      return true;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return true;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      char digits[24];
      const auto written =
          value.is_number_unsigned()
              ? std::to_chars(digits, digits + sizeof digits, value.get<std::uint64_t>())
              : std::to_chars(digits, digits + sizeof digits, value.get<std::int64_t>());
      out.append(digits, written.ptr);
      return true;
    }
    case Json::value_t::string:
      return append_plain_text(value.get_ref<const std::string&>(), out);
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ',';
        first = false;
        if (!append_plain(element, out, depth + 1)) return false;
      }
      out += ']';
      return true;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, element] : value.items()) {
        if (!first) out += ',';
        first = false;
        if (!append_plain_text(key, out)) return false;
        out += ':';
        if (!append_plain(element, out, depth + 1)) return false;
      }
      out += '}';
      return true;
    }
    default:  // fractions, binary, discarded
      return false;
  }
}

// Whether [first, last) is an integer that fits `value` (which gets it).
template <typename Integer>
bool read_whole(const char* first, const char* last, Integer& value) {
  const auto [end, error] = std::from_chars(first, last, value);
  return error == std::errc() && end == last;
}

// A recursive-descent reader of plain JSON over `text`, from `at`.
class PlainReader {
 public:
  explicit PlainReader(std::string_view text) : _text(text) {}

  std::optional<Json> read_all() {
    auto value = read(0);
    if (!value || _at != _text.size()) return std::nullopt;
    return value;
  }

 private:
  std::optional<Json> read(int depth) {
    if (_at >= _text.size() || depth > max_plain_depth) return std::nullopt;
    switch (_text[_at]) {
      case 'n':
        return word("null") ? std::optional<Json>(Json(nullptr)) : std::nullopt;
      case 't':
        return word("true") ? std::optional<Json>(Json(true)) : std::nullopt;
      case 'f':
        return word("false") ? std::optional<Json>(Json(false)) : std::nullopt;
      case '"': {
        auto text = read_text();
        if (!text) return std::nullopt;
        return Json(std::move(*text));
      }
      case '[':
        return read_array(depth);
      case '{':
        return read_object(depth);
      default:
        return read_integer();
    }
  }

  bool word(std::string_view expected) {
    if (_text.substr(_at, expected.size()) != expected) return false;
    _at += expected.size();
    return true;
  }

  std::optional<std::string> read_text() {
    const auto start = ++_at;  // after the opening quote
    while (_at < _text.size() && _text[_at] != '"') {
      if (!plain_char(_text[_at])) return std::nullopt;
      ++_at;
    }
    if (_at >= _text.size()) return std::nullopt;
    return std::string(_text.substr(start, _at++ - start));
  }

  // As the JSON library reads them: a non-negative integer is unsigned.
  std::optional<Json> read_integer() {
    const auto start = _at;
    const bool negative = _text[_at] == '-';
    const auto digits = start + (negative ? 1 : 0);
    auto end = digits;
    while (end < _text.size() && _text[end] >= '0' && _text[end] <= '9') ++end;
    if (end == digits || (end - digits > 1 && _text[digits] == '0')) return std::nullopt;
    if (end < _text.size() && (_text[end] == '.' || _text[end] == 'e' || _text[end] == 'E')) {
      return std::nullopt;
    }
    const char* first = _text.data() + start;
    const char* last = _text.data() + end;
    _at = end;
    if (negative) {
      std::int64_t value = 0;
      if (!read_whole(first, last, value)) return std::nullopt;
      return Json(value);
    }
    std::uint64_t value = 0;
    if (!read_whole(first, last, value)) return std::nullopt;
    return Json(value);
  }

  std::optional<Json> read_array(int depth) {
    ++_at;
    auto array = Json::array();
    if (_at < _text.size() && _text[_at] == ']') {
      ++_at;
      return array;
    }
    for (;;) {
      auto element = read(depth + 1);
      if (!element) return std::nullopt;
      array.push_back(std::move(*element));
      if (_at >= _text.size()) return std::nullopt;
      if (_text[_at] == ']') {
        ++_at;
        return array;
      }
      if (_text[_at++] != ',') return std::nullopt;
    }
  }

  std::optional<Json> read_object(int depth) {
    ++_at;
    auto object = Json::object();
    if (_at < _text.size() && _text[_at] == '}') {
      ++_at;
      return object;
    }
    auto& map = object.get_ref<Json::object_t&>();
    for (;;) {
      if (_at >= _text.size() || _text[_at] != '"') return std::nullopt;
      auto key = read_text();
      if (!key || _at >= _text.size() || _text[_at++] != ':') return std::nullopt;
      auto element = read(depth + 1);
      if (!element) return std::nullopt;
      // A repeated key is left to the library, which keeps its last value.
      if (!map.emplace(std::move(*key), std::move(*element)).second) return std::nullopt;
      if (_at >= _text.size()) return std::nullopt;
      if (_text[_at] == '}') {
        ++_at;
        return object;
      }
      if (_text[_at++] != ',') return std::nullopt;
    }
  }

  std::string_view _text;
  std::size_t _at = 0;
};

}  // namespace

bool append_plain_json(const nlohmann::ordered_json& value, std::string& out) {
  return append_plain(value, out, 0);
}

std::optional<nlohmann::ordered_json> parse_plain_json(std::string_view text) {
  return PlainReader(text).read_all();
}

}  // namespace kelmarion::core::detail
