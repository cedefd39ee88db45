#pragma once

// Reading JSON text into an ordered document.
//
// The result is what nlohmann::ordered_json::parse() gives, built more cheaply:
// each object collects its entries first and is then made at its final size, so
// that reading a large document never copies what it has already read (see
// json_object.h for why growing an ordered object copies).

#include <cstddef>
#include <functional>
#include <istream>
#include <nlohmann/json.hpp>
#include <string>

namespace kelmarion::core {

// How deep lists and objects may nest in the JSON the library and its tool read:
// schema documents, and the json fields of stored records. The JSON library
// copies, compares and writes nested values recursively, so a value nested tens
// of thousands deep overflows the stack; a schema document needs fewer than ten
// levels.
inline constexpr int max_json_depth = 100;

struct JsonReadOptions {
  // Lists and objects may nest this deep; 0 for no limit. The JSON library
  // destroys and copies nested values recursively, so a deep enough document
  // would overflow the stack later on.
  int max_depth = 0;
  // Called, and expected to throw, when a list or object would open deeper than
  // max_depth; it gets the last key read ("" before any).
  std::function<void(const std::string& last_key)> too_deep;
  // Room left in every object that has keys for this many more, for a caller
  // that adds keys to the entries it reads: filling room costs nothing, while
  // growing an object later allocates it anew and leaves the old space to
  // fragment. Empty objects get none.
  std::size_t room_for_keys = 0;
};

// The document in `input`, which must hold exactly one JSON value. Malformed
// text throws the JSON library's exception, as ordered_json::parse() does.
[[nodiscard]] nlohmann::ordered_json read_json(std::istream& input,
                                               const JsonReadOptions& options = {});

}  // namespace kelmarion::core
