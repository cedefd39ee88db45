#pragma once

// Records of the store. A RecordClass describes one table: its name, its fields
// in column order (the first is the integer identifier the database assigns),
// and the field lists that lookups use, each backed by an index. A Record is one
// stored row, read back from the database, whose fields are read by name.

#include <array>
#include <concepts>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelmarion_core/row_image.h"

namespace kelmarion::core {

// How a field is stored and compared.
enum class FieldKind {
  integer,  // 64-bit integer; the identifier and parent links, sort orders
  text,     // text; a number or boolean given for it is stored in its text form
  boolean,  // true/false; an integer given for it counts as true when non-zero
  json,     // any JSON value (lists of column names, option objects), compared whole
};

struct FieldSpec {
  std::string_view name;
  FieldKind kind;
};

// The fields of one lookup, in the order of its predicates. A unique lookup is
// a natural key: the store refuses a second record with the same values.
struct LookupIndex {
  std::vector<std::string_view> fields;
  bool unique = false;
};

// A field that holds the identifier of a parent record (a column's table, say).
// A record is only ever created under a parent that exists, so a parent created
// in the current transaction has no children but those created after it there.
struct ParentLink {
  std::string_view field;
  std::string_view parent_table;
};

// Immutable description of a record table. Instances live for the whole program
// (each record class keeps one as a function-local static), so Records and
// Predicates may point at them freely.
class RecordClass {
 public:
  // The most fields a record class may have, its identifier included.
  static constexpr std::size_t max_fields = 64;

  // `fields` starts with the identifier field; `lookup_indexes` describes each
  // lookup the store makes, each backed by an index; `parent_links` names the
  // fields that link a record to its parent records. A lookup by `lock_field`
  // inside a transaction first takes the lock named by the value it looks for
  // (AsyncSession::lock_schema), so that two sessions never both create the
  // record. Throws core::Error naming the class when the first field is not an
  // integer, there are more than max_fields fields, or a parent link or the
  // lock field is not a field of the right kind.
  RecordClass(std::string_view table_name, std::vector<FieldSpec> fields,
              std::vector<LookupIndex> lookup_indexes, std::vector<ParentLink> parent_links = {},
              std::string_view lock_field = {});

  [[nodiscard]] std::string_view table_name() const noexcept { return _table_name; }
  [[nodiscard]] std::span<const FieldSpec> fields() const noexcept { return _fields; }
  [[nodiscard]] std::string_view id_field() const noexcept { return _fields.front().name; }
  [[nodiscard]] const std::vector<LookupIndex>& lookup_indexes() const noexcept {
    return _lookup_indexes;
  }
  [[nodiscard]] const std::vector<ParentLink>& parent_links() const noexcept {
    return _parent_links;
  }
  // The text field whose lookups take a lock, or empty.
  [[nodiscard]] std::string_view lock_field() const noexcept { return _lock_field; }

  // Position of the named field in fields(), or nullopt for a name that is not one.
  [[nodiscard]] std::optional<std::size_t> field_index(std::string_view name) const noexcept;

 private:
  std::string_view _table_name;
  std::vector<FieldSpec> _fields;
  std::vector<LookupIndex> _lookup_indexes;
  std::vector<ParentLink> _parent_links;
  std::string_view _lock_field;
  // field_index() runs for every key of every record saved: an open-addressed
  // table of field positions + 1 (0: empty), hashed on a name's length and ends.
  static constexpr std::size_t slot_count = 256;
  std::array<std::uint8_t, slot_count> _slots{};
  [[nodiscard]] static std::size_t _slot_of(std::string_view name) noexcept;
};

// The table names of every record class made so far in this process. A store
// knows its own tables by them: a database holding such a table without the
// store's version row belongs to someone else and is never written.
[[nodiscard]] std::vector<std::string> known_record_tables();
// The record class made for `table_name`, or nullptr.
[[nodiscard]] const RecordClass* find_record_class(std::string_view table_name);

// One stored record: a value per field of its class, as the database holds it.
// Absent values are JSON null; json fields hold the parsed JSON value. A record
// never changes, so copies share their values: copying one is cheap. A record
// made from a row image builds its JSON values when a field other than the
// identifier is first read (once, safely from any thread).
class Record {
 public:
  // `values` has one entry per field of `record_class`, in field order.
  Record(const RecordClass& record_class, std::vector<nlohmann::ordered_json> values);
  // `image` has one cell per field of `record_class`: integers of boolean fields
  // read as booleans, texts of json fields as the JSON value they hold.
  Record(const RecordClass& record_class, RowImage image);
  // The record whose image `fill` writes into a new image of NULL cells, one per
  // field of `record_class`: the same as the constructor above, built in place.
  template <std::invocable<RowImage&> Fill>
  [[nodiscard]] static Record from_image(const RecordClass& record_class, Fill&& fill) {
    Record record(record_class);
    std::forward<Fill>(fill)(record._image_to_fill());
    record._image_filled();
    return record;
  }

  [[nodiscard]] const RecordClass& record_class() const noexcept { return *_record_class; }

  // The value of the named field. Throws core::Error naming the record class
  // when `field` is not one of its fields.
  [[nodiscard]] const nlohmann::ordered_json& operator[](std::string_view field) const;

  // The identifier the database assigned when the record was first stored.
  [[nodiscard]] std::int64_t id() const;

  // The row image the record was made from, or nullptr.
  [[nodiscard]] const RowImage* image() const;

  // A new JSON object from field name to value, in field order.
  [[nodiscard]] nlohmann::ordered_json model_dump() const;

 private:
  struct State;
  // A record of NULL cells, for from_image() to fill.
  explicit Record(const RecordClass& record_class);
  Record(const RecordClass& record_class, std::shared_ptr<State> state);
  [[nodiscard]] RowImage& _image_to_fill() noexcept;
  void _image_filled();

  const RecordClass* _record_class;
  std::shared_ptr<State> _state;
};

}  // namespace kelmarion::core
