#include "kelmarion_core/detail/sqlite_created_records.h"

#include <algorithm>
#include <limits>
#include <variant>

#include "kelmarion_core/detail/sql_value.h"

namespace kelmarion::core::detail {
namespace {

constexpr std::int64_t nothing_let_go = std::numeric_limits<std::int64_t>::min();
constexpr std::size_t reserved_hashes = 64;

// Hashes of stored values, the same for a cell of a row image and for the value
// a query binds for it: NULL, an integer or text.
constexpr std::uint64_t null_hash = 0x9e3779b97f4a7c15ULL;

std::uint64_t integer_hash(std::int64_t value) {
  return std::hash<std::int64_t>()(value) * 0xff51afd7ed558ccdULL + 1;
}

std::uint64_t text_hash(std::string_view text) {
  return std::hash<std::string_view>()(text) * 0xc4ceb9fe1a85ec53ULL + 2;
}

std::uint64_t combine(std::uint64_t hash, std::uint64_t value) {
  return (hash ^ value) * 0x100000001b3ULL + (hash >> 29U);
}

std::uint64_t cell_hash(const RowImage& image, std::size_t field) {
  switch (image.kind(field)) {
    case RowImage::CellKind::null:
      return null_hash;
    case RowImage::CellKind::integer:
      return integer_hash(image.integer(field));
    case RowImage::CellKind::text:
      return text_hash(image.text(field));
  }
  return null_hash;
}

// The hash of what a query binds for `value` in a field of `kind`: converted as
// the query converts it (which throws for a value the field cannot take).
std::uint64_t term_hash(std::string_view table, const FieldSpec& field,
                        const nlohmann::ordered_json& value) {
  if (value.is_null()) return null_hash;
  if (field.kind == FieldKind::text) {
    if (const auto* text = value.get_ptr<const std::string*>()) return text_hash(*text);
  }
  if (field.kind == FieldKind::integer && value.is_number_integer() &&
      !value.is_number_unsigned()) {
    return integer_hash(value.get<std::int64_t>());
  }
  const auto converted = to_sql_value(table, field.name, field.kind, value);
  if (const auto* integer = std::get_if<std::int64_t>(&converted)) return integer_hash(*integer);
  if (const auto* text = std::get_if<std::string>(&converted)) return text_hash(*text);
  return null_hash;
}

}  // namespace

std::size_t CreatedRecords::ParentKeyHash::operator()(const ParentKey& key) const noexcept {
  const auto combined = std::hash<const void*>()(key.child_class) * 31U + key.link;
  return combined * 1000003U ^ std::hash<std::int64_t>()(key.parent);
}

void CreatedRecords::clear() {
  _trusted = true;
  for (auto& state : _classes) {
    state.created_any = false;
    state.changed = false;
    std::fill(state.no_stored_children.begin(), state.no_stored_children.end(), 0);
    std::fill(state.let_go_through.begin(), state.let_go_through.end(), nothing_let_go);
  }
  _children.clear();
  _kept_order.clear();
}

CreatedRecords::ClassState& CreatedRecords::_state(const RecordClass& record_class) {
  for (auto& state : _classes) {
    if (state.record_class == &record_class) return state;
  }
  ClassState state;
  state.record_class = &record_class;
  for (const auto& lookup : record_class.lookup_indexes()) {
    auto& fields = state.lookups.emplace_back();
    for (const auto name : lookup.fields) fields.push_back(*record_class.field_index(name));
  }
  const auto& links = record_class.parent_links();
  state.no_stored_children.assign(links.size(), 0);
  state.let_go_through.assign(links.size(), nothing_let_go);
  for (const auto& link : links) state.link_fields.push_back(*record_class.field_index(link.field));
  state.parents.assign(links.size(), nullptr);
  return _classes.emplace_back(std::move(state));
}

CreatedRecords::ClassState* CreatedRecords::_state_of_table(std::string_view table) noexcept {
  for (auto& state : _classes) {
    if (state.record_class->table_name() == table) return &state;
  }
  return nullptr;
}

CreatedRecords::ClassState* CreatedRecords::_parent(ClassState& state, std::size_t link) noexcept {
  auto*& parent = state.parents[link];
  if (parent == nullptr) {
    parent = _state_of_table(state.record_class->parent_links()[link].parent_table);
  }
  return parent;
}

bool CreatedRecords::_created(const ClassState* state, std::int64_t id) noexcept {
  return state != nullptr && state->created_any && state->first <= id && id <= state->last;
}

void CreatedRecords::note_update(const RecordClass& record_class) {
  _state(record_class).changed = true;
}

void CreatedRecords::note_insert(const Record& record) {
  if (!_trusted) return;
  const auto& record_class = record.record_class();
  auto& state = _state(record_class);
  const auto id = record.id();
  if (!state.created_any) {
    state.created_any = true;
    state.first = id;
  } else if (id <= state.last) {
    // Identifiers that stop growing may repeat ones whose children are stored.
    _trusted = false;
    return;
  }
  state.last = id;
  const auto* image = record.image();
  for (std::size_t link = 0; link < state.link_fields.size(); ++link) {
    const auto field = state.link_fields[link];
    if (image->kind(field) != RowImage::CellKind::integer) continue;
    const auto parent = image->integer(field);
    const auto* parents = _parent(state, link);
    if (!_created(parents, parent)) {
      // Under a parent that may be created later: its children would be unknown.
      if (parents == nullptr || !parents->created_any || parent > parents->last) {
        state.changed = true;
      }
      continue;
    }
    auto* hashes = _keep(state, {&record_class, link, parent});
    if (hashes == nullptr) continue;
    for (const auto& lookup : state.lookups) {
      std::uint64_t hash = 0;
      for (const auto key_field : lookup) hash = combine(hash, cell_hash(*image, key_field));
      hashes->push_back(hash);
    }
    state.most_hashes = std::max(state.most_hashes, hashes->size());
  }
}

std::vector<std::uint64_t>* CreatedRecords::_keep(ClassState& state, const ParentKey& key) {
  if (const auto kept = _children.find(key); kept != _children.end()) return &kept->second;
  // Not kept: either it had no child yet, or its children were let go.
  if (key.parent <= state.let_go_through[key.link]) return nullptr;
  Children::node_type entry;
  if (_kept_order.size() == kept_parents) {
    const auto oldest = _kept_order.front();
    _kept_order.pop_front();
    // Its class has a state: note_insert() made one before keeping it.
    auto& through = _state(*oldest.child_class).let_go_through[oldest.link];
    through = std::max(through, oldest.parent);
    entry = _children.extract(oldest);
    entry.key() = key;
    entry.mapped().clear();  // keeps its room for the next parent's children
  }
  _kept_order.push_back(key);
  auto& hashes = entry.empty() ? _children.try_emplace(key).first->second
                               : _children.insert(std::move(entry)).position->second;
  // Room for as many children as the largest family of the class yet, within
  // reason: one parent with very many children must not make every entry large.
  hashes.reserve(std::min(state.most_hashes, reserved_hashes));
  return &hashes;
}

bool CreatedRecords::finds_nothing(const RecordClass& record_class, const Condition& condition,
                                   std::span<const std::size_t> fields) {
  if (!_trusted) return false;
  auto& state = _state(record_class);
  if (state.changed) return false;
  const auto& terms = condition.terms();
  // A term on a link field whose value is a parent created in this transaction.
  const auto link_count = state.link_fields.size();
  std::size_t link = link_count;
  std::int64_t parent = 0;
  for (std::size_t l = 0; l < link_count && link == link_count; ++l) {
    const auto field = state.link_fields[l];
    for (std::size_t t = 0; t < terms.size(); ++t) {
      const auto& value = terms[t]->value;
      if (fields[t] != field || !value.is_number_integer() || value.is_number_unsigned()) continue;
      if (!_created(_parent(state, l), value.get<std::int64_t>())) continue;
      link = l;
      parent = value.get<std::int64_t>();
      break;
    }
  }
  if (link == link_count) return false;

  // The terms must be those of one lookup index, whose hashes the children keep.
  std::size_t lookup = 0;
  while (lookup < state.lookups.size() &&
         !(state.lookups[lookup].size() == fields.size() &&
           std::is_permutation(fields.begin(), fields.end(), state.lookups[lookup].begin()))) {
    ++lookup;
  }
  if (lookup == state.lookups.size()) return false;

  // No record stored before the transaction may refer to a new parent.
  auto& no_stored = state.no_stored_children[link];
  if (no_stored == 0) {
    const auto first_parent = _parent(state, link)->first;
    const auto link_field = record_class.parent_links()[link].field;
    no_stored = _stored_children(record_class, link_field, first_parent) ? 2 : 1;
  }
  if (no_stored != 1) return false;

  const auto children = _children.find({&record_class, link, parent});
  // Not kept: no child yet, unless its children were let go.
  if (children == _children.end()) return parent > state.let_go_through[link];
  std::uint64_t hash = 0;
  for (const auto field : state.lookups[lookup]) {
    const auto term =
        static_cast<std::size_t>(std::find(fields.begin(), fields.end(), field) - fields.begin());
    hash = combine(hash, term_hash(record_class.table_name(), record_class.fields()[field],
                                   terms[term]->value));
  }
  const auto& hashes = children->second;
  for (std::size_t at = lookup; at < hashes.size(); at += state.lookups.size()) {
    // The same hash: probably the same values, which the query settles.
    if (hashes[at] == hash) return false;
  }
  return true;
}

}  // namespace kelmarion::core::detail
