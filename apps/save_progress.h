#pragma once

// A progress line on stderr while a large schema is saved: "saving tables:
// 120/900", counted from the tables the session's change set gains. Shown only
// when stderr is a terminal, the debug log is not shown (-v), and the schema
// has more than `progress_table_threshold` tables.

#include <cstddef>

#include "kelmarion_core/session.h"

namespace kelmarion::apps {

constexpr std::size_t progress_table_threshold = 200;

class SaveProgress {
 public:
  // Starts counting when the conditions above hold; otherwise does nothing.
  // `verbose` tells whether the debug log is shown. `session` is borrowed for
  // the progress line's life.
  SaveProgress(core::AsyncSession& session, std::size_t table_count, bool verbose);
  SaveProgress(const SaveProgress&) = delete;
  SaveProgress& operator=(const SaveProgress&) = delete;
  SaveProgress(SaveProgress&&) = delete;
  SaveProgress& operator=(SaveProgress&&) = delete;
  // Stops counting and clears the progress line.
  ~SaveProgress();

 private:
  core::AsyncSession* _session = nullptr;  // null when no progress is shown
  std::size_t _total = 0;
  std::size_t _saved = 0;
};

}  // namespace kelmarion::apps
