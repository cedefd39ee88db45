#include "apps/document_names.h"

#include <fmt/format.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "kelmarion_core/errors.h"

namespace kelmarion::apps {
namespace {

constexpr std::size_t shown_name_length = 80;

std::string kind_name(const meta::Document& value) {
  if (value.is_array()) return "a list";
  if (value.is_object()) return "an object";
  if (value.is_boolean()) return "a boolean";
  if (value.is_number()) return "a number";
  return "null";
}

// "table 'orders'" when the entry has a text name, else "table #2".
std::string describe(std::string_view kind, const meta::Document& entry, std::string_view key,
                     std::size_t position) {
  const auto name = entry.find(key);
  if (name != entry.end() && name->is_string()) {
    auto text = name->get<std::string>();
    if (text.size() > shown_name_length) text = text.substr(0, shown_name_length - 3) + "...";
    return fmt::format("{} '{}'", kind, text);
  }
  return fmt::format("{} #{}", kind, position);
}

void check_text(const meta::Document& entry, std::string_view key, const std::string& where) {
  const auto name = entry.find(key);
  if (name == entry.end() || name->is_string()) return;
  throw core::DocumentTypeError(
      fmt::format("key '{}' of {}: expected a text, got {}", key, where, kind_name(*name)));
}

// Every entry of the list under `key` of `parent` that is an object; the save
// reports a missing list and entries of another kind itself.
template <typename Visit>
void each_entry(const meta::Document& parent, std::string_view key, Visit visit) {
  const auto list = parent.find(key);
  if (list == parent.end() || !list->is_array()) return;
  std::size_t position = 0;
  for (const auto& entry : *list) {
    ++position;
    if (entry.is_object()) visit(entry, position);
  }
}

void check_relations(const meta::Document& document, std::string_view list_key,
                     std::string_view kind, std::string_view name_key) {
  each_entry(document, list_key, [&](const meta::Document& relation, std::size_t position) {
    const auto where = describe(kind, relation, name_key, position);
    check_text(relation, name_key, where);
    each_entry(relation, "columns", [&](const meta::Document& column, std::size_t number) {
      check_text(column, "name", fmt::format("{}, column #{}", where, number));
    });
  });
}

}  // namespace

void check_names(const meta::Document& document) {
  if (!document.is_object()) return;
  check_relations(document, "tables", "table", "table_name");
  check_relations(document, "views", "view", "view_name");
}

}  // namespace kelmarion::apps
