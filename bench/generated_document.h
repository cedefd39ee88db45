#pragma once

// Schema documents of a given size for the benchmarks: about 15 columns, a
// primary key, 1 to 3 foreign keys and 1 to 3 indexes per table, and a view for
// every tenth table.

#include <nlohmann/json.hpp>

namespace kelmarion::bench {

[[nodiscard]] nlohmann::ordered_json generated_document(int table_count);

}  // namespace kelmarion::bench
