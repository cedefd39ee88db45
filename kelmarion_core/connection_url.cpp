#include "kelmarion_core/connection_url.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "kelmarion_core/detail/conninfo_options.h"
#include "kelmarion_core/detail/mysql_url.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core {
namespace {

using detail::ConninfoOption;

bool is_unreserved(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' ||
         c == '~';
}

// `text` percent-encoded except for unreserved characters and those of `plain`.
// libpq decodes every part of a URL, so the result reads back as `text`.
std::string percent_encoded(std::string_view text, std::string_view plain = {}) {
  std::string encoded;
  for (const char c : text) {
    if (is_unreserved(c) || plain.find(c) != std::string_view::npos) {
      encoded += c;
    } else {
      encoded += fmt::format("%{:02X}", static_cast<unsigned char>(c));
    }
  }
  return encoded;
}

const ConninfoOption* find_option(const std::vector<ConninfoOption>& options,
                                  std::string_view keyword) {
  const auto found = std::find_if(options.begin(), options.end(), [keyword](const auto& option) {
    return option.keyword == keyword;
  });
  return found == options.end() ? nullptr : &*found;
}

// A URL of `scheme` that libpq reads as `options`, secrets left out: the user,
// one host and its port in the authority, the database as the path, the rest
// (socket directories, several hosts, sslmode, ...) as query parameters.
std::string postgresql_url(std::string_view scheme, const std::vector<ConninfoOption>& options) {
  const auto* user = find_option(options, "user");
  const auto* host = find_option(options, "host");
  const auto* port = find_option(options, "port");
  const auto* database = find_option(options, "dbname");
  if (host != nullptr && (host->value.empty() || host->value.front() == '/' ||
                          host->value.find(',') != std::string::npos)) {
    host = nullptr;
  }
  if (host == nullptr || (port != nullptr && port->value.find(',') != std::string::npos)) {
    port = nullptr;
  }

  auto url = fmt::format("{}://", scheme);
  if (user != nullptr) url += percent_encoded(user->value) + '@';
  if (host != nullptr) {
    // libpq ends the user information at the first '@': a host that holds one
    // is the rest of a password that held an '@' of its own. Only what follows
    // the last one can be a host name.
    std::string_view host_name = host->value;
    if (const auto at = host_name.rfind('@'); at != std::string_view::npos) {
      url += "…@";
      host_name.remove_prefix(at + 1);
    }
    const bool ipv6 = host_name.find(':') != std::string_view::npos;
    url += ipv6 ? '[' + percent_encoded(host_name, ":") + ']' : percent_encoded(host_name);
  }
  if (port != nullptr) url += ':' + percent_encoded(port->value);
  if (database != nullptr) url += '/' + percent_encoded(database->value);
  char separator = '?';
  for (const auto& option : options) {
    if (option.secret || &option == user || &option == host || &option == port ||
        &option == database) {
      continue;
    }
    url += fmt::format("{}{}={}", separator, option.keyword, percent_encoded(option.value, "/:,"));
    separator = '&';
  }
  return url;
}

// libpq's quoting in key=value strings: single quotes around a value that is
// empty or holds a space, a quote or a backslash; inside, a backslash escapes.
std::string conninfo_value(std::string_view value) {
  const bool plain = !value.empty() && std::none_of(value.begin(), value.end(), [](char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0 || c == '\'' || c == '\\';
  });
  if (plain) return std::string(value);
  std::string quoted = "'";
  for (const char c : value) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + '\'';
}

std::string key_value_conninfo(const std::vector<ConninfoOption>& options) {
  std::string text;
  for (const auto& option : options) {
    if (option.secret) continue;
    if (!text.empty()) text += ' ';
    text += option.keyword + '=' + conninfo_value(option.value);
  }
  return text;
}

// A URL that libpq does not read (sqlite:, an unknown scheme). Its user
// information ends at the first '@' before the first '/', as libpq has it; what
// follows a ':' in it is dropped, and a query or fragment is only hinted at.
std::string other_url(std::string_view url) {
  const auto separator = url.find("://");
  const auto rest_start = separator == std::string_view::npos ? url.find(':') + 1 : separator + 3;
  std::string result(url.substr(0, rest_start));
  auto rest = url.substr(rest_start);
  const auto at = rest.substr(0, rest.find('/')).find('@');
  if (at != std::string_view::npos) {
    const auto user_info = rest.substr(0, at);
    result += user_info.substr(0, user_info.find(':'));
    rest.remove_prefix(at);
  }
  const auto query = rest.find_first_of("?#");
  result += rest.substr(0, query);
  if (query != std::string_view::npos) result += "?…";
  return result;
}

}  // namespace

std::string url_scheme(std::string_view url) {
  const auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  const auto scheme = url.substr(0, colon);
  // RFC 3986: a scheme starts with a letter and continues with letters, digits, + - .
  // Anything else before the colon (":memory:", "C:\...", "./a:b") is not a scheme.
  if (std::isalpha(static_cast<unsigned char>(scheme.front())) == 0) return {};
  const bool valid = std::all_of(scheme.begin(), scheme.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
  });
  // A one-letter "scheme" is a Windows drive letter, not a URL.
  if (!valid || scheme.size() < 2) return {};
  std::string lower(scheme);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool is_postgresql_scheme(std::string_view scheme) {
  return scheme == "postgresql" || scheme == "postgres";
}

bool is_key_value_conninfo(std::string_view text) {
  if (!url_scheme(text).empty() || text.find('=') == std::string_view::npos) return false;
  const auto parsed = detail::parse_conninfo(text);
  return !parsed.failure && !parsed.options.empty();
}

bool is_postgresql_location(std::string_view location) {
  return is_postgresql_scheme(url_scheme(location)) || is_key_value_conninfo(location);
}

std::optional<std::string> conninfo_parse_failure(std::string_view conninfo) {
  return detail::parse_conninfo(conninfo).failure;
}

std::string without_secrets(std::string message, std::string_view conninfo) {
  for (const auto& option : detail::parse_conninfo(conninfo).options) {
    if (!option.secret || option.value.empty()) continue;
    for (auto at = message.find(option.value); at != std::string::npos;
         at = message.find(option.value, at + 3)) {
      message.replace(at, option.value.size(), "***");
    }
  }
  return message;
}

std::string redact_password(std::string_view url) {
  if (detail::is_mysql_scheme(url_scheme(url))) return detail::redact_mysql_url(url);
  const auto scheme = url_scheme(url);
  const bool postgresql = is_postgresql_scheme(scheme);
  if (!postgresql && !scheme.empty()) return other_url(url);
  if (!postgresql && url.find('=') == std::string_view::npos) return std::string(url);
  const auto parsed = detail::parse_conninfo(url);
  if (parsed.failure || parsed.options.empty()) {
    return postgresql ? fmt::format("{}://…", scheme) : std::string("…");
  }
  // With nothing to hide, the location is shown as it was written.
  const auto secret = [](const auto& option) { return option.secret; };
  if (std::none_of(parsed.options.begin(), parsed.options.end(), secret)) return std::string(url);
  return postgresql ? postgresql_url(scheme, parsed.options) : key_value_conninfo(parsed.options);
}

std::string sqlite_path_from_url(std::string_view url) {
  if (url_scheme(url) != "sqlite" || !url.substr(6).starts_with("://")) {
    throw ConfigurationError(
        fmt::format("'{}' is not a sqlite URL (expected sqlite:///path.db)", redact_password(url)));
  }
  if (url.find_first_of("?#") != std::string_view::npos) {
    throw ConfigurationError(
        fmt::format("'{}': a sqlite URL takes no query part ('?' or '#')", redact_password(url)));
  }
  auto path = url.substr(9);  // past "sqlite://"
  if (path.starts_with('/')) path.remove_prefix(1);
  return std::string(path);
}

}  // namespace kelmarion::core
