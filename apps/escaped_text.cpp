#include "apps/escaped_text.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace kelmarion::apps {
namespace {

// The length of the valid UTF-8 sequence at the start of `text` and its code
// point; a length of 0 when the first byte starts none (a stray continuation
// byte, an overlong form, a surrogate, past U+10FFFF, or cut short).
std::pair<std::size_t, char32_t> utf8_sequence(std::string_view text) {
  const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const auto lead = byte(0);
  if (lead < 0x80U) return {1, lead};
  // Lead byte of a 2-, 3- or 4-byte sequence: its marker bits, its share of the
  // code point, and the smallest code point that needs that many bytes.
  struct Form {
    unsigned mask, marker, payload;
    std::size_t length;
    char32_t smallest;
  };
  constexpr std::array<Form, 3> forms{{{0xE0U, 0xC0U, 0x1FU, 2, 0x80},
                                       {0xF0U, 0xE0U, 0x0FU, 3, 0x800},
                                       {0xF8U, 0xF0U, 0x07U, 4, 0x10000}}};
  const auto form = std::find_if(forms.begin(), forms.end(), [lead](const Form& each) {
    return (lead & each.mask) == each.marker;
  });
  if (form == forms.end()) return {0, 0};
  const auto length = form->length;
  char32_t code = lead & form->payload;
  if (text.size() < length) return {0, 0};
  for (std::size_t at = 1; at < length; ++at) {
    if ((byte(at) & 0xC0U) != 0x80U) return {0, 0};
    code = (code << 6U) | (byte(at) & 0x3FU);
  }
  if (code < form->smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {0, 0};
  return {length, code};
}

}  // namespace

std::string escaped_text(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  while (!text.empty()) {
    const auto [length, code] = utf8_sequence(text);
    if (length == 0) {
      shown += fmt::format("\\x{:02x}", static_cast<unsigned char>(text.front()));
      text.remove_prefix(1);
      continue;
    }
    if (code == '\n') {
      shown += "\\n";
    } else if (code == '\t') {
      shown += "\\t";
    } else if (code == '\r') {
      shown += "\\r";
    } else if (code < 0x20 || code == 0x7F) {
      shown += fmt::format("\\x{:02x}", static_cast<std::uint32_t>(code));
    } else if (code >= 0x80 && code <= 0x9F) {
      shown += fmt::format("\\u{:04x}", static_cast<std::uint32_t>(code));
    } else {
      shown += text.substr(0, length);
    }
    text.remove_prefix(length);
  }
  return shown;
}

}  // namespace kelmarion::apps
