#pragma once

// File names for the pages of tables and views: safe on every file system and
// distinct even when names differ only in case or in characters a file name
// cannot hold. A name made only of lower-case ASCII letters, digits, '-' and
// '_' (at most 48 bytes, not a name Windows reserves) is its own file name;
// any other is cut to that alphabet and length and followed by '-' and eight
// hex digits of a hash of the whole name ("Orders" -> "orders-7872110c").
// Should two names still meet, later ones get "-2", "-3", ... in list order.

#include <string>
#include <vector>

namespace kelmarion::apps {

// One file name (without extension) per name, in the same order.
[[nodiscard]] std::vector<std::string> page_names(const std::vector<std::string>& names);

}  // namespace kelmarion::apps
