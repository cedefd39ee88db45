// Saving generated schemas into a SQLite file store and, when
// KELMARION_TEST_PG_URL names a server, into a PostgreSQL store; each save is one
// transaction: the first save of a new schema, and a re-save that updates every
// record.

#include <benchmark/benchmark.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <libpq-fe.h>
#include <stdexcept>
#include <string>
#include <memory>

#include "generated_document.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/source_store.h"

namespace {

using kelmarion::core::AsyncSession;
using kelmarion::meta::Document;
using kelmarion::meta::SourceStore;

asio::awaitable<void> save_in_transaction(AsyncSession& session, std::shared_ptr<Document> document) {
  SourceStore store({.db = &session, .engine_name = "sqlite:///bench.db", .schema_name = "bench"});
  co_await session.begin();
  // Named first: g++ 12 destroys a braced temporary inside a co_await expression twice.
  kelmarion::meta::SaveMetaOptions options{.metadata = std::move(document)};
  co_await store.save_meta(std::move(options));
  co_await session.commit();
}

void save(AsyncSession& session, const std::shared_ptr<Document>& document) {
  asio::io_context context;
  std::exception_ptr failure;
  const auto keep_failure = [&failure](std::exception_ptr error) { failure = std::move(error); };
  asio::co_spawn(context, save_in_transaction(session, document), keep_failure);
  context.run();
  if (failure) std::rethrow_exception(failure);
}

std::filesystem::path store_path() {
  return std::filesystem::temp_directory_path() / "kelmarion-store-bench.db";
}

void BM_SqliteFirstSave(benchmark::State& state) {
  const auto source = kelmarion::bench::generated_document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(store_path());
    auto document = std::make_shared<Document>(source);
    auto session = std::make_unique<AsyncSession>(store_path().string());
    state.ResumeTiming();
    save(*session, document);
  }
  std::filesystem::remove(store_path());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_SqliteResave(benchmark::State& state) {
  std::filesystem::remove(store_path());
  auto document = std::make_shared<Document>(
      kelmarion::bench::generated_document(static_cast<int>(state.range(0))));
  AsyncSession session(store_path().string());
  save(session, document);
  for (auto _ : state) save(session, document);
  std::filesystem::remove(store_path());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A PostgreSQL store in a schema of its own, dropped with everything in it.
class PostgresqlStore {
 public:
  explicit PostgresqlStore(const std::string& url) : _url(url) {
    _execute("DROP SCHEMA IF EXISTS kelmarion_store_bench CASCADE; CREATE SCHEMA kelmarion_store_bench");
  }
  PostgresqlStore(const PostgresqlStore&) = delete;
  PostgresqlStore& operator=(const PostgresqlStore&) = delete;
  PostgresqlStore(PostgresqlStore&&) = delete;
  PostgresqlStore& operator=(PostgresqlStore&&) = delete;
  ~PostgresqlStore() { _execute("DROP SCHEMA IF EXISTS kelmarion_store_bench CASCADE"); }

  [[nodiscard]] std::string location() const {
    return _url + (_url.find('?') == std::string::npos ? "?" : "&") +
           "options=-csearch_path%3Dkelmarion_store_bench";
  }

 private:
  void _execute(const char* sql) const {
    PGconn* connection = PQconnectdb(_url.c_str());
    PQsetNoticeProcessor(connection, [](void* /*context*/, const char* /*message*/) {}, nullptr);
    PQclear(PQexec(connection, sql));
    PQfinish(connection);
  }
  std::string _url;
};

const char* postgresql_url() { return std::getenv("KELMARION_TEST_PG_URL"); }

void BM_PostgresqlFirstSave(benchmark::State& state) {
  if (postgresql_url() == nullptr) {
    state.SkipWithError("set KELMARION_TEST_PG_URL to measure a PostgreSQL store");
    return;
  }
  const auto source = kelmarion::bench::generated_document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto store = std::make_unique<PostgresqlStore>(postgresql_url());
    auto document = std::make_shared<Document>(source);
    auto session = std::make_unique<AsyncSession>(store->location());
    state.ResumeTiming();
    save(*session, document);
    state.PauseTiming();
    session.reset();
    store.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_PostgresqlResave(benchmark::State& state) {
  if (postgresql_url() == nullptr) {
    state.SkipWithError("set KELMARION_TEST_PG_URL to measure a PostgreSQL store");
    return;
  }
  const PostgresqlStore store(postgresql_url());
  auto document = std::make_shared<Document>(
      kelmarion::bench::generated_document(static_cast<int>(state.range(0))));
  AsyncSession session(store.location());
  save(session, document);
  for (auto _ : state) save(session, document);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_SqliteFirstSave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteResave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresqlFirstSave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresqlResave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
