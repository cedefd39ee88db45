#include "kelmarion_core/row_image.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace kelmarion::core {

RowImage::RowImage(std::size_t field_count) : _size(field_count) {
  if (field_count > inline_cells) _heap.resize(field_count);
}

void RowImage::set_integer(std::size_t field, std::int64_t value) noexcept {
  _cell(field) = Cell{value, 0, CellKind::integer};
}

void RowImage::set_text(std::size_t field, std::string_view text) {
  // Cells keep 32-bit lengths; SQLite and PostgreSQL values stay far below that.
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("stored text longer than 4 GiB");
  }
  const auto offset = _text_size;
  if (_text_is_long) {
    _long_text.append(text);
  } else if (offset + text.size() <= inline_text) {
    std::copy(text.begin(), text.end(), _short_text.begin() + static_cast<std::ptrdiff_t>(offset));
  } else {
    reserve_text(text.size());
    _long_text.append(text);
  }
  _text_size += text.size();
  _cell(field) = Cell{static_cast<std::int64_t>(offset), static_cast<std::uint32_t>(text.size()),
                      CellKind::text};
}

void RowImage::reserve_text(std::size_t bytes) {
  const auto needed = _text_size + bytes;
  if (_text_is_long) {
    _long_text.reserve(needed);
  } else if (needed > inline_text) {
    _long_text.reserve(needed);
    _long_text.assign(_short_text.data(), _text_size);
    _text_is_long = true;
  }
}

std::string_view RowImage::text(std::size_t field) const noexcept {
  const auto& cell = _cell(field);
  return {_text_data() + cell.number, cell.size};
}

}  // namespace kelmarion::core
