#include "apps/save_progress.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "kelmarion_meta/generate/entity_table/source_table.h"

namespace kelmarion::apps {

SaveProgress::SaveProgress(core::AsyncSession& session, std::size_t table_count, bool verbose)
    : _total(table_count) {
  if (verbose || table_count <= progress_table_threshold || isatty(STDERR_FILENO) == 0) return;
  _session = &session;
  session.observe_changes([this](std::string_view table) {
    if (table != meta::SourceTable::record_class().table_name()) return;
    ++_saved;
    std::fputs(fmt::format("\rsaving tables: {}/{}", std::min(_saved, _total), _total).c_str(),
               stderr);
    std::fflush(stderr);
  });
}

SaveProgress::~SaveProgress() {
  if (_session == nullptr) return;
  _session->observe_changes({});
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

}  // namespace kelmarion::apps
