#pragma once

// The schema-level working copy of a document during a save: its own top-level
// entries (sort order, engine name, schema identifier) laid over the caller's
// document, whose top level is never written while its nested entries (the table
// and view lists) are shared, not copied.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "kelmarion_core/record.h"

namespace kelmarion::meta::detail {

class SchemaMetadata {
 public:
  // Borrows `document`, which must be an object and outlive this copy.
  explicit SchemaMetadata(nlohmann::ordered_json& document);

  // The entry under `key`: this copy's own, else the document's; nullptr when neither has it.
  [[nodiscard]] nlohmann::ordered_json* find(std::string_view key);

  // Sets an entry of this copy; the document is not touched.
  void set(const std::string& key, nlohmann::ordered_json value);

  // The entries that name fields of `record_class`, own entries over the
  // document's, as record data. Lists and objects that are not fields (the
  // tables and views) are never copied.
  [[nodiscard]] nlohmann::ordered_json record_data(const core::RecordClass& record_class) const;

  // The document, for messages that name the schema.
  [[nodiscard]] const nlohmann::ordered_json& document() const noexcept { return _document; }

 private:
  nlohmann::ordered_json& _document;
  nlohmann::ordered_json _own = nlohmann::ordered_json::object();
};

}  // namespace kelmarion::meta::detail
