#include "kelmarion_core/record.h"

#include <algorithm>
#include <fmt/format.h>

#include "kelmarion_core/errors.h"

namespace kelmarion::core {

RecordClass::RecordClass(std::string_view table_name, std::vector<FieldSpec> fields,
                         std::vector<LookupIndex> lookup_indexes,
                         std::vector<ParentLink> parent_links)
    : _table_name(table_name),
      _fields(std::move(fields)),
      _lookup_indexes(std::move(lookup_indexes)),
      _parent_links(std::move(parent_links)) {
  if (_fields.empty() || _fields.front().kind != FieldKind::integer) {
    throw Error(fmt::format("record class '{}': the first field must be the integer identifier",
                            table_name));
  }
  for (const auto& link : _parent_links) {
    const auto index = field_index(link.field);
    if (!index || *index == 0 || _fields[*index].kind != FieldKind::integer) {
      throw Error(fmt::format("record class '{}': parent link '{}' is not an integer field",
                              table_name, link.field));
    }
  }
}

std::optional<std::size_t> RecordClass::field_index(std::string_view name) const noexcept {
  const auto found =
      std::find_if(_fields.begin(), _fields.end(), [&](const FieldSpec& f) { return f.name == name; });
  if (found == _fields.end()) return std::nullopt;
  return static_cast<std::size_t>(found - _fields.begin());
}

Record::Record(const RecordClass& record_class, std::vector<nlohmann::ordered_json> values)
    : _record_class(&record_class), _values(std::move(values)) {
  if (_values.size() != record_class.fields().size()) {
    throw Error(fmt::format("record of '{}': {} values for {} fields", record_class.table_name(),
                            _values.size(), record_class.fields().size()));
  }
}

const nlohmann::ordered_json& Record::operator[](std::string_view field) const {
  const auto index = _record_class->field_index(field);
  if (!index) {
    throw Error(fmt::format("record of '{}' has no field '{}'", _record_class->table_name(), field));
  }
  return _values[*index];
}

std::int64_t Record::id() const { return _values.front().get<std::int64_t>(); }

nlohmann::ordered_json Record::model_dump() const {
  auto dump = nlohmann::ordered_json::object();
  const auto fields = _record_class->fields();
  for (std::size_t i = 0; i < fields.size(); ++i) dump[std::string(fields[i].name)] = _values[i];
  return dump;
}

}  // namespace kelmarion::core
