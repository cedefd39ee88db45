#pragma once

// What PostgreSQL stores for a value bound to a store column, worked out on the
// client. A write whose stored result is known here, and which the server is
// certain to accept, need not wait for the server's answer: the connection can
// send it with others and go on (see PostgresqlConnection).

#include <nlohmann/json.hpp>
#include <optional>

#include "kelmarion_core/detail/sql_value.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

// The value a read of a field of `kind` returns after `value` was written to it,
// exactly as the connection would read it back; nullopt when the server might
// refuse the value (text that is not valid UTF-8 or holds a NUL character, JSON
// holding "\u0000" or nested deeper than the server parses), so that only the
// server can tell what happens.
[[nodiscard]] std::optional<nlohmann::ordered_json> postgresql_stored_value(FieldKind kind,
                                                                           const SqlValue& value);

// The same for a json field given `value` as a document value (its text being
// value.dump()), without going through the text; nullopt also when a string in
// it is not well-formed UTF-8 (then ask with the text).
[[nodiscard]] std::optional<nlohmann::ordered_json> postgresql_stored_json(
    const nlohmann::ordered_json& value);

// Whether `text` is well-formed UTF-8 without NUL characters: what a UTF-8
// PostgreSQL database accepts as text.
[[nodiscard]] bool postgresql_accepts_text(std::string_view text) noexcept;

}  // namespace kelmarion::core::detail
