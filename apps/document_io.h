#pragma once

// Reading and writing schema metadata documents as JSON text.

#include <optional>
#include <string>

#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::apps {

// The document in the file `path`, or on standard input for "-". Throws
// UsageError naming the file when it cannot be read, is not JSON (with the line
// and column), nests lists and objects deeper than 100 levels, or is not a
// non-empty object.
[[nodiscard]] meta::Document read_document(const std::string& path);

// Writes `document` as JSON followed by a newline: into the file `path`
// (replacing it), or to standard output when `path` is absent or "-". Indented
// when `pretty`. Text that is not valid UTF-8 is written with replacement
// characters. Throws UsageError when the file cannot be written.
void write_document(const meta::Document& document, const std::optional<std::string>& path,
                    bool pretty);

// True when `path` means standard output (absent or "-").
[[nodiscard]] bool is_standard_output(const std::optional<std::string>& path);

// True when standard output is a terminal, where documents are indented.
[[nodiscard]] bool stdout_is_terminal();

}  // namespace kelmarion::apps
