#include "kelmarion_meta/tools/detail/schema_metadata.h"

namespace kelmarion::meta::detail {

SchemaMetadata::SchemaMetadata(nlohmann::ordered_json& document) : _document(document) {}

nlohmann::ordered_json* SchemaMetadata::find(std::string_view key) {
  if (const auto own = _own.find(key); own != _own.end()) return &*own;
  if (const auto base = _document.find(key); base != _document.end()) return &*base;
  return nullptr;
}

void SchemaMetadata::set(const std::string& key, nlohmann::ordered_json value) {
  _own[key] = std::move(value);
}

nlohmann::ordered_json SchemaMetadata::record_data(const core::RecordClass& record_class) const {
  auto data = nlohmann::ordered_json::object();
  for (const auto& [key, value] : _document.items()) {
    if (record_class.field_index(key)) data[key] = value;
  }
  for (const auto& [key, value] : _own.items()) {
    if (record_class.field_index(key)) data[key] = value;
  }
  return data;
}

}  // namespace kelmarion::meta::detail
