#pragma once

// The DDL that creates a record class's table and its lookup indexes, and the
// version row that lets a later release recognise and migrate a store.

#include <string>
#include <vector>

#include "kelmarion_core/detail/sql_render.h"
#include "kelmarion_core/record.h"

namespace kelmarion::core::detail {

// The store layout this build writes. Raise it with every change to the tables,
// together with a migration from the previous number.
inline constexpr int store_layout_version = 1;

// Statements that create the version table and its row when missing.
[[nodiscard]] std::vector<std::string> version_table_ddl(Dialect dialect);

// Statements that create `record_class`'s table and lookup indexes when missing.
[[nodiscard]] std::vector<std::string> record_table_ddl(const RecordClass& record_class,
                                                        Dialect dialect);

}  // namespace kelmarion::core::detail
