// libFuzzer target: arbitrary bytes go through the tool's document reading (as
// `kelmarion-meta save --document -` reads standard input) and, when they make
// a document, through a save into a private in-memory SQLite store, in one
// transaction, as the tool runs it. A document that saved is saved once more:
// the second save must create no record.
//
// The errors the tool reports to its user are expected outcomes: UsageError
// (unreadable or malformed input), DocumentError (a document of the wrong
// shape) and DatabaseError (the store refused a value). Anything else escaping,
// a crash or a sanitizer report is a finding.

#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "apps/document_io.h"
#include "apps/usage_error.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/save_schema.h"
#include "kelmarion_meta/tools/source_store.h"
#include "support/test_support.h"

namespace {

using kelmarion::core::AsyncSession;
using kelmarion::meta::Document;

std::string schema_name_of(const Document& document) {
  const auto found = document.find("schema_name");
  if (found != document.end() && found->is_string() &&
      !found->get_ref<const std::string&>().empty()) {
    return found->get<std::string>();
  }
  return "fuzz";
}

// Begin, save, commit; on any failure roll back (when SQLite has not already)
// and rethrow (save_schema does). Returns the number of records the save created.
asio::awaitable<std::size_t> save_in_transaction(AsyncSession& session,
                                                 std::shared_ptr<Document> document,
                                                 std::string schema_name) {
  // Never read: the document is never empty, so the store never inspects.
  const auto result = co_await kelmarion::meta::save_schema(
      session, std::string("sqlite:///fuzz-engine.db"), schema_name, std::move(document));
  std::size_t created = 0;
  for (const auto& [table, changes] : result.changes.classes()) created += changes.created.size();
  co_return created;
}

[[noreturn]] void report_finding(const std::string& what) {
  std::fprintf(stderr, "finding: %s\n", what.c_str());
  std::abort();
}

void save_twice(const std::shared_ptr<Document>& document) {
  using kelmarion::testing::run;
  AsyncSession session(":memory:");
  const auto schema_name = schema_name_of(*document);
  (void)run(save_in_transaction(session, document, schema_name));
  // Saved once, the same schema saves again, updating every record in place.
  // The document now carries the identifiers the first save wrote into it.
  std::size_t created_again = 0;
  try {
    created_again = run(save_in_transaction(session, document, schema_name));
  } catch (const kelmarion::core::Error& error) {
    report_finding(fmt::format("second save of a saved document failed: {}", error.what()));
  }
  if (created_again != 0) {
    report_finding(
        fmt::format("second save of the same document created {} records", created_again));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The tool's own path for "--document -": the input becomes standard input.
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  auto* const saved_buffer = std::cin.rdbuf(input.rdbuf());
  std::cin.clear();
  try {
    auto document = std::make_shared<Document>(kelmarion::apps::read_document("-"));
    save_twice(document);
  } catch (const kelmarion::apps::UsageError&) {
    // Expected: the tool reports these to its user (exit status 2 or 1).
  } catch (const kelmarion::core::DocumentError&) {
  } catch (const kelmarion::core::DatabaseError&) {
  }
  std::cin.rdbuf(saved_buffer);
  return 0;
}
