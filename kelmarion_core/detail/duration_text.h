#pragma once

#include <chrono>
#include <fmt/format.h>
#include <string>

namespace kelmarion::core::detail {

// A wait as people read it in a message: "60 s", "1.5 s", "250 ms".
[[nodiscard]] inline std::string duration_text(std::chrono::milliseconds duration) {
  const auto count = duration.count();
  if (count < 1000) return fmt::format("{} ms", count);
  if (count % 1000 == 0) return fmt::format("{} s", count / 1000);
  return fmt::format("{:.1f} s", static_cast<double>(count) / 1000.0);
}

}  // namespace kelmarion::core::detail
