#pragma once

// MetaConverter prepares record data for an update of a record that was found.

#include <cstdint>
#include <nlohmann/json_fwd.hpp>

#include "kelmarion_core/record.h"

namespace kelmarion::meta {

class MetaConverter {
 public:
  // The identifier of `found`, under which `data` is to be written. Leaves `data`
  // as it is: the identifier is never taken from the data.
  [[nodiscard]] static std::int64_t set_update_property(nlohmann::ordered_json& data,
                                                        const core::Record& found);
};

}  // namespace kelmarion::meta
