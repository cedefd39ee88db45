#include "kelmarion_core/utf8.h"

#include <cstddef>

namespace kelmarion::core {
namespace {

// The length of the well-formed character starting at `at`, or 0 when the byte
// there does not start one.
std::size_t character_length(std::string_view text, std::size_t at) noexcept {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80U) return 1;
  std::size_t length = 0;
  // The range of the second byte, narrower than 80..BF after a few leads: that is
  // what rules out overlong forms, surrogates and code points above U+10FFFF.
  unsigned char low = 0x80U;
  unsigned char high = 0xBFU;
  if (lead >= 0xC2U && lead <= 0xDFU) {
    length = 2;
  } else if (lead >= 0xE0U && lead <= 0xEFU) {
    length = 3;
    if (lead == 0xE0U) low = 0xA0U;
    if (lead == 0xEDU) high = 0x9FU;
  } else if (lead >= 0xF0U && lead <= 0xF4U) {
    length = 4;
    if (lead == 0xF0U) low = 0x90U;
    if (lead == 0xF4U) high = 0x8FU;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  const auto second = static_cast<unsigned char>(text[at + 1]);
  if (second < low || second > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if (next < 0x80U || next > 0xBFU) return 0;
  }
  return length;
}

}  // namespace

bool is_valid_utf8(std::string_view text) noexcept {
  for (std::size_t at = 0; at < text.size();) {
    const auto length = character_length(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string escape_invalid_utf8(std::string_view text) {
  constexpr std::string_view hex_digits = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    if (const auto length = character_length(text, at); length != 0) {
      shown.append(text.substr(at, length));
      at += length;
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[at++]);
    shown += "\\x";
    shown += hex_digits[byte >> 4U];
    shown += hex_digits[byte & 0x0FU];
  }
  return shown;
}

}  // namespace kelmarion::core
