#include "kelmarion_core/record.h"

#include <fmt/format.h>

#include "kelmarion_core/errors.h"
#include "kelmarion_core/json_object.h"

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
  if (_fields.size() >= slot_count / 2) {
    throw Error(fmt::format("record class '{}': too many fields", table_name));
  }
  for (std::size_t i = 0; i < _fields.size(); ++i) {
    auto slot = _slot_of(_fields[i].name);
    while (_slots[slot] != 0) slot = (slot + 1) % slot_count;
    _slots[slot] = static_cast<std::uint8_t>(i + 1);
  }
  for (const auto& link : _parent_links) {
    const auto index = field_index(link.field);
    if (!index || *index == 0 || _fields[*index].kind != FieldKind::integer) {
      throw Error(fmt::format("record class '{}': parent link '{}' is not an integer field",
                              table_name, link.field));
    }
  }
}

std::size_t RecordClass::_slot_of(std::string_view name) noexcept {
  if (name.empty()) return 0;
  const auto first = static_cast<unsigned char>(name.front());
  const auto last = static_cast<unsigned char>(name.back());
  const auto middle = static_cast<unsigned char>(name[name.size() / 2]);
  return (name.size() * 131U + first * 31U + middle * 7U + last) % slot_count;
}

std::optional<std::size_t> RecordClass::field_index(std::string_view name) const noexcept {
  // The table is at most half full, so a probe always ends at an empty slot.
  for (auto slot = _slot_of(name); _slots[slot] != 0; slot = (slot + 1) % slot_count) {
    const std::size_t index = _slots[slot] - 1U;
    if (_fields[index].name == name) return index;
  }
  return std::nullopt;
}

Record::Record(const RecordClass& record_class, std::vector<nlohmann::ordered_json> values)
    : _record_class(&record_class) {
  if (values.size() != record_class.fields().size()) {
    throw Error(fmt::format("record of '{}': {} values for {} fields", record_class.table_name(),
                            values.size(), record_class.fields().size()));
  }
  _values = std::make_shared<std::vector<nlohmann::ordered_json>>(std::move(values));
}

const nlohmann::ordered_json& Record::operator[](std::string_view field) const {
  const auto index = _record_class->field_index(field);
  if (!index) {
    throw Error(fmt::format("record of '{}' has no field '{}'", _record_class->table_name(), field));
  }
  return (*_values)[*index];
}

std::int64_t Record::id() const { return _values->front().get<std::int64_t>(); }

std::vector<nlohmann::ordered_json> Record::take_values() && {
  auto values = std::move(_values);
  if (values.use_count() == 1) return std::move(*values);
  return *values;
}

nlohmann::ordered_json Record::model_dump() const {
  auto dump = nlohmann::ordered_json::object();
  const auto fields = _record_class->fields();
  reserve_entries(dump, fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) dump[std::string(fields[i].name)] = (*_values)[i];
  return dump;
}

}  // namespace kelmarion::core
