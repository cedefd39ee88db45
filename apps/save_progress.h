#pragma once

// A progress line on stderr while a large schema is saved: "saving tables:
// 120/900". It counts the library's "正在处理表: <name>" log lines (one per
// table) through a sink on the tool's logger, so the library needs no callback.
// Shown only when stderr is a terminal, the debug log is not shown (-v), and
// the schema has more than `progress_table_threshold` tables.

#include <cstddef>
#include <memory>

namespace spdlog::sinks {
class sink;
}

namespace kelmarion::apps {

constexpr std::size_t progress_table_threshold = 200;

class SaveProgress {
 public:
  // Starts counting when the conditions above hold; otherwise does nothing.
  // `verbose` tells whether the debug log is shown.
  SaveProgress(std::size_t table_count, bool verbose);
  SaveProgress(const SaveProgress&) = delete;
  SaveProgress& operator=(const SaveProgress&) = delete;
  SaveProgress(SaveProgress&&) = delete;
  SaveProgress& operator=(SaveProgress&&) = delete;
  // Removes the sink, restores the logger's level and clears the progress line.
  ~SaveProgress();

 private:
  std::shared_ptr<spdlog::sinks::sink> _sink;  // null when no progress is shown
  int _previous_level = 0;
};

}  // namespace kelmarion::apps
