#pragma once

// Names from the store written into Markdown, Mermaid and Graphviz DOT, so that
// no name can break the page or the diagram it stands in: each function first
// makes control characters and bytes that are not UTF-8 visible (escaped_text),
// then escapes what the format would read as its own.

#include <string>
#include <string_view>

namespace kelmarion::apps {

// Markdown text inside a line, a table cell too: what Markdown would read as
// syntax ('|', '`', '*', brackets, '<', '&', '#', ...; '_' unless inside a
// word) is backslash-escaped, as CommonMark reads "\|" as "|". The text never
// starts a line, so list and heading markers there need no escape.
[[nodiscard]] std::string markdown_text(std::string_view text);

// Text inside a Mermaid quoted string: '"', '#', '<', '>' and '`' as Mermaid's
// entity codes ("#quot;", "#35;", ...), so a label can neither end its string
// nor close the Markdown fence around the diagram.
[[nodiscard]] std::string mermaid_text(std::string_view text);

// A word Mermaid accepts as an attribute's type or name: ASCII letters, digits
// and '_', other characters as '_' (with a '_' first for an empty word or one that
// would start with a digit).
[[nodiscard]] std::string mermaid_word(std::string_view text);

// Text inside a Graphviz HTML-like label: '&', '<', '>', '"' as entities.
[[nodiscard]] std::string dot_html_text(std::string_view text);

// Text inside a Graphviz quoted string: '\' and '"' backslash-escaped.
[[nodiscard]] std::string dot_quoted_text(std::string_view text);

}  // namespace kelmarion::apps
