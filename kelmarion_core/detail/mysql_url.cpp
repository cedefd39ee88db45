#include "kelmarion_core/detail/mysql_url.h"

#include <fmt/format.h>

#include <cctype>
#include <charconv>
#include <limits>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {
namespace {

// The raw pieces of a URL as written, before any decoding.
struct UrlPieces {
  std::string_view prefix;     // "mysql://"
  std::string_view user;       // up to the first ':' of the user information
  std::string_view password;   // after it
  bool has_user_info = false;  // an '@' was there
  bool has_password = false;   // a ':' was in the user information
  std::string_view location;   // host, port, "/" and database
  std::string_view query;      // between '?' and '#'
  std::string_view fragment;   // from '#' on, kept as written
  bool has_query = false;
};

// Where the first "?name=" of `text` starts, or npos.
std::size_t first_parameter(std::string_view text) {
  for (auto at = text.find('?'); at != std::string_view::npos; at = text.find('?', at + 1)) {
    auto end = at + 1;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) != 0 ||
                                 text[end] == '_')) {
      ++end;
    }
    if (end > at + 1 && end < text.size() && text[end] == '=') return at;
  }
  return std::string_view::npos;
}

std::optional<UrlPieces> split(std::string_view url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || url_scheme(url).empty()) return std::nullopt;
  UrlPieces pieces;
  pieces.prefix = url.substr(0, scheme_end + 3);
  auto rest = url.substr(scheme_end + 3);
  // A password may hold '@', '/', '?' and '#' as written, and a parameter's
  // value '@' and '/': the user information ends at the last '@' before the
  // first parameter ('?' and a name and '='), or at the last '@' of all.
  const auto user_end = rest.substr(0, first_parameter(rest)).rfind('@');
  if (user_end != std::string_view::npos) {
    pieces.has_user_info = true;
    const auto user_info = rest.substr(0, user_end);
    const auto colon = user_info.find(':');
    pieces.user = user_info.substr(0, colon);
    if (colon != std::string_view::npos) {
      pieces.has_password = true;
      pieces.password = user_info.substr(colon + 1);
    }
    rest = rest.substr(user_end + 1);
  }
  const auto query_start = rest.find('?');
  auto before_query = rest.substr(0, query_start);
  if (query_start != std::string_view::npos) {
    pieces.has_query = true;
    auto after = rest.substr(query_start + 1);
    const auto hash = after.find('#');
    pieces.query = after.substr(0, hash);
    if (hash != std::string_view::npos) pieces.fragment = after.substr(hash);
  } else if (const auto hash = before_query.find('#'); hash != std::string_view::npos) {
    pieces.fragment = before_query.substr(hash);
    before_query = before_query.substr(0, hash);
  }
  pieces.location = before_query;
  return pieces;
}

bool is_password_parameter(std::string_view parameter) {
  return parameter.starts_with("password=") || parameter == "password";
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void throw_bad_url(std::string_view url, std::string_view problem) {
  throw ConfigurationError(fmt::format("engine '{}': {}", redact_mysql_url(url), problem));
}

std::string decoded(std::string_view url, std::string_view text, std::string_view what) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (text[k] != '%') {
      result += text[k];
      continue;
    }
    const int high = k + 2 < text.size() ? hex_value(text[k + 1]) : -1;
    const int low = k + 2 < text.size() ? hex_value(text[k + 2]) : -1;
    if (high < 0 || low < 0) throw_bad_url(url, fmt::format("bad percent escape in the {}", what));
    result += static_cast<char>(high * 16 + low);
    k += 2;
  }
  return result;
}

unsigned number(std::string_view url, std::string_view text, std::string_view what,
                unsigned maximum) {
  unsigned value = 0;
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value > maximum) {
    throw_bad_url(url, fmt::format("{} '{}' is not a number from 0 to {}", what, text, maximum));
  }
  return value;
}

}  // namespace

bool is_mysql_scheme(std::string_view scheme) { return scheme == "mysql" || scheme == "mariadb"; }

MysqlUrl parse_mysql_url(std::string_view url) {
  MysqlUrl parsed;
  parsed.scheme = url_scheme(url);
  const auto pieces = split(url);
  if (!pieces || !is_mysql_scheme(parsed.scheme)) {
    throw_bad_url(url, "not a mysql:// or mariadb:// URL");
  }
  parsed.user = decoded(url, pieces->user, "user");
  if (pieces->has_password) parsed.password = decoded(url, pieces->password, "password");

  const auto slash = pieces->location.find('/');
  auto authority = pieces->location.substr(0, slash);
  if (slash != std::string_view::npos) {
    parsed.database = decoded(url, pieces->location.substr(slash + 1), "database");
  }
  // "[::1]:3306": the port follows the closing bracket of an IPv6 address.
  const auto host_end = authority.starts_with('[') ? authority.find(']') : std::string_view::npos;
  const auto colon = authority.find(':', host_end == std::string_view::npos ? 0 : host_end);
  auto host = authority.substr(0, colon);
  if (host.starts_with('[') && host.ends_with(']')) host = host.substr(1, host.size() - 2);
  parsed.host = decoded(url, host, "host");
  if (colon != std::string_view::npos) {
    parsed.port =
        number(url, authority.substr(colon + 1), "port", std::numeric_limits<std::uint16_t>::max());
  }

  auto query = pieces->query;
  while (pieces->has_query && !query.empty()) {
    const auto end = query.find('&');
    const auto parameter = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    if (parameter.empty()) continue;
    const auto equals = parameter.find('=');
    const auto key = parameter.substr(0, equals);
    const auto value =
        equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1);
    constexpr unsigned longest_wait = 365U * 24 * 3600;
    if (key == "socket" || key == "unix_socket") {
      parsed.socket = decoded(url, value, "socket");
    } else if (key == "password") {
      parsed.password = decoded(url, value, "password");
    } else if (key == "connect_timeout") {
      parsed.connect_timeout = number(url, value, "connect_timeout", longest_wait);
    } else if (key == "lock_wait_timeout") {
      parsed.lock_wait_timeout = number(url, value, "lock_wait_timeout", longest_wait);
    } else {
      throw_bad_url(url, fmt::format("unknown parameter '{}' (expected socket, unix_socket, "
                                     "password, connect_timeout or lock_wait_timeout)",
                                     key));
    }
  }
  return parsed;
}

std::string redact_mysql_url(std::string_view url) {
  const auto pieces = split(url);
  if (!pieces) return url_scheme(url) + "://...";
  std::string result(pieces->prefix);
  if (pieces->has_user_info) {
    result += pieces->user;
    result += '@';
  }
  result += pieces->location;
  std::string kept;
  auto query = pieces->query;
  while (!query.empty()) {
    const auto end = query.find('&');
    const auto parameter = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    if (parameter.empty() || is_password_parameter(parameter)) continue;
    if (!kept.empty()) kept += '&';
    kept += parameter;
  }
  if (!kept.empty()) result += '?' + kept;
  result += pieces->fragment;
  return result;
}

}  // namespace kelmarion::core::detail
