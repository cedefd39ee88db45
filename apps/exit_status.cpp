#include "apps/exit_status.h"

#include <iostream>
#include <new>

#include "apps/escaped_text.h"
#include "apps/usage_error.h"
#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::apps {
namespace {

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// A newline left inside is escaped by print_error: it may belong to a name.
std::string without_urls(std::string text, const std::vector<std::string>& urls) {
  for (const auto& url : urls) {
    const auto redacted = core::redact_password(url);
    if (redacted != url) replace_all(text, url, redacted);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

Failure describe_failure(const std::exception_ptr& error, const std::vector<std::string>& urls) {
  try {
    std::rethrow_exception(error);
  } catch (const UsageError& failure) {
    return {exit_usage, without_urls(failure.what(), urls)};
  } catch (const core::DocumentError& failure) {
    return {exit_usage, without_urls(failure.what(), urls)};
  } catch (const core::ConfigurationError& failure) {
    return {exit_usage, without_urls(failure.what(), urls)};
  } catch (const std::bad_alloc&) {
    return {exit_failure, "out of memory"};
  } catch (const std::exception& failure) {
    return {exit_failure, without_urls(failure.what(), urls)};
  } catch (...) {
    return {exit_failure, "unknown failure"};
  }
}

void print_error(std::string_view message) {
  std::cerr << "kelmarion-meta: error: " << escaped_text(message) << '\n';
}

}  // namespace kelmarion::apps
