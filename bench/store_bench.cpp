// Saving generated schemas into a SQLite file store, each save one transaction:
// the first save of a new schema, and a re-save that updates every record.

#include <benchmark/benchmark.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <filesystem>
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
  co_await store.save_meta({.metadata = std::move(document)});
  co_await session.commit();
}

void save(AsyncSession& session, const std::shared_ptr<Document>& document) {
  asio::io_context context;
  auto done = asio::co_spawn(context, save_in_transaction(session, document), asio::use_future);
  context.run();
  done.get();
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

BENCHMARK(BM_SqliteFirstSave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteResave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
