#pragma once

// Checking that text is well-formed UTF-8, and showing text that is not.
//
// Well-formed means what Unicode and PostgreSQL accept: no overlong forms, no
// UTF-16 surrogates (U+D800 to U+DFFF), nothing above U+10FFFF, no sequence cut
// short. U+0000 is well-formed. Neither function allocates more than its result
// or depends on anything beyond the standard library.

#include <string>
#include <string_view>

namespace kelmarion::core {

// Whether all of `text` is well-formed UTF-8.
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

// `text` for a message: its well-formed characters as they are, every byte that
// is not part of one as "\xNN" (two lowercase hex digits), so that a message
// naming it is well-formed UTF-8 and shows which bytes are wrong.
[[nodiscard]] std::string escape_invalid_utf8(std::string_view text);

}  // namespace kelmarion::core
