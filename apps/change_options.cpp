#include "apps/change_options.h"

#include <CLI/CLI.hpp>

namespace kelmarion::apps {

void add_format_option(CLI::App& command, std::string& format) {
  command
      .add_option("--format", format,
                  "text: for people; json: one JSON document with stable field names (see the "
                  "README)")
      ->check(CLI::IsMember(report_formats))
      ->capture_default_str();
}

void add_changes_flag(CLI::App& command, bool& list_changes) {
  command.add_flag("--changes", list_changes,
                   "List every change, however many (by default a long list is only counted)");
}

}  // namespace kelmarion::apps
