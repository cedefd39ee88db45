#include "kelmarion_core/detail/transaction_mirror.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kelmarion_core/detail/sql_value.h"

namespace kelmarion::core::detail {
namespace {

std::optional<std::string_view> parent_table_of(const RecordClass& record_class,
                                                std::size_t link_field) {
  const auto name = record_class.fields()[link_field].name;
  for (const auto& link : record_class.parent_links()) {
    if (link.field == name) return link.parent_table;
  }
  return std::nullopt;
}

// Field values are compared and hashed as stored: from a record's row image
// when it has one, so that the mirror never makes the JSON values of the many
// records it only looks at. Equal values hash alike from either side.
constexpr std::size_t null_hash = 0x9e3779b97f4a7c15ULL;

std::size_t integer_hash(std::int64_t value) { return std::hash<std::int64_t>{}(value); }

std::size_t combine(std::size_t seed, std::size_t hash) {
  return seed ^ (hash + 0x9e3779b97f4a7c15ULL + (seed << 6U) + (seed >> 2U));
}

// The hash of a value, alike for values that compare equal: numbers by their
// value whatever their type (JSON read back from text has unsigned integers
// where a document has signed ones), booleans as the 0 or 1 a row image holds.
std::size_t value_hash(const nlohmann::ordered_json& value) {
  using Type = nlohmann::ordered_json::value_t;
  switch (value.type()) {
    case Type::null:
      return null_hash;
    case Type::boolean:
      return integer_hash(value.get<bool>() ? 1 : 0);
    case Type::number_integer:
      return integer_hash(value.get<std::int64_t>());
    case Type::number_unsigned:
      if (value.get<std::uint64_t>() <= INT64_MAX) return integer_hash(value.get<std::int64_t>());
      return std::hash<std::uint64_t>{}(value.get<std::uint64_t>());
    case Type::number_float: {
      const double number = value.get<double>();
      if (std::trunc(number) == number && std::abs(number) < 9.2e18) {
        return integer_hash(static_cast<std::int64_t>(number));
      }
      return std::hash<double>{}(number);
    }
    case Type::string:
      return std::hash<std::string_view>{}(value.get_ref<const std::string&>());
    case Type::array: {
      std::size_t hash = 0xa11a7;
      for (const auto& item : value) hash = combine(hash, value_hash(item));
      return hash;
    }
    case Type::object: {
      std::size_t hash = 0x0b1ec7;  // entries in order, as ordered objects compare
      for (const auto& [key, item] : value.items()) {
        hash = combine(combine(hash, std::hash<std::string_view>{}(key)), value_hash(item));
      }
      return hash;
    }
    default:
      return std::hash<nlohmann::ordered_json>{}(value);
  }
}

// The JSON value of a json field's text cell of `record`, made for this one
// field: reading it through the record would make the values of all its fields.
nlohmann::ordered_json json_cell(const Record& record, const RowImage& image, std::size_t index) {
  if (image.kind(index) != RowImage::CellKind::text) return nullptr;
  return from_stored_text(record.record_class(), image, index);
}

// The hash of field `index` of `record`: value_hash() of its value.
std::size_t field_hash(const Record& record, std::size_t index) {
  const auto& field = record.record_class().fields()[index];
  const auto* image = record.image();
  if (image == nullptr) return value_hash(record[field.name]);
  if (field.kind == FieldKind::json) return value_hash(json_cell(record, *image, index));
  switch (image->kind(index)) {
    case RowImage::CellKind::null:
      return null_hash;
    case RowImage::CellKind::integer:
      return integer_hash(image->integer(index));
    case RowImage::CellKind::text:
      return std::hash<std::string_view>{}(image->text(index));
  }
  return null_hash;
}

// Whether field `index` of `record` equals `value`, as JSON values compare.
bool field_equals(const Record& record, std::size_t index, const nlohmann::ordered_json& value) {
  const auto& field = record.record_class().fields()[index];
  const auto* image = record.image();
  if (image != nullptr && field.kind == FieldKind::json) {
    return json_cell(record, *image, index) == value;
  }
  if (image != nullptr) {
    switch (image->kind(index)) {
      case RowImage::CellKind::null:
        return value.is_null();
      case RowImage::CellKind::text:
        return value.is_string() && value.get_ref<const std::string&>() == image->text(index);
      case RowImage::CellKind::integer:
        if (field.kind == FieldKind::boolean) {
          return value.is_boolean() && value.get<bool>() == (image->integer(index) != 0);
        }
        if (value.is_number_integer() && !value.is_number_unsigned()) {
          return value.get<std::int64_t>() == image->integer(index);
        }
        if (!value.is_number()) return false;
        break;  // a number of another kind compares by its value
    }
  }
  return record[field.name] == value;
}

// Whether field `index` holds the same value in `left` and `right`.
bool fields_equal(const Record& left, const Record& right, std::size_t index) {
  const auto& field = left.record_class().fields()[index];
  const auto* left_image = left.image();
  const auto* right_image = right.image();
  if (left_image == nullptr || right_image == nullptr) return left[field.name] == right[field.name];
  if (field.kind == FieldKind::json) {
    return json_cell(left, *left_image, index) == json_cell(right, *right_image, index);
  }
  const auto kind = left_image->kind(index);
  if (kind != right_image->kind(index)) return false;
  switch (kind) {
    case RowImage::CellKind::null:
      return true;
    case RowImage::CellKind::integer:
      return left_image->integer(index) == right_image->integer(index);
    case RowImage::CellKind::text:
      return left_image->text(index) == right_image->text(index);
  }
  return false;
}

bool field_is_null(const Record& record, std::size_t index) {
  const auto& field = record.record_class().fields()[index];
  const auto* image = record.image();
  if (image == nullptr) return record[field.name].is_null();
  // A json field's text may be the JSON null.
  if (field.kind == FieldKind::json) return json_cell(record, *image, index).is_null();
  return image->kind(index) == RowImage::CellKind::null;
}

std::optional<std::int64_t> link_value(const Record& record, std::size_t link_field) {
  if (const auto* image = record.image();
      image != nullptr && record.record_class().fields()[link_field].kind == FieldKind::integer) {
    if (image->kind(link_field) != RowImage::CellKind::integer) return std::nullopt;
    return image->integer(link_field);
  }
  const auto& value = record[record.record_class().fields()[link_field].name];
  if (!value.is_number_integer()) return std::nullopt;
  return value.get<std::int64_t>();
}

// Parents held per class and link: room for two windows of reads.
constexpr std::size_t held_parents = 1024;

}  // namespace

std::optional<TransactionMirror::ChildSet> TransactionMirror::link_of(
    const RecordClass& record_class, const Condition& condition, const Expected& expected) {
  const auto& terms = condition.terms();
  for (std::size_t i = 0; i < terms.size() && i < expected.size(); ++i) {
    if (!terms[i] || !expected[i].is_number_integer()) continue;
    const auto field = record_class.field_index(terms[i]->field_name);
    if (!field || !parent_table_of(record_class, *field)) continue;
    return ChildSet{&record_class, *field, expected[i].get<std::int64_t>()};
  }
  return std::nullopt;
}

TransactionMirror::Held* TransactionMirror::_held(const ChildSet& set) {
  const auto found = _sets.find(SetKey{set.record_class, set.link_field});
  if (found == _sets.end()) return nullptr;
  const auto held = found->second.held.find(set.parent_id);
  return held == found->second.held.end() ? nullptr : &held->second;
}

const TransactionMirror::Held* TransactionMirror::_held(const ChildSet& set) const {
  const auto found = _sets.find(SetKey{set.record_class, set.link_field});
  if (found == _sets.end()) return nullptr;
  const auto held = found->second.held.find(set.parent_id);
  return held == found->second.held.end() ? nullptr : &held->second;
}

bool TransactionMirror::parent_is_new(const ChildSet& set) const {
  const auto parent_table = parent_table_of(*set.record_class, set.link_field);
  if (!parent_table) return false;
  const auto created = _created.find(*parent_table);
  return created != _created.end() && created->second.contains(set.parent_id);
}

bool TransactionMirror::stored_children_unchecked(const ChildSet& set) const {
  return !_stored_children.contains(SetKey{set.record_class, set.link_field});
}

std::int64_t TransactionMirror::first_new_parent(const ChildSet& set) const {
  return _first_created.at(*parent_table_of(*set.record_class, set.link_field));
}

std::optional<std::int64_t> TransactionMirror::first_created(
    const RecordClass& record_class) const {
  const auto found = _first_created.find(record_class.table_name());
  if (found == _first_created.end()) return std::nullopt;
  return found->second;
}

void TransactionMirror::note_stored_children(const ChildSet& set, bool found) {
  _stored_children.insert_or_assign(SetKey{set.record_class, set.link_field}, found);
}

bool TransactionMirror::knows(const ChildSet& set) {
  if (_held(set) != nullptr) return true;
  if (!parent_is_new(set) || _released.contains(set)) return false;
  // A new parent that stored records may refer to is read from the server.
  const auto checked = _stored_children.find(SetKey{set.record_class, set.link_field});
  if (checked == _stored_children.end() || checked->second) return false;
  _hold(set);
  return true;
}

std::vector<std::int64_t> TransactionMirror::window_from(const ChildSet& set, std::size_t count) {
  std::vector<std::int64_t> window{set.parent_id};
  const auto parent_table = parent_table_of(*set.record_class, set.link_field);
  if (!parent_table) return window;
  for (const auto& [key, parents] : _sets) {
    if (key.record_class->table_name() != *parent_table) continue;
    for (const auto& [grandparent, siblings] : parents.held) {
      auto sibling = siblings.records.upper_bound(set.parent_id);
      if (!siblings.records.contains(set.parent_id)) continue;
      for (; sibling != siblings.records.end() && window.size() < count; ++sibling) {
        const ChildSet next{set.record_class, set.link_field, sibling->first};
        const bool implied = parent_is_new(next) && !_released.contains(next);
        if (_held(next) == nullptr && !implied) window.push_back(sibling->first);
      }
      return window;
    }
  }
  return window;
}

void TransactionMirror::adopt(const ChildSet& set, const std::vector<std::int64_t>& parent_ids,
                              const std::vector<Record>& records) {
  for (const auto parent_id : parent_ids) {
    _hold(ChildSet{set.record_class, set.link_field, parent_id});
  }
  for (const auto& record : records) {
    if (const auto parent_id = link_value(record, set.link_field)) {
      if (auto* held = _held(ChildSet{set.record_class, set.link_field, *parent_id})) {
        _put(*held, record);
      }
    }
  }
}

TransactionMirror::Held& TransactionMirror::_hold(const ChildSet& set) {
  auto& parents = _sets[SetKey{set.record_class, set.link_field}];
  auto [held, added] = parents.held.try_emplace(set.parent_id);
  if (!added) {
    held->second = Held{};
    return held->second;
  }
  parents.order.push_back(set.parent_id);
  while (parents.order.size() > held_parents) {
    const ChildSet oldest{set.record_class, set.link_field, parents.order.front()};
    parents.order.pop_front();
    parents.held.erase(oldest.parent_id);
    if (parent_is_new(oldest)) _released.insert(oldest);
  }
  return parents.held.at(set.parent_id);
}

void TransactionMirror::_put(Held& held, const Record& record) {
  _drop(held, record.id());
  const auto& record_class = record.record_class();
  for (auto& [field, index] : held.by_value) {
    index.emplace(field_hash(record, *record_class.field_index(field)), record.id());
  }
  held.records.insert_or_assign(record.id(), record);
}

void TransactionMirror::_drop(Held& held, std::int64_t id) {
  const auto found = held.records.find(id);
  if (found == held.records.end()) return;
  const auto& record_class = found->second.record_class();
  for (auto& [field, index] : held.by_value) {
    auto [first, last] =
        index.equal_range(field_hash(found->second, *record_class.field_index(field)));
    for (auto entry = first; entry != last; ++entry) {
      if (entry->second == id) {
        index.erase(entry);
        break;
      }
    }
  }
  held.records.erase(found);
}

std::vector<Record> TransactionMirror::matches(const ChildSet& set, const Condition& condition,
                                               const Expected& expected, bool first_only) {
  std::vector<Record> found;
  auto* held = _held(set);
  if (held == nullptr) return found;
  const auto& terms = condition.terms();
  const auto& record_class = *set.record_class;
  const auto holds = [&](const Record& record) {
    for (std::size_t i = 0; i < terms.size(); ++i) {
      if (!terms[i]) return false;
      const auto field = record_class.field_index(terms[i]->field_name);
      if (!field) return record[terms[i]->field_name] == expected[i];  // throws: no such field
      if (!field_equals(record, *field, expected[i])) return false;
    }
    return true;
  };
  // Candidates by the first term other than the link, through its value index.
  const auto link_name = set.record_class->fields()[set.link_field].name;
  std::optional<std::size_t> keyed;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (terms[i] && terms[i]->field_name != link_name) {
      keyed = i;
      break;
    }
  }
  if (!keyed) {
    for (const auto& [id, record] : held->records) {
      if (!holds(record)) continue;
      found.push_back(record);
      if (first_only) break;
    }
    return found;
  }
  const auto& field = record_class.fields()[*record_class.field_index(terms[*keyed]->field_name)];
  const auto ids = _ids_with(*held, record_class, field.name, value_hash(expected[*keyed]));
  for (const auto id : ids) {
    const auto& record = held->records.at(id);
    if (!holds(record)) continue;
    found.push_back(record);
    if (first_only) break;
  }
  return found;
}

void TransactionMirror::note_found(const Record& record) {
  _last_found_in.erase(&record.record_class());
  _last_found.insert_or_assign(&record.record_class(), record);
}

void TransactionMirror::note_found_in(const ChildSet& set, std::int64_t id) {
  _last_found.erase(set.record_class);
  _last_found_in.insert_or_assign(set.record_class, std::pair{set, id});
}

void TransactionMirror::note_created(const Record& record) {
  const auto table = record.record_class().table_name();
  _created[table].insert(record.id());
  const auto [first, added] = _first_created.try_emplace(table, record.id());
  if (!added) first->second = std::min(first->second, record.id());
  _place(record);
}

void TransactionMirror::_drop_from_sets_of(const Record& record) {
  // `record` may live in one of the sets it is dropped from: read it first.
  const auto& record_class = record.record_class();
  const auto id = record.id();
  std::vector<std::pair<std::size_t, std::int64_t>> sets;
  for (const auto& link : record_class.parent_links()) {
    const auto field = *record_class.field_index(link.field);
    if (const auto parent_id = link_value(record, field)) sets.emplace_back(field, *parent_id);
  }
  for (const auto& [field, parent_id] : sets) {
    if (auto* held = _held(ChildSet{&record_class, field, parent_id})) _drop(*held, id);
  }
}

void TransactionMirror::note_updated(const Record& record, const Record* previous) {
  const auto* record_class = &record.record_class();
  if (previous != nullptr) {
    _drop_from_sets_of(*previous);
  } else {
    for (auto& [key, parents] : _sets) {
      if (key.record_class != record_class) continue;
      for (auto& [parent_id, held] : parents.held) _drop(held, record.id());
    }
  }
  if (const auto found = _last_found.find(record_class);
      found != _last_found.end() && found->second.id() == record.id()) {
    found->second = record;
  }
  _place(record);
}

void TransactionMirror::_place(const Record& record) {
  const auto& record_class = record.record_class();
  for (const auto& link : record_class.parent_links()) {
    const auto field = *record_class.field_index(link.field);
    const auto parent_id = link_value(record, field);
    if (!parent_id) continue;
    const ChildSet set{&record_class, field, *parent_id};
    if (auto* held = _held(set)) {
      _put(*held, record);
    } else if (parent_is_new(set)) {
      // Not held, so a later lookup may not take the set as only what it saw.
      _released.insert(set);
    }
  }
}

const Record* TransactionMirror::find(const RecordClass& record_class, std::int64_t id) const {
  if (const auto found = _last_found_in.find(&record_class);
      found != _last_found_in.end() && found->second.second == id) {
    if (const auto* held = _held(found->second.first)) {
      if (const auto record = held->records.find(id); record != held->records.end()) {
        return &record->second;
      }
    }
  }
  if (const auto found = _last_found.find(&record_class);
      found != _last_found.end() && found->second.id() == id) {
    return &found->second;
  }
  for (const auto& [key, parents] : _sets) {
    if (key.record_class != &record_class) continue;
    for (const auto& [parent_id, held] : parents.held) {
      if (const auto found = held.records.find(id); found != held.records.end()) {
        return &found->second;
      }
    }
  }
  return nullptr;
}

std::vector<std::int64_t> TransactionMirror::_ids_with(Held& held, const RecordClass& record_class,
                                                       std::string_view field, std::size_t hash) {
  auto [index, built] = held.by_value.try_emplace(field);
  if (built) {
    const auto position = *record_class.field_index(field);
    for (const auto& [id, record] : held.records) {
      index->second.emplace(field_hash(record, position), id);
    }
  }
  std::vector<std::int64_t> ids;
  auto [first, last] = index->second.equal_range(hash);
  for (auto entry = first; entry != last; ++entry) ids.push_back(entry->second);
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool TransactionMirror::keeps_unique(const Record& record) {
  const auto& record_class = record.record_class();
  for (const auto& index : record_class.lookup_indexes()) {
    if (!index.unique) continue;
    // A NULL in any indexed field never collides.
    if (std::any_of(index.fields.begin(), index.fields.end(), [&](std::string_view field) {
          return field_is_null(record, *record_class.field_index(field));
        })) {
      continue;
    }
    Held* siblings = nullptr;
    std::string_view link_name;
    for (const auto field : index.fields) {
      const auto position = *record_class.field_index(field);
      const auto parent_id = link_value(record, position);
      if (parent_id && parent_table_of(record_class, position)) {
        siblings = _held(ChildSet{&record_class, position, *parent_id});
        link_name = field;
        if (siblings != nullptr) break;
      }
    }
    if (siblings == nullptr) return false;
    const auto keyed = std::find_if(index.fields.begin(), index.fields.end(),
                                    [&](std::string_view field) { return field != link_name; });
    std::vector<std::int64_t> candidates;
    if (keyed == index.fields.end()) {
      for (const auto& [id, other] : siblings->records) candidates.push_back(id);
    } else {
      candidates = _ids_with(*siblings, record_class, *keyed,
                             field_hash(record, *record_class.field_index(*keyed)));
    }
    for (const auto id : candidates) {
      if (id == record.id()) continue;
      const auto& other = siblings->records.at(id);
      if (std::all_of(index.fields.begin(), index.fields.end(), [&](std::string_view field) {
            return fields_equal(other, record, *record_class.field_index(field));
          })) {
        return false;
      }
    }
  }
  return true;
}

void TransactionMirror::forget() {
  _sets.clear();
  _created.clear();
  _first_created.clear();
  _stored_children.clear();
  _released.clear();
  _last_found.clear();
  _last_found_in.clear();
}

}  // namespace kelmarion::core::detail
