#include "kelmarion_core/json_reader.h"

#include <stdexcept>
#include <utility>
#include <vector>

namespace kelmarion::core {
namespace {

using Json = nlohmann::ordered_json;

// Builds the document from the parser's events (nlohmann's SAX interface).
class DocumentBuilder {
 public:
  explicit DocumentBuilder(const JsonReadOptions& options) : _options(options) {}

  bool null() { return add(Json(nullptr)); }
  bool boolean(bool value) { return add(Json(value)); }
  bool number_integer(Json::number_integer_t value) { return add(Json(value)); }
  bool number_unsigned(Json::number_unsigned_t value) { return add(Json(value)); }
  bool number_float(Json::number_float_t value, const std::string& /*text*/) {
    return add(Json(value));
  }
  bool string(std::string& value) { return add(Json(std::move(value))); }
  bool binary(Json::binary_t& value) { return add(Json::binary(std::move(value))); }

  bool start_object(std::size_t /*size*/) {
    open();
    _frames.back().is_object = true;
    return true;
  }
  bool key(std::string& key) {
    _last_key = key;
    _frames.back().key = std::move(key);
    return true;
  }
  bool end_object() {
    auto entries = std::move(_frames.back().entries);
    _frames.pop_back();
    auto object = Json::object();
    auto& map = object.get_ref<Json::object_t&>();
    if (!entries.empty()) map.reserve(entries.size() + _options.room_for_keys);
    for (auto& [key, value] : entries) {
      // A repeated key keeps its first place and takes its last value, as in parse().
      auto [place, added] = map.emplace(key, std::move(value));
      if (!added) place->second = std::move(value);
    }
    return add(std::move(object));
  }

  bool start_array(std::size_t /*size*/) {
    open();
    _frames.back().array = Json::array();
    return true;
  }
  bool end_array() {
    auto array = std::move(_frames.back().array);
    _frames.pop_back();
    return add(std::move(array));
  }

  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& error) {
    // Rethrown as what parse() would have thrown.
    if (const auto* parse = dynamic_cast<const nlohmann::detail::parse_error*>(&error))
      throw *parse;
    if (const auto* range = dynamic_cast<const nlohmann::detail::out_of_range*>(&error))
      throw *range;
    throw std::runtime_error(error.what());
  }

  Json take() { return std::move(_root); }

 private:
  // A list or object being read: lists grow in place (moving a JSON value
  // copies nothing), objects collect their entries until they close.
  struct Frame {
    bool is_object = false;
    Json array;
    std::vector<std::pair<std::string, Json>> entries;
    std::string key;
  };

  void open() {
    if (_options.max_depth > 0 && _frames.size() >= static_cast<std::size_t>(_options.max_depth)) {
      if (_options.too_deep) _options.too_deep(_last_key);
      throw std::length_error("JSON nested too deep");
    }
    _frames.emplace_back();
  }

  bool add(Json value) {
    if (_frames.empty()) {
      _root = std::move(value);
    } else if (auto& top = _frames.back(); top.is_object) {
      top.entries.emplace_back(std::move(top.key), std::move(value));
    } else {
      top.array.push_back(std::move(value));
    }
    return true;
  }

  const JsonReadOptions& _options;
  std::vector<Frame> _frames;
  std::string _last_key;
  Json _root;
};

}  // namespace

nlohmann::ordered_json read_json(std::istream& input, const JsonReadOptions& options) {
  DocumentBuilder builder(options);
  Json::sax_parse(input, &builder);
  return builder.take();
}

}  // namespace kelmarion::core
