// Documenting a stored schema as `kelmarion-meta doc` does: reading it from a
// SQLite store in one read-only transaction, then writing every page and DOT
// file. Graphviz's own time (the SVG images) is not measured: it is Graphviz's,
// and the command makes SVG only when dot is installed.

#include <benchmark/benchmark.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <filesystem>
#include <fstream>
#include <memory>

#include "apps/docs/schema_pages.h"
#include "apps/stored_schema.h"
#include "bench_stores.h"
#include "floor_records.h"
#include "generated_document.h"
#include "kelmarion_core/session.h"
#include "our_save.h"

namespace {

namespace fs = std::filesystem;
using kelmarion::core::AsyncSession;

asio::awaitable<std::vector<kelmarion::apps::StoredSchema>> read_in_transaction(
    AsyncSession& session) {
  co_await session.begin();
  auto schemas = co_await kelmarion::apps::read_stored_schemas(
      session, std::string(kelmarion::bench::bench_schema_name));
  co_await session.rollback();
  co_return schemas;
}

std::vector<kelmarion::apps::StoredSchema> read_schema(AsyncSession& session) {
  asio::io_context context;
  std::vector<kelmarion::apps::StoredSchema> schemas;
  std::exception_ptr failure;
  asio::co_spawn(context, read_in_transaction(session),
                 [&](std::exception_ptr error, std::vector<kelmarion::apps::StoredSchema> read) {
                   failure = std::move(error);
                   schemas = std::move(read);
                 });
  context.run();
  if (failure) std::rethrow_exception(failure);
  return schemas;
}

void BM_Doc(benchmark::State& state) {
  const auto store = kelmarion::bench::sqlite_store_path();
  const auto pages = fs::temp_directory_path() / "kelmarion_doc_bench";
  fs::remove(store);
  {
    AsyncSession session(store.string());
    kelmarion::bench::save_in_transaction(
        session, std::make_shared<kelmarion::meta::Document>(
                     kelmarion::bench::generated_document(static_cast<int>(state.range(0)))));
  }
  std::size_t files = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(pages);
    fs::create_directories(pages / "tables");
    fs::create_directories(pages / "views");
    state.ResumeTiming();
    AsyncSession session(store.string(), {.read_only = true});
    const auto schemas = read_schema(session);
    files = 0;
    kelmarion::apps::write_schema_pages(schemas.front(), {.svg = false, .last_saved = std::nullopt},
                                        [&](const std::string& path, std::string_view text) {
                                          std::ofstream(pages / path, std::ios::binary)
                                              .write(text.data(),
                                                     static_cast<std::streamsize>(text.size()));
                                          ++files;
                                        });
  }
  state.counters["files"] = static_cast<double>(files);
  fs::remove_all(pages);
  fs::remove(store);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_Doc)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
