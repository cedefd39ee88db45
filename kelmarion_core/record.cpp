#include "kelmarion_core/record.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>

#include "kelmarion_core/detail/sql_value.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/json_object.h"

namespace kelmarion::core {
namespace {

struct RecordTables {
  std::mutex mutex;
  std::vector<std::string> names;
  std::vector<const RecordClass*> classes;  // by name's position
};

RecordTables& record_tables() {
  static RecordTables tables;
  return tables;
}

void remember_record_class(const RecordClass& record_class) {
  auto& tables = record_tables();
  const std::lock_guard lock(tables.mutex);
  const auto name = record_class.table_name();
  const auto found = std::find(tables.names.begin(), tables.names.end(), name);
  if (found == tables.names.end()) {
    tables.names.emplace_back(name);
    tables.classes.push_back(&record_class);
  } else {
    tables.classes[static_cast<std::size_t>(found - tables.names.begin())] = &record_class;
  }
}

}  // namespace

std::vector<std::string> known_record_tables() {
  auto& tables = record_tables();
  const std::lock_guard lock(tables.mutex);
  return tables.names;
}

const RecordClass* find_record_class(std::string_view table_name) {
  auto& tables = record_tables();
  const std::lock_guard lock(tables.mutex);
  const auto found = std::find(tables.names.begin(), tables.names.end(), table_name);
  if (found == tables.names.end()) return nullptr;
  return tables.classes[static_cast<std::size_t>(found - tables.names.begin())];
}

RecordClass::RecordClass(std::string_view table_name, std::vector<FieldSpec> fields,
                         std::vector<LookupIndex> lookup_indexes,
                         std::vector<ParentLink> parent_links, std::string_view lock_field)
    : _table_name(table_name),
      _fields(std::move(fields)),
      _lookup_indexes(std::move(lookup_indexes)),
      _parent_links(std::move(parent_links)),
      _lock_field(lock_field) {
  if (_fields.empty() || _fields.front().kind != FieldKind::integer) {
    throw Error(fmt::format("record class '{}': the first field must be the integer identifier",
                            table_name));
  }
  // Writes name the fields they set by a bit each in a 64-bit mask.
  static_assert(max_fields <= 64 && max_fields < slot_count / 2);
  if (_fields.size() > max_fields) {
    throw Error(
        fmt::format("record class '{}': {} fields, more than the {} a record class may have",
                    table_name, _fields.size(), max_fields));
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
  if (!_lock_field.empty()) {
    const auto index = field_index(_lock_field);
    if (!index || _fields[*index].kind != FieldKind::text) {
      throw Error(fmt::format("record class '{}': lock field '{}' is not a text field", table_name,
                              _lock_field));
    }
  }
  remember_record_class(*this);
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

namespace {

// The document value of one cell of a row image of `record_class`.
nlohmann::ordered_json cell_value(const RecordClass& record_class, const RowImage& image,
                                  std::size_t field) {
  switch (image.kind(field)) {
    case RowImage::CellKind::null:
      return nullptr;
    case RowImage::CellKind::integer:
      if (record_class.fields()[field].kind == FieldKind::boolean) {
        return image.integer(field) != 0;
      }
      return image.integer(field);
    case RowImage::CellKind::text:
      return detail::from_stored_text(record_class, image, field);
  }
  return nullptr;
}

// Keeps a few freed blocks of one size per thread for the next allocation:
// a save makes and drops a record state for every record it writes, and the
// general allocator is slow at that rate. Under AddressSanitizer blocks go back
// at once, so that a use after free is still caught.
template <typename T>
class RecyclingAllocator {
 public:
  using value_type = T;

  RecyclingAllocator() = default;
  template <typename U>
  RecyclingAllocator(const RecyclingAllocator<U>& /*other*/) noexcept {}  // NOLINT: rebinding

  T* allocate(std::size_t count) {
    if (auto* pool = _pool(); pool != nullptr && count == 1) {
      if (T* block = pool->take()) return block;
    }
    return std::allocator<T>().allocate(count);
  }
  void deallocate(T* block, std::size_t count) noexcept {
    if (auto* pool = _pool(); pool != nullptr && count == 1 && pool->keep(block)) return;
    std::allocator<T>().deallocate(block, count);
  }

  template <typename U>
  bool operator==(const RecyclingAllocator<U>& /*other*/) const noexcept {
    return true;
  }

 private:
  class Pool {
   public:
    explicit Pool(bool& gone) : _gone(gone) {}
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool() {
      for (std::size_t i = 0; i < _count; ++i) std::allocator<T>().deallocate(_blocks[i], 1);
      _gone = true;  // records freed later in this thread's exit bypass the pool
    }
    T* take() noexcept { return _count == 0 ? nullptr : _blocks[--_count]; }
    bool keep(T* block) noexcept {
#if defined(__SANITIZE_ADDRESS__)
      (void)block;
      return false;
#else
      if (_count == _blocks.size()) return false;
      _blocks[_count++] = block;
      return true;
#endif
    }

   private:
    bool& _gone;
    std::array<T*, 16> _blocks{};
    std::size_t _count = 0;
  };
  // This thread's pool, or nullptr once it is destroyed.
  static Pool* _pool() noexcept {
    thread_local bool gone = false;  // trivially destructible: valid to the thread's end
    if (gone) return nullptr;
    thread_local Pool pool(gone);
    return &pool;
  }
};

}  // namespace

// Either the values were given, or they are made from the image on first read.
struct Record::State {
  explicit State(std::vector<nlohmann::ordered_json> given)
      : id(given.front()), values(std::move(given)) {}
  State(const RecordClass& record_class, RowImage row)
      : from_image(true), image(std::move(row)), id(cell_value(record_class, image, 0)) {}
  // An image of NULL cells, to be filled in place.
  explicit State(const RecordClass& record_class)
      : from_image(true), image(record_class.fields().size()) {}

  const std::vector<nlohmann::ordered_json>& all(const RecordClass& record_class) {
    if (!from_image) return values;
    std::call_once(made, [&] {
      const auto fields = record_class.fields();
      values.reserve(fields.size());
      for (std::size_t i = 0; i < fields.size(); ++i) {
        values.push_back(cell_value(record_class, image, i));
      }
    });
    return values;
  }

  const bool from_image = false;
  RowImage image;
  nlohmann::ordered_json id;  // the identifier field, read without making the rest
  std::once_flag made;
  std::vector<nlohmann::ordered_json> values;
};

Record::Record(const RecordClass& record_class, std::vector<nlohmann::ordered_json> values)
    : _record_class(&record_class) {
  if (values.size() != record_class.fields().size()) {
    throw Error(fmt::format("record of '{}': {} values for {} fields", record_class.table_name(),
                            values.size(), record_class.fields().size()));
  }
  _state = std::allocate_shared<State>(RecyclingAllocator<State>(), std::move(values));
}

Record::Record(const RecordClass& record_class, RowImage image) : _record_class(&record_class) {
  if (image.size() != record_class.fields().size()) {
    throw Error(fmt::format("record of '{}': {} values for {} fields", record_class.table_name(),
                            image.size(), record_class.fields().size()));
  }
  _state = std::allocate_shared<State>(RecyclingAllocator<State>(), record_class, std::move(image));
}

Record::Record(const RecordClass& record_class)
    : _record_class(&record_class),
      _state(std::allocate_shared<State>(RecyclingAllocator<State>(), record_class)) {}

Record::Record(const RecordClass& record_class, std::shared_ptr<State> state)
    : _record_class(&record_class), _state(std::move(state)) {}

RowImage& Record::_image_to_fill() noexcept { return _state->image; }

void Record::_image_filled() { _state->id = cell_value(*_record_class, _state->image, 0); }

const nlohmann::ordered_json& Record::operator[](std::string_view field) const {
  const auto index = _record_class->field_index(field);
  if (!index) {
    throw Error(
        fmt::format("record of '{}' has no field '{}'", _record_class->table_name(), field));
  }
  if (*index == 0) return _state->id;
  return _state->all(*_record_class)[*index];
}

std::int64_t Record::id() const { return _state->id.get<std::int64_t>(); }

const RowImage* Record::image() const {
  if (!_state->from_image) return nullptr;
  return &_state->image;
}

nlohmann::ordered_json Record::model_dump() const {
  auto dump = nlohmann::ordered_json::object();
  const auto fields = _record_class->fields();
  reserve_entries(dump, fields.size());
  const auto* row = image();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    // From the image when there is one: the values need not be made and then copied.
    dump[std::string(fields[i].name)] =
        row != nullptr ? cell_value(*_record_class, *row, i) : _state->all(*_record_class)[i];
  }
  return dump;
}

}  // namespace kelmarion::core
