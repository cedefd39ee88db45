#include "kelmarion_meta/tools/meta_convert.h"

#include <nlohmann/json.hpp>

namespace kelmarion::meta {

std::int64_t MetaConverter::set_update_property(nlohmann::ordered_json& /*data*/,
                                                const core::Record& found) {
  return found.id();
}

}  // namespace kelmarion::meta
