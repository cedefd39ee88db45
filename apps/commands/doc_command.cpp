#include "apps/commands/doc_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "apps/docs/graphviz.h"
#include "apps/docs/schema_pages.h"
#include "apps/escaped_text.h"
#include "apps/exit_status.h"
#include "apps/lock_timeout_option.h"
#include "apps/read_transaction.h"
#include "apps/run_coroutine.h"
#include "apps/standard_output.h"
#include "apps/store_location.h"
#include "apps/store_option.h"
#include "apps/stored_schema.h"
#include "apps/usage_error.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/save_history.h"

namespace kelmarion::apps {
namespace {

namespace fs = std::filesystem;

struct Read {
  std::vector<StoredSchema> schemas;
  std::vector<meta::SaveHistoryEntry> last_save;
};

asio::awaitable<Read> read_schema(core::AsyncSession& session, std::string schema_name) {
  Read read;
  read.schemas = co_await read_stored_schemas(session, schema_name);
  read.last_save = co_await meta::read_history(session, schema_name, 1);
  co_return read;
}

// The pages a run writes at the top of DIR; --force removes them first, and nothing else.
constexpr std::array<std::string_view, 5> owned_entries{"README.md", "schema.dot", "schema.svg",
                                                        "tables", "views"};

void prepare_directory(const fs::path& directory, bool force) {
  std::error_code error;
  if (fs::exists(directory, error)) {
    if (!fs::is_directory(directory, error)) {
      throw UsageError(fmt::format("-o '{}': not a directory", escaped_text(directory.string())));
    }
    if (!fs::is_empty(directory, error)) {
      if (!force) {
        throw UsageError(fmt::format(
            "-o '{}': the directory is not empty; --force replaces the pages of a previous run",
            escaped_text(directory.string())));
      }
      for (const auto entry : owned_entries) fs::remove_all(directory / entry);
    }
  }
  for (const auto* sub : {"", "tables", "views"}) {
    fs::create_directories(directory / sub, error);
    if (error) {
      throw UsageError(fmt::format("-o '{}': cannot be made: {}", escaped_text(directory.string()),
                                   error.message()));
    }
  }
}

void write_file(const fs::path& path, std::string_view text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) {
    throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(),
                            fmt::format("write '{}'", path.string()));
  }
}

}  // namespace

CLI::App& add_doc_command(CLI::App& app, DocArguments& arguments) {
  auto* command = app.add_subcommand(
      "doc", "Write Markdown pages and ER diagrams (Mermaid, Graphviz) of a stored schema");
  command->fallthrough();
  add_store_option(*command, arguments.store);
  command->add_option("--schema", arguments.schema, "The stored schema to document")
      ->required()
      ->option_text("NAME");
  command->add_option("-o,--output", arguments.output, "The directory the pages go into")
      ->required()
      ->option_text("DIR");
  command->add_flag("--force", arguments.force,
                    "Replace the pages a previous run wrote into DIR (README.md, schema.*, "
                    "tables/, views/)");
  add_lock_timeout_option(*command, arguments.lock_timeout_seconds);
  command->footer(
      "Reads the store only. SVG images are made when Graphviz's dot is on PATH; otherwise the "
      "pages say how to render the DOT files.\n"
      "Exit status: 0 done, 1 the store, the system or Graphviz failed, 2 bad usage (no such "
      "store file or schema, a DIR that is not empty).");
  return *command;
}

int run_doc(const DocArguments& arguments, const GlobalOptions& /*global*/) {
  auto session = open_store_to_read(arguments.store, arguments.lock_timeout_seconds);
  const auto read =
      run_coroutine(in_one_transaction(session, read_schema(session, arguments.schema)));
  if (read.schemas.empty()) {
    throw UsageError(fmt::format("schema '{}': not in store '{}'", escaped_text(arguments.schema),
                                 escaped_text(session.location())));
  }
  const fs::path directory(arguments.output);
  prepare_directory(directory, arguments.force);

  const auto dot = find_dot();
  PageOptions options{.svg = dot.has_value(), .last_saved = std::nullopt};
  if (!read.last_save.empty()) {
    const auto& save = read.last_save.front();
    options.last_saved = fmt::format("{} (save {})", save.saved_at, save.id);
  }
  std::vector<fs::path> dot_files;
  std::size_t pages = 0;
  write_schema_pages(read.schemas.front(), options,
                     [&](const std::string& path, std::string_view text) {
                       const auto file = directory / path;
                       write_file(file, text);
                       if (file.extension() == ".dot") {
                         dot_files.push_back(file);
                       } else {
                         ++pages;
                       }
                     });
  if (dot) render_svg(*dot, dot_files);
  write_standard_output(fmt::format(
      "documented schema '{}' in '{}': {} pages, {} diagrams{}\n", escaped_text(arguments.schema),
      escaped_text(directory.string()), pages, dot_files.size(),
      dot ? " (DOT and SVG)" : " (DOT; Graphviz's dot was not found, so no SVG)"));
  return exit_success;
}

}  // namespace kelmarion::apps
