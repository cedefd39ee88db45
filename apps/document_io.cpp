#include "apps/document_io.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "apps/escaped_text.h"
#include "apps/output_file.h"
#include "apps/standard_output.h"
#include "apps/usage_error.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/json_reader.h"
#include "kelmarion_core/utf8.h"

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

// The JSON library copies and destroys nested values recursively: a document of
// a hundred thousand nested lists overflows the stack while it is read. A
// schema document needs fewer than ten levels.
constexpr int max_depth = core::max_json_depth;
constexpr std::size_t shown_key_length = 80;
// The parser quotes the whole token it failed in: all of an unterminated string.
constexpr std::size_t shown_parse_error_length = 240;

// At most `length` bytes of `text`, cut at a UTF-8 character boundary.
std::string shortened(const std::string& text, std::size_t length) {
  if (text.size() <= length) return text;
  auto end = length;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0U) == 0x80U) --end;
  return text.substr(0, end) + "...";
}

// nlohmann's text after its "[json.exception.parse_error.101] " tag.
std::string without_exception_tag(const std::string& text) {
  const auto tag_end = text.find("] ");
  return shortened(tag_end == std::string::npos ? text : text.substr(tag_end + 2),
                   shown_parse_error_length);
}

meta::Document parse(std::istream& input, const std::string& path) {
  const core::JsonReadOptions options{
      .max_depth = max_depth,
      .too_deep =
          [&path](const std::string& last_key) {
            throw UsageError(fmt::format(
                "{}: lists and objects nested deeper than {} levels{}", source_name(path),
                max_depth,
                last_key.empty()
                    ? std::string()
                    : fmt::format(" (under key '{}')", shortened(last_key, shown_key_length))));
          },
      // A save adds identifiers and sort orders to the entries: two keys for most.
      .room_for_keys = 2};
  try {
    return core::read_json(input, options);
  } catch (const nlohmann::json::exception& error) {
    // Not only parse_error: a number too large for a double is an out_of_range.
    throw UsageError(fmt::format("{}: malformed JSON: {}", source_name(path),
                                 without_exception_tag(error.what())));
  }
}

// The first text of `value`, key or string, that is not valid UTF-8, with
// `place` set to where it is ("tables[2].table_name"); nullopt when all are.
std::optional<std::string> first_text_not_utf8(const meta::Document& value, std::string& place) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    return core::is_valid_utf8(text) ? std::nullopt : std::optional<std::string>(text);
  }
  const auto depth = place.size();
  if (value.is_array()) {
    for (std::size_t index = 0; index < value.size(); ++index) {
      place += fmt::format("[{}]", index);
      if (auto bad = first_text_not_utf8(value[index], place)) return bad;
      place.resize(depth);
    }
  } else if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      if (depth != 0) place += '.';
      place += escaped_text(key);
      if (!core::is_valid_utf8(key)) return key;
      if (auto bad = first_text_not_utf8(member, place)) return bad;
      place.resize(depth);
    }
  }
  return std::nullopt;
}

}  // namespace

meta::Document read_document(const std::string& path) {
  meta::Document document;
  if (path == "-") {
    document = parse(std::cin, path);
  } else {
    // A directory opens like a file and fails only at the first read.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      throw UsageError(fmt::format("{}: is a directory", source_name(path)));
    }
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

void require_utf8_text(const meta::Document& document) {
  std::string place;
  if (const auto bad = first_text_not_utf8(document, place)) {
    throw core::DocumentError(fmt::format("document text at {} is not valid UTF-8: '{}'",
                                          place.empty() ? "the top" : place,
                                          escaped_text(shortened(*bad, shown_key_length))));
  }
}

std::string document_text(const meta::Document& document, bool pretty) {
  require_utf8_text(document);
  return document.dump(pretty ? indent_width : -1) + '\n';
}

void write_document(const meta::Document& document, const std::optional<std::string>& path,
                    bool pretty) {
  if (is_standard_output(path)) {
    write_standard_output(document_text(document, pretty));
  } else {
    OutputFile output(*path);
    output.write(document_text(document, pretty));
  }
}

}  // namespace kelmarion::apps
