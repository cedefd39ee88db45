#pragma once

// Options every command takes (given before or after the command's name).

namespace kelmarion::apps {

struct GlobalOptions {
  bool verbose = false;  // -v: show the library's debug log on stderr
  bool quiet = false;    // -q: no summary after a save
};

}  // namespace kelmarion::apps
