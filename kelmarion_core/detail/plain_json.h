#pragma once

// Fast paths for the JSON the store writes most: lists of column names, option
// objects, nulls. "Plain" JSON is compact text holding only null, booleans,
// integers and texts of printable ASCII other than '"' and '\', in lists and
// objects. For such values these give exactly what the JSON library's compact
// dump() and parse() give, without setting up its serializer or lexer; for
// anything else they decline and the library does the work.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace kelmarion::core::detail {

// Appends the compact text of `value` to `out` when it is plain; returns false
// (with `out` partly written) when it is not.
[[nodiscard]] bool append_plain_json(const nlohmann::ordered_json& value, std::string& out);

// The value `text` holds when it is plain compact JSON; nullopt otherwise
// (whitespace, escapes, fractions, non-ASCII, repeated keys, trailing bytes).
[[nodiscard]] std::optional<nlohmann::ordered_json> parse_plain_json(std::string_view text);

}  // namespace kelmarion::core::detail
