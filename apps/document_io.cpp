#include "apps/document_io.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "apps/usage_error.h"

namespace kelmarion::apps {
namespace {

constexpr int indent_width = 2;

std::string kind_name(const meta::Document& value) {
  if (value.is_object()) return value.empty() ? "an empty object" : "an object";
  if (value.is_array()) return "a list";
  if (value.is_string()) return "a text";
  if (value.is_boolean()) return "a boolean";
  if (value.is_number()) return "a number";
  return "null";
}

std::string source_name(const std::string& path) {
  return path == "-" ? std::string("standard input") : fmt::format("document '{}'", path);
}

// nlohmann's text after its "[json.exception.parse_error.101] " tag.
std::string without_exception_tag(const std::string& text) {
  const auto tag_end = text.find("] ");
  return tag_end == std::string::npos ? text : text.substr(tag_end + 2);
}

meta::Document parse(std::istream& input, const std::string& path) {
  try {
    return meta::Document::parse(input);
  } catch (const nlohmann::json::parse_error& error) {
    throw UsageError(fmt::format("{}: malformed JSON: {}", source_name(path),
                                 without_exception_tag(error.what())));
  }
}

}  // namespace

meta::Document read_document(const std::string& path) {
  meta::Document document;
  if (path == "-") {
    document = parse(std::cin, path);
  } else {
    std::ifstream input(path, std::ios::binary);
    if (!input) throw UsageError(fmt::format("{}: cannot be read", source_name(path)));
    document = parse(input, path);
  }
  // An empty object would make the save inspect the engine instead.
  if (!document.is_object() || document.empty()) {
    throw UsageError(fmt::format("{}: expected a schema object with 'tables' and 'views', got {}",
                                 source_name(path), kind_name(document)));
  }
  return document;
}

bool is_standard_output(const std::optional<std::string>& path) { return !path || *path == "-"; }

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) != 0; }

void write_document(const meta::Document& document, const std::optional<std::string>& path,
                    bool pretty) {
  const auto text = document.dump(pretty ? indent_width : -1, ' ', false,
                                  meta::Document::error_handler_t::replace);
  if (is_standard_output(path)) {
    std::cout << text << '\n' << std::flush;
    return;
  }
  std::ofstream output(*path, std::ios::binary | std::ios::trunc);
  output << text << '\n';
  output.close();
  if (!output) throw UsageError(fmt::format("output file '{}': cannot be written", *path));
}

}  // namespace kelmarion::apps
