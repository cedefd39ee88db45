#include "kelmarion_core/detail/conninfo_options.h"

#include <libpq-fe.h>

#include <memory>
#include <new>

namespace kelmarion::core::detail {
namespace {

struct OptionsFreer {
  void operator()(PQconninfoOption* options) const noexcept { PQconninfoFree(options); }
};
struct MessageFreer {
  void operator()(char* message) const noexcept { PQfreemem(message); }
};

// libpq's parse errors quote the token they failed on, or the whole URL:
// `invalid percent-encoded token: "pa%zzss"`. Everything from the first quote
// to the last becomes one quoted ellipsis.
std::string without_quoted_text(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  const auto first = message.find('"');
  if (first == std::string::npos) return message;
  const auto last = message.rfind('"');
  const auto rest = last == first ? std::string() : message.substr(last + 1);
  return message.substr(0, first) + "\"…\"" + rest;
}

}  // namespace

ParsedConninfo parse_conninfo(std::string_view conninfo) {
  const std::string text(conninfo);
  char* raw_message = nullptr;
  const std::unique_ptr<PQconninfoOption, OptionsFreer> options(
      PQconninfoParse(text.c_str(), &raw_message));
  const std::unique_ptr<char, MessageFreer> message(raw_message);
  ParsedConninfo parsed;
  if (!options) {
    // libpq gives no message only when it could not allocate one.
    if (!message) throw std::bad_alloc();
    parsed.failure = without_quoted_text(message.get());
    return parsed;
  }
  for (const auto* option = options.get(); option->keyword != nullptr; ++option) {
    if (option->val == nullptr) continue;
    const bool secret = option->dispchar != nullptr &&
                        std::string_view(option->dispchar).find('*') != std::string_view::npos;
    parsed.options.push_back({option->keyword, option->val, secret});
  }
  return parsed;
}

}  // namespace kelmarion::core::detail
