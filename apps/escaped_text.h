#pragma once

// Text from databases and documents (names, comments, engine messages) shown on
// a terminal: what could move the cursor, change colours or garble the line is
// written as a visible escape instead. Valid UTF-8 text, Chinese or emoji, is
// shown unchanged.
//
//   newline, tab, carriage return           \n  \t  \r
//   other C0 controls and DEL               \x1b  \x7f
//   C1 controls (U+0080 to U+009F)          \u0085
//   each byte that is not valid UTF-8       \xff
//
// A backslash stays as it is: the text is for reading, not for reading back
// (JSON output carries names exactly), and names such as "back\slash" read as
// written.

#include <string>
#include <string_view>

namespace kelmarion::apps {

[[nodiscard]] std::string escaped_text(std::string_view text);

}  // namespace kelmarion::apps
