#include "apps/docs/page_names.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string_view>

namespace kelmarion::apps {
namespace {

constexpr std::size_t longest_plain_name = 48;

bool reserved_on_windows(std::string_view name) {
  static constexpr std::array<std::string_view, 4> devices{"con", "prn", "aux", "nul"};
  if (std::find(devices.begin(), devices.end(), name) != devices.end()) return true;
  return name.size() == 4 && (name.starts_with("com") || name.starts_with("lpt")) &&
         name[3] >= '0' && name[3] <= '9';
}

std::uint32_t fnv1a(std::string_view text) {
  std::uint32_t hash = 2166136261U;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619U;
  }
  return hash;
}

std::string file_name_of(const std::string& name) {
  std::string plain;
  for (const char c : name) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (plain.size() < longest_plain_name) {
      plain += kept ? c : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : '_';
    }
  }
  if (plain == name && !name.empty() && !reserved_on_windows(name)) return plain;
  return fmt::format("{}-{:08x}", plain, fnv1a(name));
}

}  // namespace

std::vector<std::string> page_names(const std::vector<std::string>& names) {
  std::vector<std::string> files;
  files.reserve(names.size());
  std::set<std::string, std::less<>> taken;
  for (const auto& name : names) {
    auto file = file_name_of(name);
    for (int n = 2; taken.contains(file); ++n) file = fmt::format("{}-{}", file_name_of(name), n);
    taken.insert(file);
    files.push_back(std::move(file));
  }
  return files;
}

}  // namespace kelmarion::apps
