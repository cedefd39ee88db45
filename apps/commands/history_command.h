#pragma once

// kelmarion-meta history [--store URL] [--schema NAME] [--limit N]
//                        [--save ID] [--format text|json] [--lock-timeout SECONDS]
//
// Lists the saves the store recorded, newest first, one line each:
//
//   save 7  2026-12-10T15:24:29Z  schema 'main'  +1 ~3 -1  from 'sqlite:///shop.db'
//
// (+ created, ~ changed, - stale or deleted records); with --save ID, one
// save's changes in full. The store is opened read-only. As JSON, a list of
// {"id", "saved_at", "schema", "engine", "tool_version", "counts", "changes"}
// objects, or one object with --save.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "apps/global_options.h"

namespace CLI {
class App;
}

namespace kelmarion::apps {

struct HistoryArguments {
  std::optional<std::string> store;
  std::optional<std::string> schema;
  std::size_t limit = 20;  // 0: all
  std::optional<std::int64_t> save;
  std::string format = "text";
  double lock_timeout_seconds = 0;  // set by the option's default
};

CLI::App& add_history_command(CLI::App& app, HistoryArguments& arguments);

// Throws UsageError for a missing store file or a save the store does not hold.
int run_history(const HistoryArguments& arguments, const GlobalOptions& global);

}  // namespace kelmarion::apps
