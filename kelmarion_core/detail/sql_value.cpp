#include "kelmarion_core/detail/sql_value.h"

#include <fmt/format.h>

#include "kelmarion_core/detail/plain_json.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/json_reader.h"

namespace kelmarion::core::detail {
namespace {

[[noreturn]] void throw_kind_mismatch(std::string_view table_name, std::string_view field_name,
                                      std::string_view expected,
                                      const nlohmann::ordered_json& value) {
  auto shown = value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
  throw DocumentTypeError(fmt::format("{}: field '{}' expects {}, got {} {}", table_name,
                                      field_name, expected, value.type_name(), shown));
}

// Whether lists and objects in the JSON `text` open more than `max_depth` deep.
// A scan of the text rather than a parse, so that it needs no stack of its own;
// brackets inside strings do not count.
bool nests_deeper_than(std::string_view text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (in_string) {
      if (c == '\\') {
        ++at;  // the escaped character cannot end the string
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

std::string serialized(const nlohmann::ordered_json& value) {
  if (std::string text; append_plain_json(value, text)) return text;
  // Invalid UTF-8 in a document is kept byte for byte rather than rejected.
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::ignore);
}

}  // namespace

SqlValue to_sql_value(std::string_view table_name, std::string_view field_name, FieldKind kind,
                      const nlohmann::ordered_json& value) {
  if (value.is_null()) return std::monostate{};
  switch (kind) {
    case FieldKind::integer:
      if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
          throw_kind_mismatch(table_name, field_name, "a 64-bit integer", value);
        }
        return value.get<std::int64_t>();
      }
      if (value.is_boolean()) return std::int64_t{value.get<bool>() ? 1 : 0};
      throw_kind_mismatch(table_name, field_name, "an integer", value);
    case FieldKind::boolean:
      if (value.is_boolean()) return std::int64_t{value.get<bool>() ? 1 : 0};
      if (value.is_number_integer()) return std::int64_t{value.get<std::int64_t>() != 0 ? 1 : 0};
      throw_kind_mismatch(table_name, field_name, "a boolean", value);
    case FieldKind::text:
      if (value.is_string()) return value.get<std::string>();
      return serialized(value);
    case FieldKind::json:
      return serialized(value);
  }
  throw_kind_mismatch(table_name, field_name, "a known kind", value);
}

FieldValues collect_field_values(const RecordClass& record_class,
                                 const nlohmann::ordered_json& data) {
  if (!data.is_object()) {
    throw DocumentTypeError(fmt::format("{}: record data must be an object, got {}",
                                        record_class.table_name(), data.type_name()));
  }
  const auto fields = record_class.fields();
  FieldValues result;
  result.present.assign(fields.size(), false);
  result.values.resize(fields.size());
  result.given.assign(fields.size(), nullptr);
  for (const auto& [key, value] : data.items()) {
    const auto index = record_class.field_index(key);
    // The identifier is the database's to assign; a stale one in the data is ignored.
    if (!index || *index == 0) continue;
    const auto& field = fields[*index];
    result.values[*index] = to_sql_value(record_class.table_name(), field.name, field.kind, value);
    result.present[*index] = true;
    result.given[*index] = &value;
    result.mask |= std::uint64_t{1} << *index;
  }
  return result;
}

std::vector<SqlValue> present_values(FieldValues given) {
  std::vector<SqlValue> values;
  for (std::size_t i = 1; i < given.values.size(); ++i) {
    if (given.present[i]) values.push_back(std::move(given.values[i]));
  }
  return values;
}

nlohmann::ordered_json from_stored_text(const RecordClass& record_class, const RowImage& image,
                                        std::size_t field) {
  const auto text = image.text(field);
  const auto& spec = record_class.fields()[field];
  if (spec.kind != FieldKind::json) return std::string(text);
  // Plain JSON is never deeper than the plain reader goes, far less than the limit.
  if (auto plain = parse_plain_json(text)) return std::move(*plain);
  if (nests_deeper_than(text, max_json_depth)) {
    const auto record = image.kind(0) == RowImage::CellKind::integer
                            ? fmt::format(", record {}", image.integer(0))
                            : std::string();
    throw DatabaseError(fmt::format("table '{}'{}, field '{}': JSON nested deeper than {} levels",
                                    record_class.table_name(), record, spec.name, max_json_depth),
                        "", "", "");
  }
  auto parsed = nlohmann::ordered_json::parse(text, nullptr, false);
  if (parsed.is_discarded()) return std::string(text);
  return parsed;
}

}  // namespace kelmarion::core::detail
