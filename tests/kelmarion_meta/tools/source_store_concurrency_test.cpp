#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fmt/format.h>
#include <thread>

#include "bench/generated_document.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/tools/source_store.h"
#include "support/store_fixture.h"

namespace kelmarion::testing {
namespace {

using meta::Document;
using ::testing::Each;
using ::testing::Eq;

// Saves `document` as `schema` in one transaction, as a host does.
asio::awaitable<void> save_in_transaction(core::AsyncSession& session,
                                          std::shared_ptr<Document> document, std::string schema) {
  meta::SourceStore store({.db = &session, .engine_name = "sqlite:///sales.db", .schema_name = schema});
  co_await session.begin();
  co_await session.lock_schema(schema);
  std::exception_ptr failure;
  try {
    // Named first: g++ 12 destroys a braced temporary inside a co_await expression twice.
    meta::SaveMetaOptions options{.metadata = std::move(document)};
    co_await store.save_meta(std::move(options));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    co_await session.rollback();
    std::rethrow_exception(failure);
  }
  co_await session.commit();
}

// Runs a save in a child process; its exit status is 0 on success, 1 on failure.
// A queue of saves may wait long for the one before (sanitizers slow each down).
pid_t save_in_child(const std::string& location, const std::shared_ptr<Document>& document,
                    const std::string& schema = "sales") {
  const pid_t child = fork();
  if (child != 0) return child;
  int status = 0;
  try {
    core::AsyncSession session(location, {.lock_timeout = std::chrono::minutes(10)});
    run(save_in_transaction(session, document, schema));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "child %d: %s\n", getpid(), error.what());
    status = 1;
  }
  _exit(status);
}

int exit_status(pid_t child) {
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SourceStoreConcurrency : public StoreTest {};

TEST_P(SourceStoreConcurrency, SixteenLargeSavesAtOnceAllSucceedWithOneRecordPerKey) {
  // Four schemas saved four times each: saves of one schema queue up, the others
  // go on beside them (on PostgreSQL), and none waits for ever.
  constexpr int table_count = 2000;
  const auto document = std::make_shared<Document>(bench::generated_document(table_count));
  std::vector<pid_t> children;
  for (int i = 0; i < 16; ++i) {
    children.push_back(save_in_child(location(), document, fmt::format("schema_{}", i % 4)));
  }
  std::vector<int> statuses;
  for (const auto child : children) statuses.push_back(exit_status(child));

  EXPECT_THAT(statuses, Each(Eq(0)));
  // The other record classes have unique natural keys; the schema's name is not one.
  EXPECT_EQ(count(meta::SourceSchema::record_class()), 4U);
  EXPECT_EQ(count(meta::SourceTable::record_class()), 4U * table_count);
}

TEST_P(SourceStoreConcurrency, SaveKilledHalfWayLeavesTheStoreAsItWas) {
  if (GetParam() != StoreKind::postgresql) GTEST_SKIP() << "drops a PostgreSQL connection";
  save(sales_document());
  const auto before = all_counts(*this);

  auto large = std::make_shared<Document>(bench::generated_document(400));
  (*large)["schema_name"] = "sales";
  const auto child = save_in_child(location() + "&application_name=kelmarion_doomed", large);
  // Drop the child's connection as soon as its transaction has begun.
  int terminated = 0;
  for (int attempt = 0; attempt < 2000 && terminated == 0; ++attempt) {
    PGconn* admin = PQconnectdb(postgresql_test_url()->c_str());
    PGresult* result = PQexec(admin,
                              "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                              "WHERE application_name = 'kelmarion_doomed' AND xact_start IS NOT NULL");
    terminated = PQntuples(result);
    PQclear(result);
    PQfinish(admin);
    if (terminated == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(terminated, 1);
  EXPECT_EQ(exit_status(child), 1);
  EXPECT_EQ(all_counts(*this), before);

  // The store is usable at once: the next save goes through.
  EXPECT_EQ(exit_status(save_in_child(location(), large)), 0);
  EXPECT_EQ(count(meta::SourceTable::record_class()), 403);
}

INSTANTIATE_TEST_SUITE_P(Stores, SourceStoreConcurrency,
                         ::testing::Values(StoreKind::sqlite_file, StoreKind::postgresql),
                         store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
