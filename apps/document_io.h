#pragma once

// Reading and writing schema metadata documents as JSON text.

#include <optional>
#include <string>

#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::apps {

// The document in the file `path`, or on standard input for "-". Throws
// UsageError naming the file when it cannot be read, is not JSON (with the line
// and column), nests lists and objects deeper than 100 levels, or is not a
// non-empty object, or when `path` is a directory.
[[nodiscard]] meta::Document read_document(const std::string& path);

// Throws core::DocumentError naming the first text of `document`, key or
// value, that is not valid UTF-8 and where it is ("tables[2].table_name"): the
// JSON writer would replace its bytes, and distinct names would read back alike.
void require_utf8_text(const meta::Document& document);

// `document` as JSON text followed by a newline, indented when `pretty`.
// Throws as require_utf8_text() does.
[[nodiscard]] std::string document_text(const meta::Document& document, bool pretty);

// Writes document_text(): into the file `path` (replacing it, see
// OutputFile), or to standard output when `path` is absent or "-". Nothing is
// written when the text is refused. Throws UsageError when the file cannot be
// opened, std::system_error when the system refuses a write.
void write_document(const meta::Document& document, const std::optional<std::string>& path,
                    bool pretty);

// True when `path` means standard output (absent or "-").
[[nodiscard]] bool is_standard_output(const std::optional<std::string>& path);

// True when standard output is a terminal, where documents are indented.
[[nodiscard]] bool stdout_is_terminal();

}  // namespace kelmarion::apps
