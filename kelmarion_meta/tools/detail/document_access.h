#pragma once

// Reading the schema metadata document with errors that say where: every read of
// a required key, and every check of an entry's kind, names the entry
// ("table 'orders', column #3") and the key.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kelmarion::meta::detail {

using Document = nlohmann::ordered_json;

// Where an entry sits in the document. Formatted only when an error is thrown.
struct Where {
  std::string_view kind;               // "schema", "table", "view", "column", "index", ...
  const Document* entry = nullptr;     // the entry itself, for its name when it has one
  std::size_t position = 0;            // 1-based position in its list; 0 outside a list
  const Where* parent = nullptr;       // the entry that holds the list, if any
};

// "table 'orders', column #3", "view 'v'", "schema 'sales'".
[[nodiscard]] std::string describe(const Where& where);

// The entry, checked to be an object: DocumentTypeError otherwise.
Document& as_object(Document& entry, const Where& where);

// The value under `key` of an object entry: MissingKeyError when missing,
// DocumentTypeError when the entry is not an object.
[[nodiscard]] Document& required(Document& entry, std::string_view key, const Where& where);

// As required(), and the value must be a list.
[[nodiscard]] Document& required_list(Document& entry, std::string_view key, const Where& where);

// The value under `key`, or nullptr when the key is missing. DocumentTypeError
// when the entry is not an object.
[[nodiscard]] Document* optional(Document& entry, std::string_view key, const Where& where);

// The value under `key` checked to be an object, for writing into it.
[[nodiscard]] Document& object_at(Document& value, std::string_view key, const Where& where);

// Refuses an entry that brings a parent identifier under `key` which the save
// does not set for this kind of entry (a view's identifier in a table entry,
// say): trusted, it would attach records to another schema's parent. Throws
// DocumentError naming the entry and the key unless the key is missing or null.
void refuse_foreign_parent_key(const Document& entry, std::string_view key, const Where& where);

// "a list", "an object", "a text", "a boolean", "a number" or "null".
[[nodiscard]] std::string kind_name(const Document& value);

// True for a value that is present and not null, zero, false or empty.
[[nodiscard]] bool tests_true(const Document* value);

// The text form of a name for the log: a text as it is, null as "None", other
// values as JSON ("5").
[[nodiscard]] std::string text_form(const Document& value);

}  // namespace kelmarion::meta::detail
