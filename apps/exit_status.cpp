#include "apps/exit_status.h"

#include <algorithm>
#include <iostream>

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

std::string one_line(std::string text, const std::vector<std::string>& urls) {
  for (const auto& url : urls) {
    const auto redacted = core::redact_password(url);
    if (redacted != url) replace_all(text, url, redacted);
  }
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

}  // namespace

Failure describe_failure(const std::exception_ptr& error, const std::vector<std::string>& urls) {
  try {
    std::rethrow_exception(error);
  } catch (const UsageError& failure) {
    return {exit_usage, one_line(failure.what(), urls)};
  } catch (const core::DocumentError& failure) {
    return {exit_usage, one_line(failure.what(), urls)};
  } catch (const core::ConfigurationError& failure) {
    return {exit_usage, one_line(failure.what(), urls)};
  } catch (const std::exception& failure) {
    return {exit_failure, one_line(failure.what(), urls)};
  } catch (...) {
    return {exit_failure, "unknown failure"};
  }
}

void print_error(std::string_view message) {
  std::cerr << "kelmarion-meta: error: " << message << '\n';
}

}  // namespace kelmarion::apps
