#pragma once

// A stored row in compact form: per field NULL, an integer or text, the texts
// kept together in one buffer. A backend fills one from the values it bound or
// read; for a row of the record classes' size that allocates nothing, where a
// row of JSON values costs an allocation per text. The JSON values are made only
// for the fields someone reads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarion::core {

class RowImage {
 public:
  enum class CellKind : std::uint8_t { null, integer, text };

  RowImage() = default;
  // `field_count` fields, all NULL.
  explicit RowImage(std::size_t field_count);

  [[nodiscard]] std::size_t size() const noexcept { return _size; }

  // Makes room for `bytes` more bytes of text, so that the next set_text() calls
  // that add up to it do not grow the buffer.
  void reserve_text(std::size_t bytes);

  void set_null(std::size_t field) noexcept { _cell(field) = Cell{}; }
  void set_integer(std::size_t field, std::int64_t value) noexcept;
  void set_text(std::size_t field, std::string_view text);

  [[nodiscard]] CellKind kind(std::size_t field) const noexcept { return _cell(field).kind; }
  // The integer of an integer cell.
  [[nodiscard]] std::int64_t integer(std::size_t field) const noexcept {
    return _cell(field).number;
  }
  // The text of a text cell; valid while the image lives unchanged.
  [[nodiscard]] std::string_view text(std::size_t field) const noexcept;
  // The bytes of text a field holds (0 unless it is a text cell).
  [[nodiscard]] std::size_t text_size(std::size_t field) const noexcept {
    return _cell(field).kind == CellKind::text ? _cell(field).size : 0;
  }

 private:
  struct Cell {
    std::int64_t number = 0;  // the integer, or the offset of the text
    std::uint32_t size = 0;   // the length of the text
    CellKind kind = CellKind::null;
  };
  // Record classes have a handful of fields: their cells fit in the image itself.
  static constexpr std::size_t inline_cells = 16;

  [[nodiscard]] Cell& _cell(std::size_t field) noexcept {
    return _size <= inline_cells ? _inline[field] : _heap[field];
  }
  [[nodiscard]] const Cell& _cell(std::size_t field) const noexcept {
    return _size <= inline_cells ? _inline[field] : _heap[field];
  }

  // The texts of most rows fit in the image too; longer ones move to `_long_text`.
  static constexpr std::size_t inline_text = 96;

  [[nodiscard]] const char* _text_data() const noexcept {
    return _text_is_long ? _long_text.data() : _short_text.data();
  }

  std::array<Cell, inline_cells> _inline {};
  std::vector<Cell> _heap;
  std::size_t _size = 0;
  std::array<char, inline_text> _short_text{};
  std::string _long_text;
  std::size_t _text_size = 0;
  bool _text_is_long = false;
};

}  // namespace kelmarion::core
