#include "kelmarion_meta/tools/detail/document_access.h"

#include <fmt/format.h>

#include "kelmarion_core/errors.h"

namespace kelmarion::meta::detail {
namespace {

// The key under which each kind of entry carries its name.
std::string_view name_key(std::string_view kind) {
  if (kind == "schema") return "schema_name";
  if (kind == "table") return "table_name";
  if (kind == "view") return "view_name";
  if (kind == "column" || kind == "foreign key" || kind == "index") return "name";
  return {};
}

std::string shown_name(const Document& name) {
  auto text = name.is_string()
                  ? name.get<std::string>()
                  : name.dump(-1, ' ', false, Document::error_handler_t::replace);
  if (text.size() > 80) text = text.substr(0, 77) + "...";
  return text;
}

}  // namespace

std::string kind_name(const Document& value) {
  if (value.is_array()) return "a list";
  if (value.is_object()) return "an object";
  if (value.is_string()) return "a text";
  if (value.is_boolean()) return "a boolean";
  if (value.is_number()) return "a number";
  return "null";
}

std::string describe(const Where& where) {
  std::string text = where.parent != nullptr ? describe(*where.parent) + ", " : std::string();
  text += where.kind;
  const auto key = name_key(where.kind);
  if (!key.empty() && where.entry != nullptr && where.entry->is_object()) {
    const auto found = where.entry->find(key);
    if (found != where.entry->end() && (found->is_string() || found->is_number())) {
      return text + fmt::format(" '{}'", shown_name(*found));
    }
  }
  if (where.position > 0) text += fmt::format(" #{}", where.position);
  return text;
}

Document& as_object(Document& entry, const Where& where) {
  if (!entry.is_object()) {
    throw core::DocumentTypeError(
        fmt::format("{}: expected an object, got {}", describe(where), kind_name(entry)));
  }
  return entry;
}

Document& required(Document& entry, std::string_view key, const Where& where) {
  auto& object = as_object(entry, where);
  const auto found = object.find(key);
  if (found == object.end()) {
    throw core::MissingKeyError(
        fmt::format("{}: missing required key '{}'", describe(where), key));
  }
  return *found;
}

Document& required_list(Document& entry, std::string_view key, const Where& where) {
  auto& value = required(entry, key, where);
  if (!value.is_array()) {
    throw core::DocumentTypeError(fmt::format("key '{}' of {}: expected a list, got {}", key,
                                              describe(where), kind_name(value)));
  }
  return value;
}

Document* optional(Document& entry, std::string_view key, const Where& where) {
  auto& object = as_object(entry, where);
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

Document& object_at(Document& value, std::string_view key, const Where& where) {
  if (!value.is_object()) {
    throw core::DocumentTypeError(fmt::format("key '{}' of {}: expected an object, got {}", key,
                                              describe(where), kind_name(value)));
  }
  return value;
}

void refuse_foreign_parent_key(const Document& entry, std::string_view key, const Where& where) {
  const auto found = entry.find(key);
  if (found == entry.end() || found->is_null()) return;
  throw core::DocumentError(fmt::format(
      "{}: key '{}' is not accepted in a {} entry (a save links every entry to its parent "
      "itself)",
      describe(where), key, where.kind));
}

bool tests_true(const Document* value) {
  if (value == nullptr || value->is_null()) return false;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number_integer()) return value->get<std::int64_t>() != 0;
  if (value->is_number_float()) return value->get<double>() != 0.0;
  if (value->is_string()) return !value->get_ref<const std::string&>().empty();
  return !value->empty();  // lists and objects
}

std::string text_form(const Document& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "None";
  return value.dump(-1, ' ', false, Document::error_handler_t::replace);
}

}  // namespace kelmarion::meta::detail
