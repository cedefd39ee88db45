#pragma once

// All eight record classes of the metamodel store, parents before children.
// Naming them makes every store table known to the process (see
// core::known_record_tables()), so that a session recognises a database that
// holds any of them; the store and the tool call this before their first query.

#include <span>

#include "kelmarion_core/record.h"

namespace kelmarion::meta {

[[nodiscard]] std::span<const core::RecordClass* const> record_classes();

}  // namespace kelmarion::meta
