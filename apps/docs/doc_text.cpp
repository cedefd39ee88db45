#include "apps/docs/doc_text.h"

#include <fmt/format.h>

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "apps/escaped_text.h"

namespace kelmarion::apps {
namespace {

bool alphanumeric(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// What Markdown may read as its own inside a line: emphasis, code, links and
// images, HTML and entities, headings, table cells, strikethrough.
bool markdown_syntax(char c) {
  switch (c) {
    case '\\':
    case '`':
    case '*':
    case '[':
    case ']':
    case '(':
    case ')':
    case '<':
    case '>':
    case '#':
    case '|':
    case '!':
    case '~':
    case '&':
    case '{':
    case '}':
      return true;
    default:
      return false;
  }
}

// escaped_text(text) with each character that `codes` names written as its code.
std::string with_codes(std::string_view text,
                       std::initializer_list<std::pair<char, std::string_view>> codes) {
  std::string out;
  for (const char c : escaped_text(text)) {
    const auto* code = std::find_if(codes.begin(), codes.end(),
                                    [c](const auto& entry) { return entry.first == c; });
    if (code != codes.end()) {
      out += code->second;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string markdown_text(std::string_view text) {
  const auto shown = escaped_text(text);
  std::string out;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const char c = shown[i];
    // An underscore inside a word (snake_case) never starts or ends emphasis.
    const bool inside_word = c == '_' && i > 0 && i + 1 < shown.size() &&
                             alphanumeric(shown[i - 1]) && alphanumeric(shown[i + 1]);
    if (markdown_syntax(c) || (c == '_' && !inside_word)) out += '\\';
    out += c;
  }
  return out;
}

std::string mermaid_text(std::string_view text) {
  return with_codes(text,
                    {{'"', "#quot;"}, {'#', "#35;"}, {'<', "#lt;"}, {'>', "#gt;"}, {'`', "#96;"}});
}

std::string mermaid_word(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    out += word ? c : '_';
  }
  // A word starts with a letter or '_'.
  if (out.empty() || (out.front() >= '0' && out.front() <= '9')) out.insert(0, 1, '_');
  return out;
}

std::string dot_html_text(std::string_view text) {
  return with_codes(text, {{'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}});
}

std::string dot_quoted_text(std::string_view text) {
  std::string out;
  for (const char c : escaped_text(text)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace kelmarion::apps
