#include "kelmarion_core/connection_url.h"

#include <algorithm>
#include <cctype>
#include <fmt/format.h>

#include "kelmarion_core/detail/mysql_url.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core {

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

namespace {

// Drops every "password=..." parameter from a query string ("a=1&password=x&b=2").
std::string without_password_parameter(std::string_view query) {
  std::string kept;
  std::size_t start = 0;
  while (start <= query.size()) {
    auto end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const auto parameter = query.substr(start, end - start);
    if (!parameter.empty() && !parameter.starts_with("password=")) {
      if (!kept.empty()) kept += '&';
      kept += parameter;
    }
    start = end + 1;
  }
  return kept;
}

}  // namespace

std::string redact_password(std::string_view url) {
  if (detail::is_mysql_scheme(url_scheme(url))) return detail::redact_mysql_url(url);
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || url_scheme(url).empty()) return std::string(url);
  const auto authority_start = scheme_end + 3;
  const auto authority_end = std::min(url.find_first_of("/?#", authority_start), url.size());
  auto authority = url.substr(authority_start, authority_end - authority_start);

  std::string result(url.substr(0, authority_start));
  // The user info ends at the last '@' of the authority; a password follows its first ':'.
  const auto at = authority.rfind('@');
  if (at != std::string_view::npos) {
    const auto user_info = authority.substr(0, at);
    result += user_info.substr(0, user_info.find(':'));
    result += authority.substr(at);
  } else {
    result += authority;
  }

  auto rest = url.substr(authority_end);
  const auto query_start = rest.find('?');
  if (query_start == std::string_view::npos) {
    result += rest;
    return result;
  }
  result += rest.substr(0, query_start);
  const auto fragment_start = rest.find('#', query_start);
  const auto query = rest.substr(query_start + 1, fragment_start == std::string_view::npos
                                                      ? std::string_view::npos
                                                      : fragment_start - query_start - 1);
  const auto kept = without_password_parameter(query);
  if (!kept.empty()) result += '?' + kept;
  if (fragment_start != std::string_view::npos) result += rest.substr(fragment_start);
  return result;
}

std::string sqlite_path_from_url(std::string_view url) {
  if (url_scheme(url) != "sqlite" || !url.substr(6).starts_with("://")) {
    throw ConfigurationError(
        fmt::format("'{}' is not a sqlite URL (expected sqlite:///path.db)", redact_password(url)));
  }
  auto path = url.substr(9);  // past "sqlite://"
  if (path.starts_with('/')) path.remove_prefix(1);
  return std::string(path);
}

}  // namespace kelmarion::core
