#include "kelmarion_core/row_image.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace kelmarion::core {

RowImage::RowImage(const RowImage& other)
    : _size(other._size), _text_size(other._text_size), _text_capacity(other._text_size) {
  const auto bytes = _size * sizeof(Cell) + _text_size;
  if (other._buffer) {
    _buffer.reset(new char[bytes]);
    std::memcpy(_buffer.get(), other._buffer.get(), bytes);
  }
}

RowImage& RowImage::operator=(const RowImage& other) {
  if (this != &other) *this = RowImage(other);
  return *this;
}

void RowImage::_grow(std::size_t capacity) {
  // new char[] is aligned for any fundamental type, so also for the cells.
  std::unique_ptr<char[]> grown(new char[_size * sizeof(Cell) + capacity]);
  if (_buffer) {
    std::memcpy(grown.get(), _buffer.get(), _size * sizeof(Cell) + _text_size);
  } else {
    std::uninitialized_fill_n(reinterpret_cast<Cell*>(grown.get()), _size, Cell{});
  }
  _buffer = std::move(grown);
  _text_capacity = capacity;
}

void RowImage::reserve_text(std::size_t bytes) {
  if (!_buffer || _text_size + bytes > _text_capacity) _grow(_text_size + bytes);
}

void RowImage::set_integer(std::size_t field, std::int64_t value) {
  if (!_buffer) _grow(0);
  _cells()[field] = Cell{value, 0, CellKind::integer};
}

void RowImage::set_text(std::size_t field, std::string_view text) {
  // Cells keep 32-bit lengths; SQLite and PostgreSQL values stay far below that.
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("stored text longer than 4 GiB");
  }
  if (!_buffer || _text_size + text.size() > _text_capacity) {
    _grow(std::max(_text_size + text.size(), 2 * _text_capacity));
  }
  const auto offset = _text_size;
  if (!text.empty()) std::memcpy(_texts() + offset, text.data(), text.size());
  _text_size += text.size();
  _cells()[field] = Cell{static_cast<std::int64_t>(offset), static_cast<std::uint32_t>(text.size()),
                         CellKind::text};
}

std::string_view RowImage::text(std::size_t field) const noexcept {
  const auto& cell = _cells()[field];
  return {_texts() + cell.number, cell.size};
}

}  // namespace kelmarion::core
