#pragma once

// A stored row in compact form: per field NULL, an integer or text, in one
// buffer sized to the row (the cells, then the texts). A backend fills one from
// the values it bound or read: one allocation, where a row of JSON values costs
// one per text. The JSON values are made only for the fields someone reads.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace kelmarion::core {

class RowImage {
 public:
  enum class CellKind : std::uint8_t { null, integer, text };

  RowImage() = default;
  // `field_count` fields, all NULL. The buffer is made by the first reserve_text()
  // or set_*() call, so that an image whose texts are reserved first takes one
  // allocation.
  explicit RowImage(std::size_t field_count) noexcept : _size(field_count) {}
  RowImage(const RowImage& other);
  RowImage& operator=(const RowImage& other);
  RowImage(RowImage&&) noexcept = default;
  RowImage& operator=(RowImage&&) noexcept = default;
  ~RowImage() = default;

  [[nodiscard]] std::size_t size() const noexcept { return _size; }

  // Makes room for `bytes` more bytes of text, so that the next set_text() calls
  // that add up to it do not grow the buffer.
  void reserve_text(std::size_t bytes);

  void set_null(std::size_t field) noexcept {
    if (_buffer) _cells()[field] = Cell{};
  }
  void set_integer(std::size_t field, std::int64_t value);
  void set_text(std::size_t field, std::string_view text);

  [[nodiscard]] CellKind kind(std::size_t field) const noexcept {
    return _buffer ? _cells()[field].kind : CellKind::null;
  }
  // The integer of an integer cell.
  [[nodiscard]] std::int64_t integer(std::size_t field) const noexcept {
    return _cells()[field].number;
  }
  // The text of a text cell; valid while the image lives unchanged.
  [[nodiscard]] std::string_view text(std::size_t field) const noexcept;

 private:
  struct Cell {
    std::int64_t number = 0;  // the integer, or the offset of the text
    std::uint32_t size = 0;   // the length of the text
    CellKind kind = CellKind::null;
  };

  [[nodiscard]] Cell* _cells() noexcept { return reinterpret_cast<Cell*>(_buffer.get()); }
  [[nodiscard]] const Cell* _cells() const noexcept {
    return reinterpret_cast<const Cell*>(_buffer.get());
  }
  [[nodiscard]] char* _texts() const noexcept { return _buffer.get() + _size * sizeof(Cell); }
  // Moves the image into a buffer with room for `capacity` bytes of text (the
  // cells all NULL when there was no buffer yet).
  void _grow(std::size_t capacity);

  std::unique_ptr<char[]> _buffer;  // _size cells, then the texts
  std::size_t _size = 0;
  std::size_t _text_size = 0;
  std::size_t _text_capacity = 0;
};

}  // namespace kelmarion::core
